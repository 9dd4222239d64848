#include "sweep/stats.h"

#include <boost/math/distributions/students_t.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace palaver::lab::sweep {

double tQuantile95(std::size_t df) {
    if (df == 0) return std::numeric_limits<double>::quiet_NaN();
    const boost::math::students_t dist(static_cast<double>(df));
    return boost::math::quantile(dist, 0.975);
}

Summary summarize(const std::vector<double>& values) {
    Summary s;
    s.n = values.size();
    if (values.empty()) return s;
    double sum = 0;
    for (double v : values) sum += v;
    s.mean = sum / static_cast<double>(s.n);
    s.min = *std::min_element(values.begin(), values.end());
    s.max = *std::max_element(values.begin(), values.end());
    if (s.n >= 2) {
        double squares = 0;
        for (double v : values) squares += (v - s.mean) * (v - s.mean);
        s.sd = std::sqrt(squares / static_cast<double>(s.n - 1));
        s.ci95 = tQuantile95(s.n - 1) * s.sd / std::sqrt(static_cast<double>(s.n));
    }
    return s;
}

namespace {

std::string widthText(double width) {
    char text[64];
    std::snprintf(text, sizeof text, "%.4g", width);
    return text;
}

}  // namespace

AutoStep autoStep(const std::vector<double>& values, int launched, const AutoRule& rule) {
    AutoStep step;
    const Summary s = summarize(values);
    const int room = std::max(0, rule.maxSeeds - launched);
    const std::string runs = std::to_string(s.n) + " run" + (s.n == 1 ? "" : "s");
    if (s.n >= 2 && 2 * s.ci95 < rule.width) {
        step.stop = true;
        step.reason = "CI width " + widthText(2 * s.ci95) + " < " + widthText(rule.width) + " after " + runs;
        return step;
    }
    if (room == 0) {
        step.stop = true;
        step.reason = "reached --max-seeds " + std::to_string(rule.maxSeeds) + " with " + runs +
                      (s.n >= 2 ? ", CI width " + widthText(2 * s.ci95) : std::string(", too few for an interval"));
        return step;
    }
    int wanted = 1;
    if (launched < rule.minSeeds) {
        wanted = rule.minSeeds - launched;
    } else if (s.n >= 2) {
        // The runs this spread needs for the width, with the current t.
        const double needed = std::pow(2 * tQuantile95(s.n - 1) * s.sd / rule.width, 2);
        if (std::isfinite(needed) && needed > static_cast<double>(s.n)) {
            wanted = static_cast<int>(std::min(1e6, std::ceil(needed - static_cast<double>(s.n))));
        }
        // A small sample's t overstates the need: at most double the runs a step.
        wanted = std::min(wanted, static_cast<int>(s.n));
    }
    step.more = std::clamp(wanted, 1, room);
    return step;
}

}  // namespace palaver::lab::sweep
