// palaver-lab sweep without running anything: the grid and its folders, the
// seeds, resume states, how a child's end is judged, the batch script, the
// Student-t intervals and the rule of --seeds auto.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analyze_support.h"
#include "sweep/plan.h"
#include "sweep/runner.h"
#include "sweep/stats.h"

namespace palaver::lab::sweep {
namespace {

namespace fs = std::filesystem;
using palaver::labtest::writeText;
using palaver::test::TempDir;

SweepPlan planOf(std::vector<Varied> vary, std::vector<uint64_t> seeds) {
    SweepPlan p;
    p.vary = std::move(vary);
    p.seeds.seeds = std::move(seeds);
    return p;
}

TEST(SweepPlan, GridTimesSeedsAndTheirFolders) {
    struct Case {
        const char* what;
        SweepPlan plan;
        std::vector<std::string> dirs;
    };
    const std::vector<Case> cases = {
        {"nothing varied", planOf({}, {1, 2}), {"seed=1", "seed=2"}},
        {"one parameter", planOf({{"loss", {"0", "2", "5"}}}, {7}), {"loss=0/seed=7", "loss=2/seed=7", "loss=5/seed=7"}},
        {"two parameters, the first outermost",
         planOf({{"loss", {"0", "5"}}, {"nodes", {"10", "20"}}}, {1, 2}),
         {"loss=0/nodes=10/seed=1", "loss=0/nodes=10/seed=2", "loss=0/nodes=20/seed=1", "loss=0/nodes=20/seed=2",
          "loss=5/nodes=10/seed=1", "loss=5/nodes=10/seed=2", "loss=5/nodes=20/seed=1", "loss=5/nodes=20/seed=2"}},
        {"a value no folder name can hold", planOf({{"first-address", {"127.1.0.1", "a/b c"}}}, {3}), {"first-address=127.1.0.1/seed=3", "first-address=a_b_c/seed=3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Point> points = expandPoints(c.plan);
        const std::vector<Task> tasks = expandTasks(c.plan, points);
        std::vector<std::string> dirs;
        for (const Task& t : tasks) {
            dirs.push_back(t.dir);
            EXPECT_EQ(t.dir, taskDir(points[t.point], t.seed));
        }
        EXPECT_EQ(dirs, c.dirs);
    }
}

TEST(SweepPlan, ValuesThatShareAFolderAreRefused) {
    EXPECT_THROW(expandPoints(planOf({{"contact", {"a:1", "a@1"}}}, {1})), PlanError);
}

TEST(SweepPlan, EachRunGetsTheScenarioFixedOptionsItsValuesSeedAndFolder) {
    SweepPlan p = planOf({{"loss", {"0", "5"}}, {"nodes", {"10"}}}, {1});
    p.runArgs = {"--lines", "5", "--host-network"};
    const std::vector<Point> points = expandPoints(p);
    EXPECT_EQ(runArguments(p, points[1], 9, "/d/loss=5/nodes=10/seed=9"),
              (std::vector<std::string>{"--lines", "5", "--host-network", "--loss", "5", "--nodes", "10", "--seed", "9",
                                        "--out", "/d/loss=5/nodes=10/seed=9"}));
    // With a scenario file, the varied names are the file's values, set by path.
    SweepPlan f = planOf({{"nodes.count", {"10", "20"}}, {"step.cut.at", {"5"}}}, {1});
    f.scenario = "/s/churn.toml";
    f.runArgs = {"--set", "timing.quiet_ms=500"};
    EXPECT_EQ(runArguments(f, expandPoints(f)[1], 3, "/d/x"),
              (std::vector<std::string>{"/s/churn.toml", "--set", "timing.quiet_ms=500", "--set", "nodes.count=20", "--set",
                                        "step.cut.at=5", "--seed", "3", "--out", "/d/x"}));
}

std::vector<uint64_t> seedRange(uint64_t first, uint64_t last) {
    std::vector<uint64_t> seeds;
    for (uint64_t s = first; s <= last; ++s) seeds.push_back(s);
    return seeds;
}

TEST(SweepPlan, SeedsAndVaryText) {
    struct SeedCase {
        const char* text;
        std::vector<uint64_t> seeds;  // empty: refused
    };
    const std::vector<SeedCase> seeds = {
        {"1-3", {1, 2, 3}},
        {"7", {7}},
        {"1-2,9", {1, 2, 9}},
        {"4-4", {4}},
        {"5-1", {}},  // backwards
        {"1-3,2", {}},
        {"x", {}},
        {"", {}},
        {"1-", {}},
        {"-3", {}},
        {"1,,2", {}},
        // A range holds at most 100000 seeds.
        {"1-100000", seedRange(1, 100000)},
        {"1-100001", {}},
        {"0-100000", {}},
    };
    for (const SeedCase& c : seeds) {
        SCOPED_TRACE(c.text);
        if (c.seeds.empty()) {
            EXPECT_THROW(parseSeeds(c.text), PlanError);
        } else {
            EXPECT_EQ(parseSeeds(c.text), c.seeds);
        }
    }
    struct VaryCase {
        const char* text;
        bool ok;
        const char* name;
        std::size_t values;
    };
    const std::vector<VaryCase> vary = {
        {"loss=0,2,5", true, "loss", 3},
        {"--nodes=10", true, "nodes", 1},
        {"loss=", false, "", 0},
        {"loss", false, "", 0},
        {"=1", false, "", 0},
        {"loss=1,,2", false, "", 0},
        {"loss=1,1", false, "", 0},
        {"loss=1,", false, "", 0},
    };
    for (const VaryCase& c : vary) {
        SCOPED_TRACE(c.text);
        if (!c.ok) {
            EXPECT_THROW(parseVary(c.text), PlanError);
            continue;
        }
        const Varied v = parseVary(c.text);
        EXPECT_EQ(v.name, c.name);
        EXPECT_EQ(v.values.size(), c.values);
    }
}

TEST(SweepPlan, SweepFileKeepsThePlanAndThePointsSeeds) {
    TempDir dir;
    SweepPlan p = planOf({{"loss", {"0", "5"}}}, {});
    p.seeds.automatic = true;
    p.seeds.target = "reliability_mean";
    p.seeds.ciWidth = 0.05;
    p.runArgs = {"--nodes", "50"};
    SweepFile f = newSweepFile(p);
    f.pointSeeds[1] = {1, 2, 3};
    f.stopped[1] = "CI width 0.01 < 0.05 after 3 runs";
    writeSweepFile(dir.path(), f);
    const SweepFile back = readSweepFile(dir.path());
    EXPECT_EQ(planJson(back.plan), planJson(p));
    EXPECT_EQ(back.pointSeeds, f.pointSeeds);
    EXPECT_EQ(back.stopped, f.stopped);
    EXPECT_TRUE(back.tasks.empty());  // --seeds auto has no task list

    writeText(dir / "sweep.json", "{\"plan\": {\"vary\": 3}}");
    EXPECT_THROW(readSweepFile(dir.path()), PlanError);
}

TEST(SweepResume, StateOfEachRunFolder) {
    TempDir dir;
    const std::string complete = "{\"seed\": 1, \"nodes\": [], \"end_ms\": 900}";
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // relative to the point folder
        RunState state;
    };
    const std::vector<Case> cases = {
        {"nothing", {}, RunState::Missing},
        {"complete", {{"seed=1/run.json", complete}}, RunState::Complete},
        {"complete, recorded", {{"seed=1/run.json", complete}, {"seed=1.result.json", "{\"ok\": true}"}}, RunState::Complete},
        {"run.json without its end", {{"seed=1/run.json", "{\"seed\": 1, \"nodes\": []}"}}, RunState::CutOff},
        {"run.json cut off while written", {{"seed=1/run.json", complete.substr(0, 20)}}, RunState::CutOff},
        {"logs only", {{"seed=1/127.77.0.1@50000.txt", "x"}}, RunState::CutOff},
        {"output only", {{"seed=1.log", "starting"}}, RunState::CutOff},
        {"failed", {{"seed=1.log", "x"}, {"seed=1.result.json", "{\"ok\": false, \"reason\": \"exit status 3\"}"}}, RunState::Failed},
        {"failed though run.json is complete",
         {{"seed=1/run.json", complete}, {"seed=1.result.json", "{\"ok\": false, \"reason\": \"killed by signal 11\"}"}},
         RunState::Failed},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const fs::path point = dir / ("p" + std::to_string(i));
        fs::create_directories(point);
        for (const auto& [name, text] : cases[i].files) writeText(point / name, text);
        EXPECT_EQ(runState(point / "seed=1"), cases[i].state);
    }
    EXPECT_EQ(failureReason(dir / "p7" / "seed=1"), "exit status 3");
}

TEST(SweepResume, HowAChildsEndIsJudged) {
    struct Case {
        const char* what;
        int status, signal;
        bool timedOut, complete;
        std::string reason;  // "" went through
    };
    const std::vector<Case> cases = {
        {"exit 0 with run.json", 0, 0, false, true, ""},
        {"exit 1 with run.json: expectations that did not hold", 1, 0, false, true, ""},
        {"exit 1 without run.json: could not run", 1, 0, false, false, "exit status 1 without a complete run.json: last"},
        {"exit 0 without run.json", 0, 0, false, false, "exit status 0 without a complete run.json: last"},
        {"refused options", 2, 0, false, false, "exit status 2: last"},
        {"exit 2 even with run.json", 2, 0, false, true, "exit status 2: last"},
        {"crashed", -1, 11, false, false, "killed by signal 11: last"},
        {"over the time limit", -1, 9, true, false, "stopped after the time limit of 60 s: last"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(classifyRun(c.status, c.signal, c.timedOut, 60, c.complete, "last"), c.reason);
    }
}

TEST(SweepSlurm, BatchScriptRunsTheOpenTasksAsAnArray) {
    SweepPlan p = planOf({{"loss", {"0", "5"}}}, {1, 2, 3, 4, 5});
    p.timeLimitS = 130;
    const SweepFile f = newSweepFile(p);
    const std::string script = slurmScript(f, "/data/my sweep", "/opt/palaver-lab", {0, 1, 2, 5, 7, 8});
    EXPECT_NE(script.find("#SBATCH --array=0-2,5,7-8\n"), std::string::npos) << script;
    EXPECT_NE(script.find("#SBATCH --time=4\n"), std::string::npos) << script;  // 3 minutes of run, 1 of analysis
    EXPECT_NE(script.find("exec '/opt/palaver-lab' sweep --task \"$SLURM_ARRAY_TASK_ID\" '/data/my sweep'\n"),
              std::string::npos)
        << script;
}

TEST(SweepStats, StudentTIntervalsAgainstTables) {
    struct Case {
        std::size_t df;
        double t;
    };
    for (const Case& c : std::vector<Case>{{1, 12.706}, {4, 2.776}, {29, 2.045}, {1000, 1.962}}) {
        SCOPED_TRACE(c.df);
        EXPECT_NEAR(tQuantile95(c.df), c.t, 0.0005);
    }
    struct Sample {
        std::vector<double> values;
        double mean, sd, ci95;
    };
    std::vector<double> thirty;
    for (int i = 1; i <= 30; ++i) thirty.push_back(i);
    // sd of 1..30 = sqrt(30 * 31 / 12) = 8.8034; ci95 = 2.045 * 8.8034 / sqrt(30).
    const std::vector<Sample> samples = {
        {{0.25, 0.75}, 0.5, 0.353553, 12.706 * 0.353553 / std::sqrt(2.0)},
        {{1, 2, 3, 4, 5}, 3, 1.581139, 2.776 * 1.581139 / std::sqrt(5.0)},
        {thirty, 15.5, 8.803408, 2.045 * 8.803408 / std::sqrt(30.0)},
    };
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.values.size());
        const Summary sum = summarize(s.values);
        EXPECT_EQ(sum.n, s.values.size());
        EXPECT_NEAR(sum.mean, s.mean, 1e-9);
        EXPECT_NEAR(sum.sd, s.sd, 1e-5);
        EXPECT_NEAR(sum.ci95, s.ci95, 0.002);
        EXPECT_EQ(sum.min, s.values.front());
        EXPECT_EQ(sum.max, s.values.back());
    }
    const Summary one = summarize({0.7});
    EXPECT_EQ(one.mean, 0.7);
    EXPECT_TRUE(std::isnan(one.sd));
    EXPECT_TRUE(std::isnan(one.ci95));
    EXPECT_EQ(summarize({}).n, 0u);
}

// A synthetic metric: mean 0.8 with a spread of about 0.1, the same stream
// for every call.
std::vector<double> syntheticMetric(std::size_t n, double spread) {
    std::vector<double> v;
    uint64_t state = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double u = static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
        v.push_back(0.8 + spread * (2 * u - 1) * std::sqrt(3.0));
    }
    return v;
}

TEST(SweepStats, SeedsAutoStopsAtTheWidth) {
    struct Case {
        const char* what;
        double spread, width;
        int maxSeeds;
        bool byWidth;  // else by --max-seeds
    };
    const std::vector<Case> cases = {
        {"narrow enough after a few", 0.1, 0.2, 100, true},
        {"needs many", 0.1, 0.05, 100, true},
        {"never narrow enough", 0.1, 0.01, 12, false},
        {"no spread: stops at the first seeds", 0.0, 0.01, 100, true},
    };
    const std::vector<double> stream = syntheticMetric(200, 0.1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<double> all = c.spread > 0 ? stream : std::vector<double>(200, 0.8);
        AutoRule rule{c.width, 3, c.maxSeeds};
        std::vector<double> values;
        AutoStep step;
        int rounds = 0;
        while (!(step = autoStep(values, static_cast<int>(values.size()), rule)).stop && ++rounds < 1000) {
            ASSERT_GE(step.more, 1);
            for (int k = 0; k < step.more; ++k) values.push_back(all[values.size()]);
        }
        ASSERT_TRUE(step.stop);
        const Summary s = summarize(values);
        EXPECT_LE(values.size(), static_cast<std::size_t>(c.maxSeeds));
        if (c.byWidth) {
            EXPECT_LT(2 * s.ci95, c.width);
            EXPECT_NE(step.reason.find("CI width"), std::string::npos) << step.reason;
            // Not far past the first sample size whose interval is narrow enough.
            std::size_t first = 2;
            while (first < all.size() && !(2 * summarize({all.begin(), all.begin() + static_cast<long>(first)}).ci95 < c.width)) {
                ++first;
            }
            EXPECT_LE(values.size(), std::max<std::size_t>(3, 2 * first));
        } else {
            EXPECT_EQ(values.size(), static_cast<std::size_t>(c.maxSeeds));
            EXPECT_GE(2 * s.ci95, c.width);
            EXPECT_NE(step.reason.find("--max-seeds 12"), std::string::npos) << step.reason;
        }
    }
    // Failed runs use up seeds: launched counts them, values do not.
    const AutoStep afterFailures = autoStep({0.5}, 20, AutoRule{0.1, 3, 20});
    EXPECT_TRUE(afterFailures.stop);
    EXPECT_NE(afterFailures.reason.find("too few"), std::string::npos) << afterFailures.reason;
}

}  // namespace
}  // namespace palaver::lab::sweep
