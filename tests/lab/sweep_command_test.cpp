// palaver-lab sweep as a user runs it: bad input refused before anything
// runs, a small sweep here with --jobs 2 (one point of it failing) and its
// aggregation, resuming, and --seeds auto on real runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "analyze_support.h"
#include "sweep/plan.h"

namespace palaver::lab::sweep {
namespace {

namespace fs = std::filesystem;
using palaver::labtest::Outcome;
using palaver::labtest::readCsv;
using palaver::labtest::Row;
using palaver::labtest::runCommand;
using palaver::labtest::writeText;
using palaver::test::readFile;
using palaver::test::TempDir;

std::string quoted(const std::string& s) { return "'" + s + "'"; }

Outcome sweep(const std::string& args, const TempDir& scratch, const std::string& prefix = "") {
    return runCommand(prefix + quoted(PALAVER_LAB) + " sweep " + args, scratch.path());
}

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

// Small runs: the nodes wait long enough for quiet that a busy machine does
// not cut a flood short.
const std::string Small = "--nodes 4 --lines 1 --quiet 500 ";

TEST(SweepCommand, BadInputIsOneLineExitTwoAndNothingRuns) {
    TempDir scratch;
    const fs::path other = scratch / "other";
    fs::create_directories(other);
    SweepPlan p;
    p.vary = {{"loss", {"0", "1"}}};
    p.seeds.seeds = {1};
    writeSweepFile(other, newSweepFile(p));
    const std::string planBefore = readFile(other / "sweep.json").value_or("");
    const std::string out = (scratch / "out").string();
    const std::string tiny = (scratch / "tiny.toml").string();
    struct Case {
        const char* what;
        std::string args;
        std::string says;
        std::string prefix = "";
    };
    const std::vector<Case> cases = {
        {"unknown --vary name", Small + "--vary colour=1,2 --out " + out, "--vary colour: not a parameter"},
        {"empty value list", Small + "--vary loss= --out " + out, "--vary loss=: no values"},
        {"backwards seed range", Small + "--seeds 9-3 --out " + out, "runs backwards"},
        {"a value the run refuses", Small + "--vary loss=0,150 --out " + out, "loss=150"},
        {"varied and fixed", Small + "--vary nodes=3,5 --out " + out, "also given as a fixed value"},
        {"DIR holds another plan", Small + "--vary loss=0,2 --out " + other.string(), "holds another plan"},
        // The same grid is not enough: fixed options, seeds and the time limit are the plan too.
        {"DIR holds the same grid with other fixed options", Small + "--vary loss=0,1 --out " + other.string(),
         "holds another plan"},
        {"DIR holds the same grid with other seeds", "--vary loss=0,1 --seeds 2 --out " + other.string(),
         "holds another plan"},
        {"DIR holds the same grid with another time limit", "--vary loss=0,1 --time-limit 60 --out " + other.string(),
         "holds another plan"},
        {"--slurm without sbatch", Small + "--vary loss=0,2 --slurm --out " + out, "sbatch is not on the PATH",
         "PATH=/nonexistent "},
        {"--seeds auto without a target", Small + "--seeds auto --out " + out, "--target"},
        // The seeds a point would run if this were taken are bounded, so that a
        // refusal that is not made costs two short runs and no more.
        {"--seeds auto with a target but no width",
         Small + "--seeds auto --target join_success --min-seeds 2 --max-seeds 2 --out " + out,
         "--seeds auto needs --target METRIC and --ci-width W"},
        {"--seeds auto with a width but no target", Small + "--seeds auto --ci-width 0.1 --out " + out,
         "--seeds auto needs --target METRIC and --ci-width W"},
        {"a scenario file and a run option", tiny + " --nodes 5 --out " + out, "--nodes: a scenario file sets this"},
        {"a varied name the file does not have", tiny + " --vary nodes.colour=1,2 --out " + out,
         "unknown key 'colour' in [nodes]"},
        {"a varied value the file refuses", tiny + " --vary nodes.count=4,1 --out " + out,
         "the point nodes.count=1: --set nodes.count=1:"},
        {"--set without a file", Small + "--set nodes.count=3 --out " + out, "--set changes a scenario file's values"},
        {"a scenario file that is not there", "missing.toml --out " + out, "missing.toml: cannot be read"},
    };
    writeText(scratch / "tiny.toml", "[nodes]\ncount = 4\n[[step]]\ndo = \"start\"\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = sweep(c.args, scratch, c.prefix);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(lines(o.err), 1u) << o.err;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(readFile(other / "sweep.json").value_or(""), planBefore);
    EXPECT_EQ(std::distance(fs::directory_iterator(other), fs::directory_iterator()), 1);
}

// With --slurm the sweep only writes its plan and batch script, so the
// defaults of options left out show without running anything: seed 1 for
// every point and a time limit of 3600 s (the task's limit one minute more).
TEST(SweepCommand, OptionsLeftOutTakeTheirDefaults) {
    TempDir scratch;
    writeText(scratch / "bin" / "sbatch", "#!/bin/sh\nexit 1\n");
    fs::permissions(scratch / "bin" / "sbatch", fs::perms::owner_all);
    const fs::path dir = scratch / "s";
    const Outcome o = sweep(Small + "--vary loss=0,5 --slurm --out " + dir.string(), scratch,
                            "PATH=" + quoted((scratch / "bin").string()) + ":\"$PATH\" ");
    ASSERT_EQ(o.status, 0) << o.err;
    const SweepFile f = readSweepFile(dir);
    std::vector<std::string> dirs;
    for (const Task& t : f.tasks) dirs.push_back(t.dir);
    EXPECT_EQ(dirs, (std::vector<std::string>{"loss=0/seed=1", "loss=5/seed=1"}));
    EXPECT_EQ(f.plan.timeLimitS, 3600);
    const std::string script = readFile(dir / "sweep.sbatch").value_or("");
    EXPECT_NE(script.find("#SBATCH --time=61\n"), std::string::npos) << script;
    EXPECT_FALSE(fs::exists(dir / "loss=0"));
}

TEST(SweepCommand, SmallSweepSideBySideThenAggregated) {
    TempDir scratch;
    const fs::path dir = scratch / "s";
    // crash=9 leaves no node of 4 to type after the churn: the run refuses it.
    const Outcome run = sweep(Small + "--vary crash=0,9 --seeds 1-2 --jobs 2 --out " + dir.string(), scratch);
    EXPECT_EQ(run.status, 1) << run.err;  // some runs failed
    for (const char* d : {"crash=0/seed=1", "crash=0/seed=2"}) {
        SCOPED_TRACE(d);
        EXPECT_EQ(runState(dir / d), RunState::Complete);
        EXPECT_TRUE(fs::exists(dir / d / "report" / "report.html"));
        EXPECT_TRUE(fs::exists(dir / d / "figures.json"));
    }
    for (const char* d : {"crash=9/seed=1", "crash=9/seed=2"}) {
        SCOPED_TRACE(d);
        EXPECT_EQ(runState(dir / d), RunState::Failed);
        EXPECT_NE(failureReason(dir / d).find("exit status 2: palaver-lab: --leave and --crash"), std::string::npos)
            << failureReason(dir / d);
    }

    // Analysed again, side by side, when their cached figures are gone.
    for (const char* d : {"crash=0/seed=1", "crash=0/seed=2"}) fs::remove(dir / d / "figures.json");
    const fs::path report = scratch / "report";
    const Outcome a = runCommand(quoted(PALAVER_LAB) + " analyze " + dir.string() + " --out " + report.string(),
                                 scratch.path());
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("sweep of 4 runs (2 went through, 2 failed"), std::string::npos) << a.out;
    EXPECT_NE(a.err.find("2 of 4 runs failed"), std::string::npos) << a.err;
    std::vector<std::string> header;
    const std::vector<Row> rows = readCsv(report / "sweep.csv", &header);
    EXPECT_EQ(header, (std::vector<std::string>{"crash", "figure", "n", "mean", "sd", "ci95", "min", "max", "runs",
                                                "failed"}));
    bool sawReliability = false;
    for (const Row& r : rows) {
        if (r.at("crash") == "0") {
            EXPECT_EQ(r.at("runs"), "2");
            EXPECT_EQ(r.at("failed"), "0");
        } else {
            EXPECT_EQ(r.at("runs"), "0");
            EXPECT_EQ(r.at("failed"), "2");
            EXPECT_EQ(r.at("n"), "0");
            EXPECT_EQ(r.at("mean"), "");
        }
        if (r.at("crash") == "0" && r.at("figure") == "reliability_mean") {
            sawReliability = true;
            EXPECT_EQ(r.at("n"), "2");
            const double mean = std::stod(r.at("mean"));
            EXPECT_GE(mean, std::stod(r.at("min")));
            EXPECT_LE(mean, std::stod(r.at("max")));
            EXPECT_GT(mean, 0.0);
            EXPECT_LE(mean, 1.0);
        }
        if (r.at("crash") == "0" && r.at("figure") == "joins_completed") {
            EXPECT_EQ(r.at("min"), r.at("max")) << "4 nodes without loss: every join goes through";
            EXPECT_EQ(r.at("mean"), "4");
        }
    }
    EXPECT_TRUE(sawReliability);
    EXPECT_TRUE(fs::exists(dir / "crash=0/seed=1/figures.json"));
    EXPECT_TRUE(fs::exists(report / "reliability_mean-crash.svg"));
    const std::string page = readFile(report / "report.html").value_or("");
    EXPECT_NE(page.find("reliability_mean-crash.svg"), std::string::npos);
    // Each run that went through links its own report; each failed one its output.
    for (const char* link : {"../s/crash=0/seed=1/report/report.html", "../s/crash=0/seed=2/report/report.html",
                             "../s/crash=9/seed=1.log"}) {
        EXPECT_NE(page.find(std::string("href=\"") + link + "\""), std::string::npos) << link;
    }
}

TEST(SweepCommand, ScenarioOverSeedsGivesEachExpectationsPassRate) {
    TempDir scratch;
    // One expectation that holds, one that cannot: each run's verdict fails
    // (exit status 1) and still counts as a run that went through.
    writeText(scratch / "tiny.toml",
              "seed = 1\n[nodes]\ncount = 4\n[timing]\nquiet_ms = 500\n"
              "[[step]]\nname = \"start\"\ndo = \"start\"\n"
              "[[step]]\nname = \"build\"\ndo = \"join\"\n"
              "[[step]]\nname = \"lines\"\ndo = \"lines\"\ncount = 1\n"
              "[[expect]]\nname = \"joins\"\ncheck = \"joins\"\nat_least = 100\n"
              "[[expect]]\nname = \"never\"\ncheck = \"delivery\"\nat_most = 10\n");
    const fs::path dir = scratch / "s";
    // The file's node count varied by its path: 4 as written, and 5.
    const Outcome o = sweep((scratch / "tiny.toml").string() + " --vary nodes.count=4,5 --seeds 1-2 --jobs 2 --out " +
                                dir.string(),
                            scratch);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(readFile(dir / "nodes.count=4" / "seed=1.log").value_or("").find("a check failed"), std::string::npos);
    for (const char* count : {"4", "5"}) {
        const fs::path run = dir / (std::string("nodes.count=") + count) / "seed=2";
        EXPECT_EQ(readCsv(run / "report" / "nodes.csv").size(), static_cast<std::size_t>(std::stoi(count))) << run;
    }
    const fs::path report = scratch / "report";
    const Outcome a = runCommand(quoted(PALAVER_LAB) + " analyze " + dir.string() + " --out " + report.string() +
                                     " --no-pictures",
                                 scratch.path());
    ASSERT_EQ(a.status, 0) << a.err;
    std::map<std::string, Row> byFigure;
    for (const Row& r : readCsv(report / "sweep.csv")) byFigure[r.at("nodes.count") + " " + r.at("figure")] = r;
    for (const char* count : {"4", "5"}) {
        for (const auto& [figure, mean] : std::vector<std::pair<std::string, std::string>>{
                 {"expect:joins", "1"}, {"expect:never", "0"}, {"verdict_passed", "0"}}) {
            const std::string key = std::string(count) + " " + figure;
            SCOPED_TRACE(key);
            ASSERT_EQ(byFigure.count(key), 1u);
            EXPECT_EQ(byFigure[key].at("n"), "2");
            EXPECT_EQ(byFigure[key].at("mean"), mean);
        }
    }
}

TEST(SweepCommand, ResumeSkipsCompleteRunsAndRedoesCutOffOnes) {
    TempDir scratch;
    const fs::path dir = scratch / "s";
    const std::string args = Small + "--seeds 1-3 --jobs 2 --out " + dir.string();
    ASSERT_EQ(sweep(args, scratch).status, 0);
    // seed=1 stays as it is; seed=2 was cut off while writing run.json;
    // seed=3 never finished its record.
    writeText(dir / "seed=1" / "marker", "kept");
    const std::string full = readFile(dir / "seed=2" / "run.json").value_or("");
    writeText(dir / "seed=2" / "run.json", full.substr(0, full.size() / 2));
    writeText(dir / "seed=2" / "marker", "stale");
    fs::remove(dir / "seed=3" / "run.json");
    fs::remove(dir / "seed=3.result.json");

    const Outcome again = sweep(args, scratch);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(fs::exists(dir / "seed=1" / "marker"));
    EXPECT_FALSE(fs::exists(dir / "seed=2" / "marker"));
    for (const char* d : {"seed=1", "seed=2", "seed=3"}) EXPECT_EQ(runState(dir / d), RunState::Complete) << d;
    EXPECT_NE(again.err.find("3/3 runs"), std::string::npos) << again.err;
}

TEST(SweepCommand, SeedsAutoOnRealRunsRecordsWhyEachPointStopped) {
    TempDir scratch;
    const fs::path dir = scratch / "s";
    // Without loss every line of 4 nodes reaches everyone: no spread, so the
    // first two seeds already give an interval of width 0.
    const Outcome o = sweep(Small + "--seeds auto --target join_success --ci-width 0.5 --min-seeds 2 --max-seeds 4 "
                                    "--out " +
                                dir.string(),
                            scratch);
    ASSERT_EQ(o.status, 0) << o.err;
    const SweepFile f = readSweepFile(dir);
    ASSERT_EQ(f.points.size(), 1u);
    EXPECT_EQ(f.pointSeeds[0], (std::vector<uint64_t>{1, 2}));
    EXPECT_NE(f.stopped[0].find("CI width 0 < 0.5 after 2 runs"), std::string::npos) << f.stopped[0];
}

}  // namespace
}  // namespace palaver::lab::sweep
