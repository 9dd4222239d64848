// A scenario run checked from its logs: all loss between two groups drops
// only the datagrams between them, and a crashed node restarted at its
// address begins a second life beside its first.
#include <set>

#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

// Eight nodes in two groups of four. While every datagram between the
// groups is lost, group a types three lines and node 8 (of b) one; then the
// loss ends, node 8 crashes, starts again and a types two more lines.
const char* GroupsScenario = R"(
seed = 7
[nodes]
count = 8
[timing]
quiet_ms = 500
[[group]]
name = "a"
first = 1
last = 4
[[group]]
name = "b"
rest = true
[[group]]
name = "victim"
first = 8
last = 8
[[step]]
do = "start"
[[step]]
do = "join"
[[step]]
name = "split"
do = "loss"
percent = 100
between = ["a", "b"]
[[step]]
name = "tables"
do = "snapshot"
when = "quiet"
within = 30
[[step]]
name = "from_a"
do = "lines"
group = "a"
count = 3
[[step]]
name = "from_victim"
do = "lines"
group = "victim"
count = 1
[[step]]
name = "mend"
do = "loss"
percent = 0
between = ["a", "b"]
[[step]]
name = "down"
do = "crash"
group = "victim"
count = 1
[[step]]
name = "again"
do = "restart"
group = "victim"
count = 1
[[step]]
name = "later"
do = "lines"
group = "a"
count = 2
when = "quiet"
within = 30
[[step]]
do = "wait"
when = "quiet"
within = 30
)";

std::set<std::string> members(const json& record, const char* group) {
    std::set<std::string> out;
    for (const json& a : record["groups"][group]) out.insert(a.get<std::string>());
    return out;
}

// The nodes of `group` that a flood from `from` reaches over the links the
// snapshot shows (next, back, random peers) without leaving the group.
std::set<std::string> reachableWithin(const fs::path& tables, const std::set<std::string>& group,
                                      const std::string& from) {
    std::set<std::string> seen{from};
    std::vector<std::string> queue{from};
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const Report r = readReport(tables / ("status_" + queue[head] + ".csv"));
        for (const auto& [field, value] : r.fields) {
            const bool link = field == "NEXT IP@PORT" || field == "Back IP@PORT" || field.starts_with("Random[");
            if (link && group.count(value) && seen.insert(value).second) queue.push_back(value);
        }
    }
    return seen;
}

class Groups : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        logs_ = new TempDir;
        const fs::path file = logs_->path() / "groups.toml";
        std::ofstream(file) << GroupsScenario;
        finished_ = new Finished(runLab({"run", file.string(), "--out", out().string()}, *logs_));
        record_ = new json(runRecord(out()));
    }
    static void TearDownTestSuite() {
        delete record_;
        delete finished_;
        delete logs_;
    }
    static fs::path out() { return logs_->path() / "run"; }
    static TempDir* logs_;
    static Finished* finished_;
    static json* record_;
};
TempDir* Groups::logs_ = nullptr;
Finished* Groups::finished_ = nullptr;
json* Groups::record_ = nullptr;

TEST_F(Groups, LossBetweenTwoGroupsDropsOnlyTheDatagramsBetweenThem) {
    ASSERT_EQ(finished_->status, 0) << finished_->out << finished_->err;
    const json& r = *record_;
    ASSERT_GE(r["network_changes"].size(), 2u);
    EXPECT_EQ(r["network_changes"][0]["loss"], 0.0);
    EXPECT_EQ(r["network_changes"][0]["loss_between"], json::parse(R"([{"groups": ["a", "b"], "loss": 100.0}])"));
    EXPECT_EQ(r["network_changes"][0]["confirmed"], true);

    const std::set<std::string> a = members(r, "a"), b = members(r, "b");
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 4u);
    std::map<std::string, std::string> firstLogs;  // every node's first life
    for (const json& n : r["nodes"]) {
        if (n["life"] == 1) firstLogs[n["address"]] = readFile(out() / n["log"].get<std::string>()).value_or("");
    }
    ASSERT_EQ(firstLogs.size(), 8u);
    std::size_t checked = 0;
    for (const json& line : r["lines"]) {
        if (line["phase"] != "from_a" && line["phase"] != "from_victim") continue;
        ++checked;
        const std::string text = line["text"], typist = line["originator"];
        const bool fromA = a.count(typist) > 0;
        std::set<std::string> holders;
        for (const auto& [address, log] : firstLogs) {
            if (log.find("`" + text + "`") != std::string::npos) holders.insert(address);
        }
        // Nothing crossed between the groups; inside the typist's group the
        // line reached every node its links lead to.
        for (const std::string& h : holders) EXPECT_EQ(a.count(h) > 0, fromA) << text << " reached " << h;
        for (const std::string& n : reachableWithin(out() / "tables/tables", fromA ? a : b, typist)) {
            EXPECT_TRUE(holders.count(n)) << text << " did not reach " << n << " of its own group";
        }
    }
    EXPECT_EQ(checked, 4u);
}

TEST_F(Groups, ARestartedNodeBeginsASecondLifeBesideItsFirst) {
    ASSERT_EQ(finished_->status, 0) << finished_->out << finished_->err;
    const json& r = *record_;
    const std::string victim = *members(r, "victim").begin();
    std::vector<json> lives;
    for (const json& n : r["nodes"]) {
        if (n["address"] == victim) lives.push_back(n);
    }
    ASSERT_EQ(lives.size(), 2u);
    EXPECT_EQ(lives[0]["life"], 1);
    EXPECT_EQ(lives[1]["life"], 2);
    EXPECT_EQ(lives[0]["fate"], "crashed");
    EXPECT_EQ(lives[1]["fate"], "alive");
    EXPECT_EQ(lives[1]["join"], "joined");
    EXPECT_NE(lives[0]["id"], lives[1]["id"]);  // a fresh identity
    EXPECT_EQ(lives[0]["log"], victim + ".txt");
    EXPECT_EQ(lives[1]["log"], "life2/" + victim + ".txt");

    // The first life's files stay as it left them: its own line in its log,
    // no "thread end", an empty closing report. The second life's log holds
    // only what came after the restart.
    std::string ownLine;
    for (const json& line : r["lines"]) {
        if (line["phase"] == "from_victim") ownLine = "`" + line["text"].get<std::string>() + "`";
    }
    ASSERT_FALSE(ownLine.empty());
    const std::string first = readFile(out() / (victim + ".txt")).value_or("");
    const std::string second = readFile(out() / "life2" / (victim + ".txt")).value_or("");
    EXPECT_NE(first.find(ownLine), std::string::npos);
    EXPECT_FALSE(first.ends_with("thread end"));
    EXPECT_EQ(readFile(out() / ("status_" + victim + ".csv")).value_or("?"), "");
    EXPECT_EQ(second.find(ownLine), std::string::npos);
    EXPECT_TRUE(second.ends_with("thread end"));
    EXPECT_EQ(readReport(out() / "life2" / ("status_" + victim + ".csv")).fields["MY IP@PORT"], victim);
}

}  // namespace
}  // namespace palaver::lab::test
