// The analyzer over a scenario run: a node's two lives told apart, lines by
// the step that typed them, the health time series with the network changes
// and the nodes' fates, and the verdict at the top of the page.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "analyze_support.h"

namespace palaver::labtest {
namespace {

const std::string A = "127.0.0.1@50001", B = "127.0.0.1@50002", C = "127.0.0.1@50003";

// A ring A -> B -> C; B crashes at 300 ms and starts again at 500 ms (its
// second life's files in life2/). A types "one" before the crash and "two"
// after the restart; B's second life types "three".
void twoLives(const fs::path& dir) {
    writeText(dir / (A + ".txt"), log({chat(0, A, 1, "one"), chat(0, A, 2, "two"), chat(1, B, 1, "three")}));
    writeText(dir / ("status_" + A + ".csv"), report(A, B, C, {C}, 1, 2));
    writeText(dir / (B + ".txt"), log({chat(1, A, 1, "one")}, false));
    writeText(dir / ("status_" + B + ".csv"), "");
    writeText(dir / "life2" / (B + ".txt"), log({chat(1, A, 2, "two"), chat(0, B, 1, "three")}));
    writeText(dir / "life2" / ("status_" + B + ".csv"), report(B, C, A, {}, 0, 2));
    writeText(dir / (C + ".txt"), log({chat(1, A, 1, "one"), chat(2, A, 2, "two"), chat(1, B, 1, "three")}));
    writeText(dir / ("status_" + C + ".csv"), report(C, A, B, {A}, 2, 2));
    for (const char* s : {"s-1", "s-3"}) {
        writeText(dir / "tables" / s / ("status_" + A + ".csv"), report(A, B, C));
        writeText(dir / "tables" / s / ("status_" + B + ".csv"), report(B, C, A, {}, 0, 3));
        writeText(dir / "tables" / s / ("status_" + C + ".csv"), report(C, A, B));
    }
    writeText(dir / "tables/s-2" / ("status_" + A + ".csv"), report(A, B, C));
    writeText(dir / "tables/s-2" / ("status_" + C + ".csv"), report(C, A, B));
    writeText(dir / "run.json", R"({"seed": 5, "parameters": {"nodes": 3},
      "nodes": [
        {"address": ")" + A + R"(", "node": 1, "life": 1, "started_ms": 1, "join": "first", "contact": "", "fate": "alive", "fate_ms": null},
        {"address": ")" + B + R"(", "node": 2, "life": 1, "started_ms": 1, "join": "joined", "contact": ")" +
                                    A +
                                    R"(", "fate": "crashed", "fate_ms": 300},
        {"address": ")" + B + R"(", "node": 2, "life": 2, "started_ms": 500, "join": "joined", "contact": ")" +
                                    C +
                                    R"(", "fate": "alive", "fate_ms": null},
        {"address": ")" + C + R"(", "node": 3, "life": 1, "started_ms": 1, "join": "joined", "contact": ")" +
                                    A +
                                    R"(", "fate": "alive", "fate_ms": null}],
      "lines": [
        {"originator": ")" + A + R"(", "sequence": 1, "text": "one", "phase": "before", "typed_ms": 100, "life": 1},
        {"originator": ")" + A + R"(", "sequence": 2, "text": "two", "phase": "after", "typed_ms": 700, "life": 1},
        {"originator": ")" + B + R"(", "sequence": 1, "text": "three", "phase": "after", "typed_ms": 950, "life": 2}],
      "phases": [{"name": "stop", "start_ms": 1000, "end_ms": 1010}],
      "snapshots": [{"name": "s-1", "dir": "tables/s-1", "ms": 50}, {"name": "s-2", "dir": "tables/s-2", "ms": 400},
                    {"name": "s-3", "dir": "tables/s-3", "ms": 900}],
      "network_changes": [{"ms": 200, "step": "cut", "loss": 0.0, "partitions": [["x", "y"]],
                           "loss_between": [{"groups": ["x", "y"], "loss": 5.0}]},
                          {"ms": 600, "step": "heal", "loss": 0.0, "loss_between": [], "partitions": []}],
      "verdict": {"passed": false, "checks": [
        {"name": "ring at the end", "check": "ring", "expected": "ring intact at end", "measured": "intact", "pass": true},
        {"name": "lines reach everyone", "check": "delivery", "expected": "every line >= 100.0 %",
         "measured": "lowest 66.7 % over 3 lines", "pass": false}]}})");
}

std::vector<std::string> lines(const fs::path& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class TwoLives : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        twoLives(dir_->path() / "run");
        outcome_ = new Outcome(runCommand(lab() + " analyze '" + (dir_->path() / "run").string() + "' --out '" +
                                              (dir_->path() / "report").string() + "'",
                                          dir_->path()));
    }
    static void TearDownTestSuite() {
        delete outcome_;
        delete dir_;
    }
    static fs::path report() { return dir_->path() / "report"; }
    static test::TempDir* dir_;
    static Outcome* outcome_;
};
test::TempDir* TwoLives::dir_ = nullptr;
Outcome* TwoLives::outcome_ = nullptr;

TEST_F(TwoLives, EachLifeHasItsOwnRowAndItsOwnFiles) {
    ASSERT_EQ(outcome_->status, 0) << outcome_->err;
    // The first life's table comes from the snapshot taken while it lived, the
    // second life's from its own closing report; the final in-degree is the
    // second life's.
    EXPECT_EQ(lines(report() / "nodes.csv"),
              (std::vector<std::string>{
                  "address,state,next,back,random_count,random_in_degree,members,latest_ttl,log_lines,join,contact,"
                  "fate_ms,chat_copies,accepted,bad_lines,leave_notices,table_from,node,life,started_ms,sent,received,"
                  "cpu_ms",
                  A + ",alive," + B + "," + C + ",1,1,2,1,3,first,,,3,3,0,0,closing,1,1,1,,,",
                  B + ",crashed," + C + "," + A + ",0,,3,0,1,joined," + A + ",300,1,1,0,0,s-1,2,1,1,,,",
                  B + ",alive," + C + "," + A + ",0,0,2,0,2,joined," + C + ",,2,2,0,0,closing,2,2,500,,,",
                  C + ",alive," + A + "," + B + ",1,1,2,2,3,joined," + A + ",,3,3,0,0,closing,3,1,1,,,"}));
    // No load.csv in this folder: the load columns are empty and the page
    // says why there is no load.
    EXPECT_NE(test::readFile(report() / "report.html").value_or("").find("The nodes' load is not shown: the run folder has no load.csv"),
              std::string::npos);
    // Three nodes, four lives.
    nlohmann::json summary = nlohmann::json::parse(test::readFile(report() / "summary.json").value_or("{}"));
    EXPECT_EQ(summary["nodes"], 3);
    EXPECT_EQ(summary["lives"], 4);
}

TEST_F(TwoLives, EachLineCountsTheLivesAliveWhenItWasTyped) {
    ASSERT_EQ(outcome_->status, 0) << outcome_->err;
    // "one" reaches B's first life, "two" its second; "three" is the second
    // life's own line. Each finds its paths in the latest snapshot before it.
    EXPECT_EQ(lines(report() / "messages.csv"),
              (std::vector<std::string>{
                  "originator,sequence,alive,delivered,reliability,mean_hops,max_hops,copies,rmr,shortest_mean,"
                  "stretch,kind,phase,typed_ms,unreachable,snapshot,life,text",
                  A + ",1,3,3,1,0.6667,1,3,0,0.6667,1,typed,before,100,0,s-1,1,one",
                  A + ",2,3,3,1,1,2,3,0,0.6667,1.5,typed,after,700,0,s-2,1,two",
                  B + ",1,3,3,1,0.6667,1,3,0,0.6667,1,typed,after,950,0,s-3,2,three"}));
    EXPECT_EQ(lines(report() / "steps.csv"),
              (std::vector<std::string>{"step,lines,complete,reliability_mean,reliability_min,mean_hops,max_hops,rmr,stretch",
                                        "before,1,1,1,1,0.6667,1,0,1", "after,2,2,1,1,0.8333,2,0,1.25"}));
}

TEST_F(TwoLives, SnapshotsBecomeTheHealthTimeSeriesWithTheEventsMarked) {
    ASSERT_EQ(outcome_->status, 0) << outcome_->err;
    // At 400 ms B's first life is gone: A's next dangles and the ring is broken.
    EXPECT_EQ(lines(report() / "health.csv"),
              (std::vector<std::string>{
                  "snapshot,ms,live,ring_intact,ring_cycles,dangling_next,components,unreachable_pairs",
                  "s-1,50,3,1,1,0,1,0", "s-2,400,2,0,0,1,1,0", "s-3,900,3,1,1,0,1,0", "closing,1000,3,1,1,0,1,0"}));
    EXPECT_EQ(lines(report() / "events.csv"),
              (std::vector<std::string>{"ms,kind,what", "200,network,\"cut: partition x | y, loss 5 % between x | y\"", "300,crashed," + B,
                                        "500,restarted," + B, "600,network,\"heal: no loss, no partition\""}));
    // The picture names the network changes on its time axis.
    std::string svg = test::readFile(report() / "health.svg").value_or("");
    EXPECT_NE(svg.find("cut: partition x | y, loss 5 % between x | y"), std::string::npos) << outcome_->err;
    EXPECT_NE(svg.find("heal: no loss, no partition"), std::string::npos);
}

TEST_F(TwoLives, TheVerdictOpensThePage) {
    ASSERT_EQ(outcome_->status, 0) << outcome_->err;
    std::string page = test::readFile(report() / "report.html").value_or("");
    std::size_t verdict = page.find("Verdict: a check failed");
    ASSERT_NE(verdict, std::string::npos);
    EXPECT_LT(verdict, page.find("Parameters"));
    EXPECT_NE(page.find("<td>lines reach everyone</td><td>delivery</td><td>every line &gt;= 100.0 %</td>"
                        "<td>lowest 66.7 % over 3 lines</td><td style=\"color:#c0392b;font-weight:bold\">FAIL</td>"),
              std::string::npos);
    EXPECT_EQ(lines(report() / "verdict.csv"),
              (std::vector<std::string>{"check,kind,expected,measured,result",
                                        "ring at the end,ring,ring intact at end,intact,pass",
                                        "lines reach everyone,delivery,every line >= 100.0 %,lowest 66.7 % over 3 lines,FAIL"}));
    EXPECT_NE(page.find("<td>ring at the end</td><td>ring</td><td>ring intact at end</td><td>intact</td>"
                        "<td style=\"color:#2a7a2a\">pass</td>"),
              std::string::npos);
}

// The page of a scenario file's run shows its steps and leaves out the
// flags' figures that run.json keeps for every run; a run of flags keeps
// them, as does a folder written before run.json named its scenario.
TEST(ScenarioPage, AScenarioRunShowsItsStepsAndNotTheFlagsFigures) {
    test::TempDir dir;
    const nlohmann::json parameters = {{"nodes", 3}, {"lines", 7}, {"loss", 2.5}, {"crash", 4}, {"burst", 0}, {"hold_members", 0}, {"contact", ""}, {"port", 50000}, {"quiet_ms", 200}, {"first_address", "127.77.0.1"}};
    const nlohmann::json steps = nlohmann::json::parse(R"([
        {"name": "build", "do": "join", "group": "all", "start_ms": 10, "action_ms": 10, "end_ms": 250},
        {"name": "cut", "do": "partition", "waited": "quiet", "start_ms": 250, "action_ms": 1250, "end_ms": 1300}])");
    struct Case {
        const char* name;
        nlohmann::json scenario;  // null: no scenario record
        bool showsSteps;
    };
    for (const Case& c : {Case{"file", {{"source", "lab/scenarios/partition.toml"}}, true},
                          Case{"flags", {{"source", "flags"}}, false}, Case{"older", nullptr, false}}) {
        SCOPED_TRACE(c.name);
        const fs::path run = dir.path() / c.name;
        twoLives(run);
        nlohmann::json record = nlohmann::json::parse(test::readFile(run / "run.json").value_or("{}"));
        record["parameters"] = parameters;
        record["steps"] = steps;
        if (!c.scenario.is_null()) record["scenario"] = c.scenario;
        writeText(run / "run.json", record.dump());
        const Outcome o = runCommand(lab() + " analyze '" + run.string() + "' --out '" +
                                         (dir.path() / (std::string(c.name) + "-report")).string() + "'",
                                     dir.path());
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string page =
            test::readFile(dir.path() / (std::string(c.name) + "-report") / "report.html").value_or("");
        const std::size_t params = page.find("<h2>Parameters</h2>");
        ASSERT_NE(params, std::string::npos);
        const std::string table = page.substr(params, page.find("</table>", params) - params);
        // Size, addresses and timing hold for every run.
        for (const char* row : {"<td>nodes</td><td>3</td>", "<td>port</td><td>50000</td>", "<td>quiet_ms</td><td>200</td>",
                                "<td>first_address</td><td>127.77.0.1</td>"}) {
            EXPECT_NE(table.find(row), std::string::npos) << row;
        }
        for (const char* row : {"<td>lines</td><td>7</td>", "<td>loss</td><td>2.5</td>", "<td>crash</td><td>4</td>",
                                "<td>hold_members</td><td>0</td>", "<td>contact</td>"}) {
            // (an empty contact says nothing of a scenario run either)
            EXPECT_EQ(table.find(row) != std::string::npos, !c.showsSteps) << row;
        }
        const std::size_t scenario = page.find("<h2>Scenario</h2>");
        EXPECT_EQ(scenario != std::string::npos, c.showsSteps);
        if (c.showsSteps) {
            EXPECT_LT(scenario, params);
            EXPECT_NE(page.find("<code>lab/scenarios/partition.toml</code>"), std::string::npos);
            EXPECT_NE(page.find("<tr><td>build</td><td>join</td><td>all</td><td></td><td>0.01</td><td>0.01</td>"
                                "<td>0.25</td></tr>"),
                      std::string::npos);
            EXPECT_NE(page.find("<tr><td>cut</td><td>partition</td><td></td><td>quiet</td><td>0.25</td><td>1.25</td>"
                                "<td>1.3</td></tr>"),
                      std::string::npos);
        }
    }
}

}  // namespace
}  // namespace palaver::labtest
