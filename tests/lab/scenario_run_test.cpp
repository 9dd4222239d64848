// Scenario runs checked from their files: the flags' scenario written out and
// run as a file, a partition and its heal, and a churn model.
#include <set>

#include "run/churn.h"
#include "run_support.h"
#include "run/scenario.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

// The steps as run.json records them, without their times.
json stepsWithoutTimes(const json& record) {
    json out = json::array();
    for (json s : record["steps"]) {
        for (const char* key : {"start_ms", "action_ms", "end_ms"}) s.erase(key);
        out.push_back(s);
    }
    return out;
}

json choices(const json& record) {
    json c = json::array();
    for (const json& n : record["nodes"]) c.push_back({n["address"], n["contact"], n["fate"], n["id"], n["join"]});
    for (const json& l : record["lines"]) c.push_back({l["originator"], l["sequence"], l["phase"]});
    return c;
}

TEST(PrintScenario, TheFlagsScenarioRunAsAFileGivesTheSameRun) {
    TempDir logs;
    const std::vector<std::string> flags = {"--nodes", "7", "--lines", "2", "--crash", "1", "--leave", "1",
                                            "--burst", "2", "--seed", "5", Quiet, QuietMs};
    std::vector<std::string> print = {"run", "--print-scenario"};
    print.insert(print.end(), flags.begin(), flags.end());
    Finished printed = runLab(print, logs, "print");
    ASSERT_EQ(printed.status, 0) << printed.err;
    const fs::path file = logs / "flags.toml";
    std::ofstream(file) << printed.out;

    std::vector<std::string> byFlags = {"run", "--out", (logs / "a").string()};
    byFlags.insert(byFlags.end(), flags.begin(), flags.end());
    Finished a = runLab(byFlags, logs, "a");
    Finished b = runLab({"run", file.string(), "--out", (logs / "b").string()}, logs, "b");
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    const json ra = runRecord(logs / "a");
    const json rb = runRecord(logs / "b");
    ASSERT_EQ(ra["steps"].size(), 8u);
    EXPECT_EQ(stepsWithoutTimes(ra), stepsWithoutTimes(rb));
    EXPECT_EQ(choices(ra), choices(rb));
}

// Twelve nodes in two halves; lines before the cut, during it and after
// the heal. The expectation that every line during the cut reaches every
// node fails, and so does the run.
const char* PartitionScenario = R"(
seed = 4
[nodes]
count = 12
[timing]
quiet_ms = 500
[[group]]
name = "west"
first = 1
last = 6
[[group]]
name = "east"
rest = true
[[step]]
do = "start"
[[step]]
do = "join"
[[step]]
name = "before"
do = "lines"
count = 2
when = "quiet"
within = 30
[[step]]
name = "cut"
do = "partition"
groups = ["west", "east"]
[[step]]
name = "during"
do = "lines"
count = 4
[[step]]
name = "heal"
do = "heal"
[[step]]
name = "after"
do = "lines"
count = 2
[[expect]]
name = "before reaches all"
check = "delivery"
steps = ["before"]
at_least = 100
[[expect]]
name = "during reaches all"
check = "delivery"
steps = ["during"]
at_least = 100
[[expect]]
name = "during stays on its side"
check = "delivery"
steps = ["during"]
at_most = 50
)";

TEST(Partition, LinesDuringTheCutStayOnTheirSideAndTheFailedCheckFailsTheRun) {
    TempDir logs;
    const fs::path file = logs / "partition.toml";
    std::ofstream(file) << PartitionScenario;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", file.string(), "--out", out.string()}, logs);
    EXPECT_EQ(f.status, 1) << f.out << f.err;
    const json r = runRecord(out);
    ASSERT_TRUE(r.is_object()) << f.err;

    // The verdict: the table printed and recorded, the failing check failed.
    const json& checks = r["verdict"]["checks"];
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(r["verdict"]["passed"], false);
    EXPECT_EQ(checks[0]["pass"], true) << checks[0];
    EXPECT_EQ(checks[1]["pass"], false) << checks[1];
    EXPECT_EQ(checks[2]["pass"], true) << checks[2];
    EXPECT_NE(f.out.find("during reaches all"), std::string::npos) << f.out;
    EXPECT_NE(f.out.find("FAIL"), std::string::npos) << f.out;

    // Both changes confirmed and recorded with their times, inside their steps.
    ASSERT_EQ(r["network_changes"].size(), 2u);
    EXPECT_EQ(r["network_changes"][0]["partitions"], json::parse(R"([["west", "east"]])"));
    EXPECT_EQ(r["network_changes"][1]["partitions"], json::array());
    for (const json& s : r["steps"]) {
        if (s["name"] != "cut" && s["name"] != "heal") continue;
        const int64_t at = s["network"]["ms"];
        EXPECT_GE(at, s["action_ms"].get<int64_t>());
        EXPECT_LE(at, s["end_ms"].get<int64_t>());
    }

    std::set<std::string> west;
    for (const json& a : r["groups"]["west"]) west.insert(a);
    ASSERT_EQ(west.size(), 6u);
    std::map<std::string, std::string> logsOf;
    for (const json& n : r["nodes"]) logsOf[n["address"]] = readFile(out / n["log"].get<std::string>()).value_or("");
    ASSERT_EQ(logsOf.size(), 12u);
    std::size_t duringLines = 0;
    for (const json& line : r["lines"]) {
        const std::string text = line["text"];
        const bool fromWest = west.count(line["originator"].get<std::string>()) > 0;
        std::size_t holders = 0;
        for (const auto& [address, log] : logsOf) {
            const bool has = log.find("`" + text + "`") != std::string::npos;
            holders += has;
            // No copy of a line typed during the cut crossed it.
            if (line["phase"] == "during" && has) {
                EXPECT_EQ(west.count(address) > 0, fromWest) << text << " reached " << address;
            }
        }
        if (line["phase"] == "during") {
            ++duringLines;
            EXPECT_LE(line["accepted_by"].get<int>(), 6) << text;
        }
        // Before the cut and after the heal every node took the line in.
        if (line["phase"] != "during") {
            EXPECT_EQ(holders, 12u) << text;
        }
    }
    EXPECT_EQ(duringLines, 4u);
}

const char* ChurnScenario = R"(
seed = 9
[nodes]
count = 8
[timing]
quiet_ms = 300
[[group]]
name = "stable"
first = 1
last = 3
[[group]]
name = "churning"
rest = true
[[step]]
do = "start"
[[step]]
do = "join"
[[step]]
name = "churn"
do = "churn"
group = "churning"
model = "weibull"
mean = 1.0
shape = 0.7
crash_share = 50
rejoin = true
pause = 0.5
duration = 3
[[step]]
do = "wait"
after = 3.5
[[step]]
do = "wait"
when = "quiet"
within = 30
)";

TEST(ChurnModel, TheRunPlaysTheScheduleDrawnFromTheSeed) {
    TempDir logs;
    const fs::path file = logs / "churn.toml";
    std::ofstream(file) << ChurnScenario;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", file.string(), "--out", out.string()}, logs);
    ASSERT_EQ(f.status, 0) << f.out << f.err;
    const json r = runRecord(out);

    // The schedule in run.json is the one the seed draws; another seed
    // draws another.
    const Scenario s = parseScenario(ChurnScenario, "churn.toml");
    const StepSpec& step = s.steps[2];
    const auto drawn = drawChurnSchedule(step.churn, s.group("churning")->members, s.seed, 2);
    ASSERT_EQ(r["churn"].size(), 1u);
    const json& sessions = r["churn"][0]["sessions"];
    ASSERT_EQ(sessions.size(), drawn.size());
    std::size_t ends = 0;
    std::size_t rejoins = 0;
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        EXPECT_EQ(sessions[k]["node"], "127.77.0." + std::to_string(drawn[k].node + 1) + "@50000");
        EXPECT_EQ(sessions[k]["start_ms"], drawn[k].startMs);
        EXPECT_EQ(sessions[k]["length_ms"], drawn[k].lengthMs);
        EXPECT_EQ(sessions[k]["end"], drawn[k].end.empty() ? json(nullptr) : json(drawn[k].end));
        ends += !drawn[k].end.empty();
        rejoins += drawn[k].rejoinMs.has_value();
    }
    ASSERT_GT(ends, 0u) << "the seed draws no session end: choose another";
    ASSERT_GT(rejoins, 0u) << "the seed draws no rejoin: choose another";
    EXPECT_NE(drawChurnSchedule(step.churn, s.group("churning")->members, s.seed + 1, 2).front().lengthMs,
              drawn.front().lengthMs);

    // Every drawn event ran, in order, and each node's lives are what they
    // made of it: one life more per rejoin, each life ended as drawn.
    const json& events = r["churn"][0]["events"];
    ASSERT_EQ(events.size(), ends + rejoins);
    std::map<std::string, std::vector<std::string>> happened;
    for (const json& e : events) {
        EXPECT_GE(e["ms"].get<int64_t>(), e["due_ms"].get<int64_t>());
        EXPECT_NE(e["done"], "skipped") << e;
        happened[e["node"]].push_back(e["done"]);
    }
    std::map<std::string, std::vector<json>> lives;
    for (const json& n : r["nodes"]) lives[n["address"]].push_back(n);
    for (const auto& [address, done] : happened) {
        const auto& mine = lives[address];
        std::size_t life = 0;
        for (const std::string& d : done) {
            if (d == "rejoined") {
                ++life;
                ASSERT_LT(life, mine.size()) << address;
                EXPECT_EQ(mine[life]["life"], life + 1);
                continue;
            }
            EXPECT_EQ(mine[life]["fate"], d) << address << " life " << life + 1;
        }
        EXPECT_EQ(mine.size(), life + 1) << address;
    }
    // A second life's files lie beside the first's: both logs are there,
    // and a first life that crashed keeps its log without "thread end".
    std::size_t secondLives = 0;
    for (const auto& [address, mine] : lives) {
        for (const json& n : mine) {
            const auto log = readFile(out / n["log"].get<std::string>());
            ASSERT_TRUE(log) << n["log"];
            EXPECT_EQ(log->ends_with("thread end"), n["fate"] != "crashed") << n["log"];
        }
        secondLives += mine.size() > 1;
    }
    EXPECT_GT(secondLives, 0u);
}

}  // namespace
}  // namespace palaver::lab::test
