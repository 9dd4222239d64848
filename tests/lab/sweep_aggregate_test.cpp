// The sweep's aggregation on hand-made runs: each grid point over its own
// runs only, every column of sweep.csv, and the figures a run gives from
// its own phase and snapshot.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "analyze_support.h"
#include "sweep/aggregate.h"

namespace palaver::lab::sweep {
namespace {

namespace fs = std::filesystem;
using palaver::labtest::chat;
using palaver::labtest::readCsv;
using palaver::labtest::Row;
using palaver::labtest::writeText;

RunOutcome outcome(std::size_t point, uint64_t seed, RunState state, std::optional<Figures> figures = std::nullopt) {
    RunOutcome r;
    r.point = point;
    r.seed = seed;
    r.state = state;
    r.figures = std::move(figures);
    return r;
}

// Two points, four seeds each. loss=0: three runs went through (rmr
// missing in one), one failed. loss=5: two went through, one was never
// started and one was cut off; neither of those counts as failed.
// Means, sample deviations and Student's t half-widths (t = 4.3027 for two
// degrees of freedom, 12.7062 for one) worked out by hand.
TEST(SweepAggregate, EachPointOverItsOwnRunsWithEveryColumn) {
    SweepPlan p;
    p.vary = {{"loss", {"0", "5"}}};
    p.seeds.seeds = {1, 2, 3, 4};
    const SweepFile f = newSweepFile(p);
    const std::vector<RunOutcome> runs = {
        outcome(0, 1, RunState::Complete, Figures{{"reliability_mean", 1}, {"rmr", 0.5}}),
        outcome(0, 2, RunState::Complete, Figures{{"reliability_mean", 2}, {"rmr", 0.25}}),
        outcome(0, 3, RunState::Complete, Figures{{"reliability_mean", 4}}),
        outcome(0, 4, RunState::Failed),
        outcome(1, 1, RunState::Complete, Figures{{"reliability_mean", 10}, {"rmr", 3}}),
        outcome(1, 2, RunState::Missing),
        outcome(1, 3, RunState::CutOff),
        outcome(1, 4, RunState::Complete, Figures{{"reliability_mean", 20}, {"rmr", 1}}),
    };
    EXPECT_EQ(sweepCsv(f, aggregate(f, runs)),
              "loss,figure,n,mean,sd,ci95,min,max,runs,failed\n"
              "0,reliability_mean,3,2.33333,1.52753,3.79458,1,4,3,1\n"
              "0,rmr,2,0.375,0.176777,1.58828,0.25,0.5,3,1\n"
              "5,reliability_mean,2,15,7.07107,63.531,10,20,2,0\n"
              "5,rmr,2,2,1.41421,12.7062,1,3,2,0\n");
}

// A run's figures: the join share over the newcomers (the first node has no
// join), the churned figures from the lines typed after the churn, and the
// topology figures from the last snapshot, not the first.
TEST(SweepFigures, FromTheNewcomersTheChurnedLinesAndTheLastSnapshot) {
    Analysis a;
    for (const char* join : {"first", "joined", "joined", "failed"}) {
        NodeInfo n;
        n.join = join;
        a.run.nodes.push_back(n);
    }
    a.joinsCompleted = 3;
    a.joinsFailed = 1;
    LineSummary all, built, churned;
    all.lines = 4;
    all.complete = 1;
    all.reliabilityMean = 0.9;
    all.reliabilityMin = 0.5;
    built.phase = "lines";
    built.lines = 2;
    built.reliabilityMean = 0.95;
    built.reliabilityMin = 0.9;
    churned.phase = "lines_churned";
    churned.lines = 2;
    churned.reliabilityMean = 0.85;
    churned.reliabilityMin = 0.7;
    a.lineSummaries = {all, built, churned};
    TopologySummary first, last;
    first.snapshot = "built";
    first.ringIntact = true;
    first.ringCycles = 1;
    first.components = 1;
    last.snapshot = "churned";
    last.ringCycles = 2;
    last.components = 3;
    last.unreachablePairs = 7;
    last.diameter = 4;
    last.danglingNext = 2;
    last.inDegreeMax = 5;
    a.topology = {first, last};
    // Two misses dropped, one cut off; one join broken off at the walk.
    a.misses = {{0, 1, "dropped", "", {}}, {1, 1, "cut off", "", {}}, {1, 2, "dropped", "", {}}};
    a.failedJoins = {{3, "walk", "dropped", ""}};
    a.run.hasRunJson = true;

    const Figures f = runFigures(a, nlohmann::json::object());
    const Figures expected = {
        {"joins_completed", 3},
        {"joins_failed", 1},
        {"join_success", 2.0 / 3.0},
        {"reliability_mean", 0.9},
        {"reliability_worst", 0.5},
        {"complete_lines", 0.25},
        {"churned_reliability_mean", 0.85},
        {"churned_reliability_worst", 0.7},
        {"built_ring_intact", 1},
        {"ring_intact", 0},
        {"ring_cycles", 2},
        {"components", 3},
        {"unreachable_pairs", 7},
        {"diameter", 4},
        {"mean_distance", 0},
        {"back_mismatch", 0},
        {"dangling_next", 2},
        {"in_degree_max", 5},
        {"misses_dropped", 2},
        {"misses_cut_off", 1},
        {"misses_partitioned", 0},
        {"misses_ended", 0},
        {"misses_joined_later", 0},
        {"misses_unknown", 0},
        {"misses_unexplained", 0},
        {"join_failed_at_join_request", 0},
        {"join_failed_at_join_referral", 0},
        {"join_failed_at_successor_request", 0},
        {"join_failed_at_successor_accept", 0},
        {"join_failed_at_predecessor_request", 0},
        {"join_failed_at_predecessor_accept", 0},
        {"join_failed_at_walk", 1},
        {"join_failed_at_walk_reply", 0},
        {"join_failed_at_greeting", 0},
        {"join_failed_at_none", 0},
    };
    EXPECT_EQ(f, expected);
}

// A complete run of three nodes in a ring A B C, each typing nothing but
// A's line and B's line. A's line reaches everyone; B's reaches C only
// when `bReachesC`: the run's reliability mean is 1, or (1 + 2/3) / 2 = 5/6.
void threeNodeRun(const fs::path& dir, uint64_t seed, bool bReachesC) {
    using palaver::labtest::log;
    using palaver::labtest::report;
    const std::string A = "127.0.0.1@50001", B = "127.0.0.1@50002", C = "127.0.0.1@50003";
    std::vector<std::string> atC = {chat(1, A, 1, "a")};
    if (bReachesC) atC.push_back(chat(1, B, 1, "b"));
    writeText(dir / (A + ".txt"), log({chat(0, A, 1, "a"), chat(2, B, 1, "b")}));
    writeText(dir / (B + ".txt"), log({chat(1, A, 1, "a"), chat(0, B, 1, "b")}));
    writeText(dir / (C + ".txt"), log(atC));
    writeText(dir / ("status_" + A + ".csv"), report(A, B, C));
    writeText(dir / ("status_" + B + ".csv"), report(B, C, A));
    writeText(dir / ("status_" + C + ".csv"), report(C, A, B));
    writeText(dir / "run.json", "{\"seed\": " + std::to_string(seed) +
                                    ", \"parameters\": {\"nodes\": 3}, \"nodes\": [], \"lines\": [], "
                                    "\"snapshots\": [], \"phases\": [], \"end_ms\": 900}");
}

// x, mean and error of each point of a picture's data file, curve by curve.
std::vector<std::vector<double>> dataPoints(const fs::path& path) {
    std::vector<std::vector<double>> points;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<double> p;
        for (double v; fields >> v;) p.push_back(v);
        if (!p.empty()) points.push_back(p);
    }
    return points;
}

// A sweep folder of hand-made runs, analysed: loss=0 has one run of each
// kind above (5/6 and 1), loss=5 two runs that reach everyone. sweep.csv's
// extremes are the runs' own report figures, its half-width Student's t
// (12.7062 for one degree of freedom) times sd / sqrt(2), and the picture's
// error bars are that half-width, not the deviation.
TEST(SweepAnalyze, TableAgreesWithEachRunsReportAndBarsAreTheHalfWidth) {
    palaver::test::TempDir scratch;
    const fs::path dir = scratch / "s";
    SweepPlan p;
    p.vary = {{"loss", {"0", "5"}}};
    p.seeds.seeds = {1, 2};
    fs::create_directories(dir);
    writeSweepFile(dir, newSweepFile(p));
    threeNodeRun(dir / "loss=0/seed=1", 1, false);
    threeNodeRun(dir / "loss=0/seed=2", 2, true);
    threeNodeRun(dir / "loss=5/seed=1", 1, true);
    threeNodeRun(dir / "loss=5/seed=2", 2, true);
    const fs::path out = scratch / "report";
    // Without gnuplot on the PATH the pictures are not drawn, but their data
    // files are written all the same, and quickly.
    const palaver::labtest::Outcome o = palaver::labtest::runCommand(
        "PATH=/nonexistent '" + palaver::labtest::lab() + "' analyze '" + dir.string() + "' --out '" + out.string() +
            "'",
        scratch.path());
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("could not draw"), std::string::npos) << o.err;

    std::map<std::string, Row> reliability;
    for (const Row& r : readCsv(out / "sweep.csv")) {
        if (r.at("figure") == "reliability_mean") reliability[r.at("loss")] = r;
    }
    ASSERT_EQ(reliability.size(), 2u);
    // Each run's own report: the mean of its lines' reliability.
    auto runMean = [&](const char* run) {
        double sum = 0;
        const std::vector<Row> lines = readCsv(dir / run / "report" / "messages.csv");
        for (const Row& r : lines) sum += std::stod(r.at("reliability"));
        return lines.empty() ? -1.0 : sum / static_cast<double>(lines.size());
    };
    const double worse = runMean("loss=0/seed=1");
    EXPECT_NEAR(worse, 5.0 / 6.0, 1e-3);
    EXPECT_NEAR(runMean("loss=0/seed=2"), 1.0, 1e-9);
    const Row& zero = reliability["0"];
    EXPECT_EQ(zero.at("n"), "2");
    EXPECT_NEAR(std::stod(zero.at("min")), worse, 1e-3);
    EXPECT_EQ(zero.at("max"), "1");
    EXPECT_NEAR(std::stod(zero.at("mean")), 11.0 / 12.0, 1e-5);
    const double sd = (1.0 / 6.0) / std::sqrt(2.0);
    EXPECT_NEAR(std::stod(zero.at("sd")), sd, 1e-5);
    EXPECT_NEAR(std::stod(zero.at("ci95")), 12.7062 * sd / std::sqrt(2.0), 1e-4);
    EXPECT_EQ(reliability["5"].at("mean"), "1");
    EXPECT_EQ(reliability["5"].at("ci95"), "0");

    // One curve (nothing else varies): x, mean, half-width per loss value.
    const std::vector<std::vector<double>> bars = dataPoints(out / "reliability_mean-loss.dat");
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[0], (std::vector<double>{0, std::stod(zero.at("mean")), std::stod(zero.at("ci95"))}));
    EXPECT_EQ(bars[1], (std::vector<double>{5, 1, 0}));
}

}  // namespace
}  // namespace palaver::lab::sweep
