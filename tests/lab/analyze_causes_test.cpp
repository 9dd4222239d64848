// Causes of missed lines and failed joins on a hand-made run folder where
// each node stands for one cause, and on the same files without run.json.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "analyze/analyze_model.h"
#include "analyze_support.h"

namespace palaver::labtest {
namespace {

using lab::Analysis;

std::string node(int i) { return "127.0.0.1@" + std::to_string(5000 + i); }
// A join datagram as it arrives: type letter and the unpadded address it carries.
std::string join(char type, int carried) { return std::string(1, type) + "00`001`" + node(carried) + "`"; }

// Node 1 types "hi" at 1000 (phase lines); nodes 2 and 3 accept it. Each of
// the others misses it for one reason:
//   4 dropped       node 3 points at it and its copy was dropped
//   5 cut off       only nodes 4 and 6 point at it, and both missed the line
//   6 unexplained   node 2 points at it, accepted the line, no drop recorded
//   7 joined later  its join completed at 1500
//   8 ended         it crashed at 1010, before the line's quiet at 1200
//   9 partitioned   west | east in force since 500; it is east
// and 10 to 12 joined through node 1 and failed (so they missed it too):
//   10 broke off at the predecessor request, whose drop is recorded
//   11 broke off at the join request (node 1's log has no N of it), no drop
//   12 broke off at the walk, whose drop is recorded
void writeFolder(const fs::path& dir, bool withRunJson) {
    const std::map<int, std::vector<std::string>> logs = {
        {1, {chat(0, node(1), 1, "hi"), join('N', 10), join('N', 12), join('B', 12)}},
        {2, {chat(1, node(1), 1, "hi"), join('X', 10), join('X', 12)}},
        {3, {chat(2, node(1), 1, "hi")}},
        {10, {join('n', 2), join('x', 2)}},
        {12, {join('n', 2), join('x', 2), join('b', 1)}},
    };
    for (int i = 1; i <= 12; ++i) {
        auto it = logs.find(i);
        writeText(dir / (node(i) + ".txt"), log(it == logs.end() ? std::vector<std::string>() : it->second));
    }
    // Who points at whom: the tables of the snapshot the line was typed in,
    // also the closing reports.
    const std::map<int, std::vector<int>> tables = {
        {1, {2, 9}},
        {2, {3, 1, 6}},
        {3, {4, 2}},
        {4, {5, 3}},
        {5, {4, 4}},
        {6, {8, 5}},
        {8, {9, 6}},
        {9, {1, 8}},
    };
    for (const auto& [self, peers] : tables) {
        std::vector<std::string> random;
        for (std::size_t k = 2; k < peers.size(); ++k) random.push_back(node(peers[k]));
        const std::string text = report(node(self), node(peers[0]), node(peers[1]), random);
        writeText(dir / "tables" / "built" / ("status_" + node(self) + ".csv"), text);
        if (self != 8) writeText(dir / ("status_" + node(self) + ".csv"), text);
    }
    if (!withRunJson) return;
    writeText(dir / "drops.csv",
              "ms,rule,source,destination,type,ttl,originator,sequence\n"
              "450,loss," +
                  node(10) + "," + node(1) + ",B,1,,\n"
                                             "520,loss," +
                  node(3) + "," + node(4) + ",L,20," + node(12) + ",1\n"
                                                                  "1005,loss," +
                  node(3) + "," + node(4) + ",S,3," + node(1) + ",1\n");
    nlohmann::json nodes = nlohmann::json::array();
    for (int i = 1; i <= 12; ++i) {
        nlohmann::json n = {{"address", node(i)}, {"fate", "alive"}, {"fate_ms", nullptr}, {"started_ms", 0}, {"join", i == 1 ? "first" : "joined"}, {"join_start_ms", 100}, {"join_end_ms", 200}, {"contact", i == 1 ? "" : node(1)}};
        if (i == 7) n.update({{"started_ms", 900}, {"join_start_ms", 900}, {"join_end_ms", 1500}});
        if (i == 8) n.update({{"fate", "crashed"}, {"fate_ms", 1010}});
        if (i >= 10) {
            n.update({{"started_ms", 300}, {"join", "failed"}, {"join_start_ms", 400}, {"join_end_ms", nullptr}, {"join_given_up_ms", 600}, {"join_given_up_by", {"quiet"}}});
        }
        nodes.push_back(n);
    }
    nlohmann::json west = nlohmann::json::array();
    for (int i = 1; i <= 8; ++i) west.push_back(node(i));
    writeText(dir / "run.json",
              nlohmann::json{{"seed", 1},
                             {"parameters", {{"nodes", 12}}},
                             {"nodes", nodes},
                             {"lines", {{{"originator", node(1)}, {"sequence", 1}, {"text", "hi"}, {"phase", "lines"}, {"typed_ms", 1000}, {"quiet_ms", 1200}}}},
                             {"groups", {{"west", west}, {"east", {node(9)}}}},
                             {"network_changes", {{{"ms", 500}, {"step", "cut"}, {"loss", 0}, {"partitions", nlohmann::json::array({nlohmann::json::array({"west", "east"})})}}}},
                             {"drops", {{"recorded", true}, {"difference", 0}, {"overruns", 0}}},
                             {"phases", nlohmann::json::array()},
                             {"snapshots", {{{"name", "built"}, {"dir", "tables/built"}, {"ms", 900}}}}}
                  .dump());
}

std::map<std::string, std::string> causeByNode(const Analysis& a) {
    std::map<std::string, std::string> out;
    for (const lab::Miss& m : a.misses) {
        EXPECT_TRUE(out.emplace(a.run.nodes[m.node].address, m.cause).second) << "two causes for one miss";
    }
    return out;
}

TEST(AnalyzeCauses, EachMissAndEachFailedJoinGetsTheCauseItsFilesShow) {
    test::TempDir dir;
    writeFolder(dir.path(), true);
    const Analysis a = lab::analyzeRun(lab::loadRun({dir.path().string()}));

    const std::map<std::string, std::string> want = {
        {node(4), "dropped"}, {node(5), "cut off"}, {node(6), "unexplained"}, {node(7), "joined later"}, {node(8), "ended"}, {node(9), "partitioned"}, {node(10), "joined later"}, {node(11), "joined later"}, {node(12), "joined later"}};
    EXPECT_EQ(causeByNode(a), want);
    for (const lab::Miss& m : a.misses) {
        // Only node 4's miss rests on drops: the chat copy from node 3.
        EXPECT_EQ(m.drops, a.run.nodes[m.node].address == node(4) ? std::vector<std::size_t>{2}
                                                                  : std::vector<std::size_t>{})
            << a.run.nodes[m.node].address;
    }
    EXPECT_TRUE(a.causeLimits.empty());

    std::map<std::string, std::pair<std::string, std::string>> joins;  // node -> step, cause
    for (const lab::JoinFailure& f : a.failedJoins) joins[a.run.nodes[f.node].address] = {f.step, f.cause};
    const std::map<std::string, std::pair<std::string, std::string>> wantJoins = {
        {node(10), {"predecessor request", "dropped"}},
        {node(11), {"join request", "unexplained"}},
        {node(12), {"walk", "dropped"}}};
    EXPECT_EQ(joins, wantJoins);

    // The report's files: one row per miss, unexplained first on the page.
    const fs::path out = dir.path() / "report";
    const Outcome o = runCommand(lab() + " analyze '" + dir.path().string() + "' --out '" + out.string() +
                                     "' --no-pictures",
                                 dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    std::map<std::string, std::string> rows;
    for (const Row& r : readCsv(out / "misses.csv")) rows[r.at("node")] = r.at("cause");
    EXPECT_EQ(rows, want);
    EXPECT_EQ(readCsv(out / "failed_joins.csv").size(), 3u);
    const std::string page = test::readFile(out / "report.html").value_or("");
    EXPECT_NE(page.find("Unexplained misses (1)"), std::string::npos);
    EXPECT_LT(page.find(node(6)), page.find("The other misses"));
    const auto summary = nlohmann::json::parse(test::readFile(out / "summary.json").value_or("{}"));
    // at(): a missing count fails the test instead of reading past the object.
    EXPECT_EQ(summary.at("causes").at("misses").at("dropped"), 1);
    EXPECT_EQ(summary.at("causes").at("failed_joins").at("walk").at("dropped"), 1);
}

// Without run.json nothing says when nodes joined or ended, nor which
// partitions stood: a miss is cut off where the closing tables show it and
// unknown otherwise, never unexplained, and the limit is said.
TEST(AnalyzeCauses, APlainFolderGivesTheCausesItCanAndSaysWhichItCannot) {
    test::TempDir dir;
    writeFolder(dir.path(), false);
    const Analysis a = lab::analyzeRun(lab::loadRun({dir.path().string()}));
    const auto causes = causeByNode(a);
    EXPECT_EQ(causes.at(node(5)), "cut off");
    EXPECT_EQ(causes.at(node(6)), "unknown");
    for (const auto& [address, cause] : causes) EXPECT_TRUE(cause == "cut off" || cause == "unknown") << address;
    EXPECT_TRUE(a.failedJoins.empty());
    ASSERT_EQ(a.causeLimits.size(), 2u);
    EXPECT_NE(a.causeLimits[0].find("no run.json"), std::string::npos);
}

}  // namespace
}  // namespace palaver::labtest
