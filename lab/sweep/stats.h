// Means with Student-t confidence intervals over the runs of a grid point,
// and the rule that adds seeds until such an interval is narrow enough.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace palaver::lab::sweep {

// The two-sided 95 % quantile of Student's t with `df` degrees of freedom
// (t(0.975, df)); NaN for df 0.
double tQuantile95(std::size_t df);

struct Summary {
    std::size_t n = 0;
    double mean = std::numeric_limits<double>::quiet_NaN();
    double sd = std::numeric_limits<double>::quiet_NaN();    // sample standard deviation (n - 1)
    double ci95 = std::numeric_limits<double>::quiet_NaN();  // half-width: t(0.975, n-1) * sd / sqrt(n)
    double min = std::numeric_limits<double>::quiet_NaN();
    double max = std::numeric_limits<double>::quiet_NaN();
};

// NaN where a value needs more runs: sd and ci95 need two.
Summary summarize(const std::vector<double>& values);

// --seeds auto for one point: keep adding seeds until the interval's full
// width (2 x ci95) is below `width`, or maxSeeds seeds have been launched.
struct AutoRule {
    double width = 0;
    int minSeeds = 3;
    int maxSeeds = 20;
};

struct AutoStep {
    bool stop = false;
    int more = 0;        // seeds to add now when not stopping
    std::string reason;  // why it stopped
};

// `values`: the target metric of the point's finished runs; `launched`:
// seeds launched so far (failed runs count: they used up a seed).
AutoStep autoStep(const std::vector<double>& values, int launched, const AutoRule& rule);

}  // namespace palaver::lab::sweep
