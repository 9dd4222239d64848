// The sweep's aggregation on hand-made runs: each grid point over its own
// runs only, every column of sweep.csv, and the figures a run gives from
// its own phase and snapshot.
#include <gtest/gtest.h>

#include "sweep/aggregate.h"

namespace palaver::lab::sweep {
namespace {

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
    Plan p;
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

}  // namespace
}  // namespace palaver::lab::sweep
