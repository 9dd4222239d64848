// Per-line traces from hand-made logs with known answers: the member-table
// replay, the hop and redundancy figures, the shortest paths of the
// snapshot, and who counts as alive.
#include <gtest/gtest.h>

#include <array>

#include "analyze/analyze_model.h"
#include "analyze_support.h"

namespace palaver::lab {
namespace {

using labtest::chat;
using labtest::log;
using labtest::report;
using labtest::writeText;

const std::string A = "127.0.0.1@50001", B = "127.0.0.1@50002", C = "127.0.0.1@50003", D = "127.0.0.1@50004",
                  E = "127.0.0.1@50005";

const Trace* find(const Analysis& a, const std::string& originator, int sequence, const std::string& text) {
    for (const Trace& t : a.traces) {
        if (t.originator == originator && t.sequence == sequence && t.text == text) return &t;
    }
    return nullptr;
}

// Five nodes in a ring A B C D E with their closing reports and no run.json:
//  - A's line 2 "hi" reaches A, B, C, D but not E; B and D see it twice,
//    D first with TTL 2 and then with TTL 1;
//  - E, restarted, types sequence 1 after B and C hold its sequence 4;
//  - B's greeting, sent to itself with TTL 1;
//  - two lines of C's log are not datagrams.
struct FiveNodes : ::testing::Test {
    test::TempDir dir;
    void SetUp() override {
        writeText(dir / (A + ".txt"), log({chat(0, A, 2, "hi")}));
        writeText(dir / (B + ".txt"),
                  log({chat(1, B, 1, "Hello"), chat(1, A, 2, "hi"), chat(2, A, 2, "hi"), chat(1, E, 4, "before"),
                       chat(1, E, 1, "again")}));
        writeText(dir / (C + ".txt"), log({"error", chat(2, B, 1, "Hello"), chat(1, A, 2, "hi"), "? garbage",
                                           chat(1, E, 4, "before"), chat(1, E, 1, "again")}));
        // D crashed: its log ends without "thread end" and its report is empty.
        writeText(dir / (D + ".txt"), log({chat(2, A, 2, "hi"), chat(1, A, 2, "hi")}, false));
        writeText(dir / (E + ".txt"), log({chat(0, E, 1, "again")}));
        writeText(dir / ("status_" + A + ".csv"), report(A, B, E, {C}, 0, 1));
        writeText(dir / ("status_" + B + ".csv"), report(B, C, A, {}, 1, 3));
        writeText(dir / ("status_" + C + ".csv"), report(C, D, B, {A}, 1, 3));
        writeText(dir / ("status_" + D + ".csv"), "");
        writeText(dir / ("status_" + E + ".csv"), report(E, A, D, {}, 0, 1));
    }
};

TEST_F(FiveNodes, LineReachingFourOfFiveWithDuplicates) {
    Analysis a = analyzeRun(loadRun({dir.str()}));
    const Trace* t = find(a, A, 2, "hi");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->kind, "typed");
    EXPECT_EQ(t->alive, 5u);
    EXPECT_EQ(t->accepts.size(), 4u);
    EXPECT_DOUBLE_EQ(t->reliability, 0.8);
    EXPECT_EQ(t->copies, 6u);
    // Hops 0 (A), 1 (B), 1 (C), 2 (D: the first copy counts, not the later TTL 1).
    EXPECT_DOUBLE_EQ(*t->meanHops, 1.0);
    EXPECT_EQ(*t->maxHops, 2);
    EXPECT_NEAR(*t->rmr, 5.0 / 3.0 - 1.0, 1e-12);
    // Closing topology (D's report is empty, so D is a dead end): A->B 1,
    // A->C 1 through A's random link, A->C->D 2.
    EXPECT_EQ(t->snapshot, "closing");
    EXPECT_EQ(t->unreachable, 0u);
    ASSERT_TRUE(t->shortestMean);
    EXPECT_DOUBLE_EQ(*t->shortestMean, (0 + 1 + 1 + 2) / 4.0);
    EXPECT_DOUBLE_EQ(*t->stretch, 1.0);
}

TEST_F(FiveNodes, RestartedOriginatorsLowerSequenceIsDropped) {
    Analysis a = analyzeRun(loadRun({dir.str()}));
    const Trace* before = find(a, E, 4, "before");
    const Trace* again = find(a, E, 1, "again");
    ASSERT_NE(before, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(before->accepts.size(), 2u);  // B and C; E's old log is gone
    // Only the restarted E itself takes its sequence 1; B and C drop it.
    ASSERT_EQ(again->accepts.size(), 1u);
    EXPECT_EQ(a.run.nodes[again->accepts[0].first].address, E);
    EXPECT_EQ(again->copies, 3u);
    EXPECT_DOUBLE_EQ(again->reliability, 0.2);
    EXPECT_FALSE(again->rmr);  // undefined with one delivery
    EXPECT_DOUBLE_EQ(*again->meanHops, 0.0);
}

TEST_F(FiveNodes, GreetingHopsCountFromItsOwnTtlAndStayOutOfTheSummary) {
    Analysis a = analyzeRun(loadRun({dir.str()}));
    const Trace* hello = find(a, B, 1, "Hello");
    ASSERT_NE(hello, nullptr);
    EXPECT_EQ(hello->kind, "greeting");
    EXPECT_DOUBLE_EQ(*hello->meanHops, 0.5);  // B 0, C 1
    EXPECT_EQ(*hello->maxHops, 1);
    ASSERT_FALSE(a.lineSummaries.empty());
    EXPECT_EQ(a.lineSummaries[0].lines, 3u);  // hi, before, again
    EXPECT_EQ(a.lineSummaries[0].complete, 0u);
    EXPECT_DOUBLE_EQ(a.lineSummaries[0].reliabilityMin, 0.2);
}

TEST_F(FiveNodes, NodeFiguresAndBadLines) {
    Analysis a = analyzeRun(loadRun({dir.str()}));
    EXPECT_EQ(a.run.badLines, 2u);
    EXPECT_EQ(a.run.badFiles, 1u);
    const NodeInfo& c = a.run.nodes[a.run.nodeIndex.at(C)];
    EXPECT_EQ(c.logLines, 6u);
    EXPECT_EQ(c.chatCopies, 4u);
    EXPECT_EQ(c.accepted, 3u);  // Hello, hi, before
    const NodeInfo& d = a.run.nodes[a.run.nodeIndex.at(D)];
    EXPECT_EQ(d.logLines, 2u);
    EXPECT_FALSE(d.closing);
    // Without run.json every node with a log counts as alive.
    EXPECT_EQ(d.state, "alive");
}

// D crashed: C's next and E's back name a node without a table, so the
// closing ring is no cycle, yet the four live nodes stay one component.
TEST_F(FiveNodes, RingBrokenByACrash) {
    Analysis a = analyzeRun(loadRun({dir.str()}));
    ASSERT_EQ(a.topology.size(), 1u);
    const TopologySummary& t = a.topology[0];
    EXPECT_EQ(t.live, 4u);
    EXPECT_FALSE(t.ringIntact);
    EXPECT_EQ(t.danglingNext, 1u);
    EXPECT_EQ(t.backMismatch, 1u);
    EXPECT_EQ(t.ringCycles, 0u);
    EXPECT_EQ(t.components, 1u);
    ASSERT_EQ(t.brokenLinks.size(), 2u);
    EXPECT_EQ(t.brokenLinks[0], C + " next " + D + ": not a live node");
    EXPECT_EQ(t.brokenLinks[1], E + " back " + D + ": not a live node");
    // Random links A <-> C: in-degree 1 for A and C, 0 for B and E.
    EXPECT_EQ(t.inDegreeHistogram, (std::vector<std::size_t>{2, 2}));
    EXPECT_EQ(t.inDegreeZero, 2u);
}

// Two newcomers that joined at once through A: D believes it sits between A
// and B, but A's next and B's back name each other.
TEST(AnalyzeTopology, ConcurrentJoinLeavesAMismatchedBack) {
    Snapshot s;
    s.name = "built";
    s.tables[A] = StatusTable{A, B, C, {}, 0, 0};
    s.tables[B] = StatusTable{B, C, A, {}, 0, 0};
    s.tables[C] = StatusTable{C, A, B, {}, 0, 0};
    s.tables[D] = StatusTable{D, B, A, {}, 0, 0};
    TopologySummary t = summarizeTopology(s);
    EXPECT_FALSE(t.ringIntact);
    EXPECT_EQ(t.ringCycles, 1u);
    EXPECT_EQ(t.longestCycle, 3u);
    EXPECT_EQ(t.danglingNext, 0u);
    EXPECT_EQ(t.backMismatch, 1u);
    ASSERT_EQ(t.brokenLinks.size(), 1u);
    EXPECT_EQ(t.brokenLinks[0], D + " back " + A + ": its next is " + B);
    // Nobody names D, so three of its twelve ordered pairs are unreachable.
    EXPECT_EQ(t.unreachablePairs, 3u);
    EXPECT_EQ(t.components, 1u);
    // With D gone the three left form the ring again.
    s.tables.erase(D);
    t = summarizeTopology(s);
    EXPECT_TRUE(t.ringIntact);
    EXPECT_EQ(t.diameter, 1);
    EXPECT_DOUBLE_EQ(t.meanDistance, 1.0);
}

// run.json: a crashed node stops counting as alive after its fate; lines
// take their paths from the snapshot of their phase; a typed line that no
// log holds still has its row.
TEST(AnalyzeRunJson, AliveFollowsFatesAndLinesUseTheirSnapshot) {
    test::TempDir dir;
    // Built: ring A B C D. Churned (after D crashed): A B C with C's next still D.
    for (const auto& [self, next, back] : std::vector<std::array<std::string, 3>>{{A, B, D}, {B, C, A}, {C, D, B}, {D, A, C}}) {
        writeText(dir / "tables/built" / ("status_" + self + ".csv"), report(self, next, back));
    }
    writeText(dir / "tables/churned" / ("status_" + A + ".csv"), report(A, B, D));
    writeText(dir / "tables/churned" / ("status_" + B + ".csv"), report(B, C, A));
    writeText(dir / "tables/churned" / ("status_" + C + ".csv"), report(C, D, B));
    writeText(dir / (A + ".txt"), log({chat(0, A, 2, "one"), chat(3, A, 2, "one"), chat(0, A, 3, "two")}));
    writeText(dir / (B + ".txt"), log({chat(1, A, 2, "one"), chat(1, A, 3, "two")}));
    writeText(dir / (C + ".txt"), log({chat(2, A, 2, "one"), chat(2, A, 3, "two")}));
    writeText(dir / (D + ".txt"), log({chat(1, A, 2, "one")}, false));
    writeText(dir / "run.json", R"({
      "lab_version": "1.0", "seed": 7,
      "parameters": {"nodes": 4, "lines": 1, "loss": 0.0, "leave": 0, "crash": 1, "burst": 0},
      "nodes": [
        {"address": ")" + A + R"(", "contact": "", "join": "first", "fate": "alive", "fate_ms": null},
        {"address": ")" + B + R"(", "contact": ")" +
                                    A + R"(", "join": "joined", "fate": "alive", "fate_ms": null},
        {"address": ")" + C + R"(", "contact": ")" +
                                    A + R"(", "join": "joined", "fate": "alive", "fate_ms": null},
        {"address": ")" + D + R"(", "contact": ")" +
                                    A + R"(", "join": "failed", "fate": "crashed", "fate_ms": 500}
      ],
      "lines": [
        {"originator": ")" + A + R"(", "sequence": 2, "text": "one", "phase": "lines", "typed_ms": 400},
        {"originator": ")" + A + R"(", "sequence": 3, "text": "two", "phase": "lines_churned", "typed_ms": 700},
        {"originator": ")" + B + R"(", "sequence": 2, "text": "lost", "phase": "lines_churned", "typed_ms": 710}
      ],
      "phases": [{"name": "start", "start_ms": 0, "end_ms": 40, "cpu_ms": 35, "peak_rss_kib": 9000}],
      "snapshots": [{"name": "built", "dir": "tables/built", "ms": 300},
                    {"name": "churned", "dir": "tables/churned", "ms": 600}]
    })");
    Analysis a = analyzeRun(loadRun({dir.str()}));
    ASSERT_GE(a.traces.size(), 3u);
    const Trace& one = a.traces[0];
    EXPECT_EQ(one.text, "one");
    EXPECT_EQ(one.alive, 4u);
    EXPECT_DOUBLE_EQ(one.reliability, 1.0);
    EXPECT_EQ(one.copies, 5u);
    EXPECT_EQ(one.snapshot, "built");
    // Built ring: A->B 1, A->D 1 (back), A->C 2.
    EXPECT_DOUBLE_EQ(*one.shortestMean, (0 + 1 + 2 + 1) / 4.0);
    EXPECT_DOUBLE_EQ(*one.meanHops, (0 + 1 + 2 + 1) / 4.0);
    const Trace& two = a.traces[1];
    EXPECT_EQ(two.alive, 3u);  // D crashed at 500, before 700
    EXPECT_DOUBLE_EQ(two.reliability, 1.0);
    EXPECT_EQ(two.snapshot, "churned");
    // Churned: A's back D is gone, so C is 2 away through B.
    EXPECT_DOUBLE_EQ(*two.shortestMean, (0 + 1 + 2) / 3.0);
    const Trace& lost = a.traces[2];
    EXPECT_EQ(lost.text, "lost");
    EXPECT_EQ(lost.accepts.size(), 0u);
    EXPECT_EQ(lost.copies, 0u);
    EXPECT_DOUBLE_EQ(lost.reliability, 0.0);
    EXPECT_FALSE(lost.meanHops);
    EXPECT_EQ(a.joinsCompleted, 3u);
    EXPECT_EQ(a.joinsFailed, 1u);
    ASSERT_EQ(a.lineSummaries.size(), 3u);
    EXPECT_EQ(a.lineSummaries[1].phase, "lines");
    EXPECT_EQ(a.lineSummaries[2].phase, "lines_churned");
    EXPECT_DOUBLE_EQ(a.lineSummaries[2].reliabilityMean, 0.5);
}

// Two folders of one overlay (two lab processes) are read as one.
TEST(AnalyzeMerge, FoldersOfOneOverlayMerge) {
    test::TempDir one, two;
    writeText(one / (A + ".txt"), log({chat(0, A, 2, "x")}));
    writeText(two / (B + ".txt"), log({chat(1, A, 2, "x"), chat(2, A, 2, "x")}));
    Analysis a = analyzeRun(loadRun({one.str(), two.str()}));
    ASSERT_EQ(a.traces.size(), 1u);
    EXPECT_EQ(a.traces[0].alive, 2u);
    EXPECT_DOUBLE_EQ(a.traces[0].reliability, 1.0);
    EXPECT_EQ(a.traces[0].copies, 3u);
}

TEST(AnalyzeErrors, MissingFolderAndFolderWithoutLogs) {
    test::TempDir dir;
    EXPECT_THROW(loadRun({(dir / "nope").string()}), AnalyzeError);
    writeText(dir / "notes.txt", "not a log");
    try {
        loadRun({dir.str()});
        FAIL() << "a folder without logs was accepted";
    } catch (const AnalyzeError& e) {
        EXPECT_NE(std::string(e.what()).find("no datagram logs"), std::string::npos);
    }
    writeText(dir / (A + ".txt"), log({}));
    writeText(dir / "run.json", "{ broken");
    EXPECT_THROW(loadRun({dir.str()}), AnalyzeError);
}

}  // namespace
}  // namespace palaver::lab
