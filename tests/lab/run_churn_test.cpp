// Runs with loss, leaves and crashes, and the seed's hold on the lab's choices.
#include <set>

#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

std::string logOf(const fs::path& dir, const std::string& address) {
    return readFile(dir / (address + ".txt")).value_or("<missing>");
}
std::string reportOf(const fs::path& dir, const std::string& address) {
    return readFile(dir / ("status_" + address + ".csv")).value_or("<missing>");
}

// What the seed decides: who joins through whom, who types, who leaves or
// crashes, and the nodes' identities.
json choices(const json& record) {
    json c = json::array();
    for (const json& n : record["nodes"]) c.push_back({n["contact"], n["fate"], n["id"]});
    for (const json& l : record["lines"]) c.push_back({l["originator"], l["sequence"]});
    return c;
}

TEST(Seed, TheSameSeedMakesTheSameChoices) {
    TempDir logs;
    auto run = [&](const std::string& seed, const std::string& name) {
        const fs::path out = logs / name;
        Finished f = runLab({"run", Quiet, QuietMs, "--nodes", "8", "--lines", "3", "--crash", "2", "--seed", seed, "--out",
                             out.string()},
                            logs, name);
        EXPECT_EQ(f.status, 0) << f.err;
        return choices(runRecord(out));
    };
    const json first = run("11", "a");
    ASSERT_EQ(first.size(), 8u + 6u);
    EXPECT_EQ(run("11", "b"), first);
    EXPECT_NE(run("12", "c"), first);
}

TEST(Burst, TheLastNewcomersPressJoinThroughOneContactAtOnce) {
    TempDir logs;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", Quiet, QuietMs, "--nodes", "7", "--lines", "1", "--burst", "3", "--out", out.string()}, logs);
    ASSERT_EQ(f.status, 0) << f.err;
    const json nodes = runRecord(out)["nodes"];
    ASSERT_EQ(nodes.size(), 7u);
    int64_t lastPress = 0;
    for (int i = 4; i < 7; ++i) {
        EXPECT_EQ(nodes[i]["contact"], nodes[4]["contact"]);
        lastPress = std::max(lastPress, nodes[i]["join_start_ms"].get<int64_t>());
    }
    // Every press came before any of the three had finished or given up,
    // and after the sequential joins had finished.
    for (int i = 4; i < 7; ++i) {
        const json& end = nodes[i]["join"] == "joined" ? nodes[i]["join_end_ms"] : nodes[i]["join_given_up_ms"];
        EXPECT_GE(end.get<int64_t>(), lastPress);
    }
    for (int i = 1; i < 4; ++i) EXPECT_LE(nodes[i]["join_end_ms"].get<int64_t>(), lastPress);
    // The contact is one of the four nodes that were in the overlay.
    std::set<std::string> before;
    for (int i = 0; i < 4; ++i) before.insert(nodes[i]["address"]);
    EXPECT_TRUE(before.count(nodes[4]["contact"])) << nodes[4]["contact"];
}

TEST(Loss, NoJoinCompletesWhenEveryDatagramBetweenNodesIsLost) {
    TempDir logs;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", "--nodes", "4", "--lines", "2", "--loss", "100", "--out", out.string()}, logs);
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.out.find("no join completed"), std::string::npos) << f.out;
    const json r = runRecord(out);
    EXPECT_EQ(r["parameters"]["loss"], 100.0);
    EXPECT_EQ(r["parameters"]["network"], "namespace");
    for (const json& n : r["nodes"]) {
        if (n["join"] == "first") continue;
        EXPECT_EQ(n["join"], "failed");
        EXPECT_EQ(n["join_end_ms"], nullptr);
        EXPECT_EQ(n["join_state"], 0);
    }
    // A node's datagrams to itself are never dropped: each typist holds its
    // own line, nobody else does, and every node stopped (its stop datagram
    // too goes to itself) and wrote its closing report.
    for (const json& line : r["lines"]) EXPECT_EQ(line["accepted_by"], 1);
    const std::string first = r["nodes"][0]["address"];
    const std::string firstLog = logOf(out, first);
    EXPECT_FALSE(firstLog.starts_with("N") || firstLog.find("\nN") != std::string::npos) << firstLog;
    for (const json& n : r["nodes"]) {
        EXPECT_TRUE(logOf(out, n["address"]).ends_with("thread end"));
        EXPECT_TRUE(reportOf(out, n["address"]).starts_with("MY IP@PORT," + n["address"].get<std::string>()));
    }
}

// load.csv against the run's own record and files: one row per live life at
// each snapshot, one end row per life; counts that never fall along a life;
// every life took in at least the chat lines its log shows it accepted; no
// more datagrams taken in than sent (loopback, no loss); and a life that
// crashed or left keeps in its end row what it had before it ended.
void checkLoad(const fs::path& out, const json& r) {
    const auto rows = csvRows(out / "load.csv");
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], (std::vector<std::string>{"snapshot", "node", "life", "address", "sent", "received", "cpu_ms"}));
    std::map<std::string, std::size_t> perSnapshot;
    std::map<std::pair<std::string, std::string>, std::vector<std::vector<std::string>>> byLife;  // address, life
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 7u) << i;
        ++perSnapshot[rows[i][0]];
        byLife[{rows[i][3], rows[i][2]}].push_back(rows[i]);
    }
    EXPECT_EQ(r["load"]["rows"], rows.size() - 1);
    for (const json& snap : r["snapshots"]) {
        const std::string name = snap["name"];
        EXPECT_EQ(perSnapshot[name], snap["health"]["live"].get<std::size_t>()) << name;
        EXPECT_EQ(perSnapshot[name],
                  static_cast<std::size_t>(std::distance(fs::directory_iterator(out / snap["dir"].get<std::string>()),
                                                         fs::directory_iterator())))
            << name;
    }
    EXPECT_EQ(perSnapshot["end"], r["nodes"].size());
    EXPECT_EQ(perSnapshot.size(), r["snapshots"].size() + 1);

    std::vector<std::string> all;
    for (const json& n : r["nodes"]) all.push_back(n["address"]);
    const std::multiset<Acceptance> accepted = acceptedInLogs(out, all);
    uint64_t sent = 0, received = 0;
    for (const json& n : r["nodes"]) {
        const std::string address = n["address"];
        const auto& life = byLife[{address, std::to_string(n["life"].get<int>())}];
        ASSERT_FALSE(life.empty()) << address;
        const auto& end = life.back();
        EXPECT_EQ(end[0], "end") << address;
        EXPECT_EQ(end[1], std::to_string(n["node"].get<int>())) << address;
        for (std::size_t k = 1; k < life.size(); ++k) {
            for (std::size_t c : {4u, 5u, 6u}) {
                ASSERT_FALSE(life[k][c].empty()) << address << " " << life[k][0] << " column " << c;
                EXPECT_GE(std::stoull(life[k][c]), std::stoull(life[k - 1][c])) << address << " " << life[k][0];
            }
        }
        std::size_t lines = 0;
        for (const Acceptance& a : accepted) lines += std::get<0>(a) == address;
        EXPECT_GE(std::stoull(end[5]), lines) << address;
        if (n["fate"] != "alive") {
            // It lived through the first snapshot, so it has a row there to
            // keep, and none after it ended.
            EXPECT_GE(life.size(), 2u) << address;
            EXPECT_GT(std::stoull(end[5]), 0u) << address;
        }
        sent += std::stoull(end[4]);
        received += std::stoull(end[5]);
    }
    EXPECT_GT(received, 0u);
    EXPECT_LE(received, sent);
}

TEST(Churn, LeavesTellTheirNeighboursAndCrashesEndSilently) {
    TempDir logs;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", Quiet, QuietMs, "--nodes", "8", "--lines", "2", "--leave", "1", "--crash", "2", "--seed", "3",
                         "--out", out.string()},
                        logs);
    ASSERT_EQ(f.status, 0) << f.err;
    const json r = runRecord(out);
    std::vector<std::string> phases;
    for (const json& p : r["phases"]) phases.push_back(p["name"]);
    EXPECT_EQ(phases, (std::vector<std::string>{"start", "build", "snapshot_built", "lines", "churn",
                                                "snapshot_churned", "lines_churned", "stop"}));

    std::vector<std::string> left, crashed, alive;
    for (const json& n : r["nodes"]) {
        (n["fate"] == "left" ? left : n["fate"] == "crashed" ? crashed
                                                             : alive)
            .push_back(n["address"]);
        EXPECT_EQ(n["fate_ms"].is_number(), n["fate"] != "alive");
    }
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(crashed.size(), 2u);

    // The node that left stopped the ordinary way after its two notices;
    // its ring neighbours (from its closing report) got them.
    const Report leaver = parseReport(reportOf(out, left[0]));
    EXPECT_NE(logOf(out, leaver.fields.at("NEXT IP@PORT")).find("\nD00`"), std::string::npos);
    EXPECT_NE(logOf(out, leaver.fields.at("Back IP@PORT")).find("\nd00`"), std::string::npos);
    EXPECT_TRUE(logOf(out, left[0]).ends_with("thread end"));

    // A crashed node: no closing report, no last log line, nothing taken in
    // after the crash, no place in the snapshot after the churn.
    std::vector<std::string> churnedTexts;
    for (const json& line : r["lines"]) {
        if (line["phase"] == "lines_churned") churnedTexts.push_back(line["text"]);
    }
    ASSERT_EQ(churnedTexts.size(), 2u);
    for (const std::string& a : crashed) {
        EXPECT_EQ(reportOf(out, a), "") << a;
        EXPECT_FALSE(logOf(out, a).ends_with("thread end")) << a;
        for (const std::string& text : churnedTexts) EXPECT_EQ(logOf(out, a).find(text), std::string::npos);
        EXPECT_FALSE(fs::exists(out / "tables" / "churned" / ("status_" + a + ".csv")));
        EXPECT_TRUE(fs::exists(out / "tables" / "built" / ("status_" + a + ".csv")));
    }
    // Lines after the churn are typed at live nodes and counted over them.
    for (const json& line : r["lines"]) {
        if (line["phase"] != "lines_churned") continue;
        EXPECT_TRUE(std::count(alive.begin(), alive.end(), line["originator"].get<std::string>()));
        EXPECT_EQ(line["live_nodes"], 5);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(out / "tables" / "churned"), fs::directory_iterator()), 5);
    checkLoad(out, r);
}

}  // namespace
}  // namespace palaver::lab::test
