// Whole runs of palaver-lab in its private network namespace, checked from
// the files they leave alone.
#include <set>

#include "run/nodes.h"
#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

std::string logName(const std::string& address) { return address + ".txt"; }
std::string reportName(const std::string& address) { return "status_" + address + ".csv"; }

std::vector<std::string> addresses(const json& record) {
    std::vector<std::string> out;
    for (const json& n : record["nodes"]) out.push_back(n["address"]);
    return out;
}

std::vector<std::string> phaseNames(const json& record) {
    std::vector<std::string> out;
    for (const json& p : record["phases"]) out.push_back(p["name"]);
    return out;
}

// Twelve nodes and three lines, no loss, no churn: one run shared by the
// checks below.
class TwelveNodes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        logs_ = new TempDir;
        folder_ = new fs::path(logs_->path() / "run");
        finished_ = new Finished(runLab({"run", Quiet, QuietMs, "--nodes", "12", "--lines", "3", "--seed", "7", "--out",
                                         folder_->string()},
                                        *logs_));
        record_ = new json(runRecord(*folder_));
    }
    static void TearDownTestSuite() {
        delete record_;
        delete finished_;
        delete folder_;
        delete logs_;
    }
    void SetUp() override {
        ASSERT_EQ(finished_->status, 0) << finished_->err;
        ASSERT_TRUE(record_->is_object());
    }
    static const json& record() { return *record_; }
    static const fs::path& folder() { return *folder_; }
    static const std::string& summary() { return finished_->out; }
    static std::map<std::string, Report> closingReports() {
        std::map<std::string, Report> reports;
        for (const std::string& a : addresses(record())) reports[a] = readReport(folder() / reportName(a));
        return reports;
    }

private:
    static TempDir* logs_;
    static fs::path* folder_;
    static Finished* finished_;
    static json* record_;
};
TempDir* TwelveNodes::logs_ = nullptr;
fs::path* TwelveNodes::folder_ = nullptr;
Finished* TwelveNodes::finished_ = nullptr;
json* TwelveNodes::record_ = nullptr;

TEST_F(TwelveNodes, EveryNodeLeavesItsLogAndClosingReportInPalaversFormats) {
    const std::vector<std::string> kinds{"MY IP@PORT", "NEXT IP@PORT", "Back IP@PORT",
                                         "Random[0] IP@PORT", "Random[1] IP@PORT", "Random[2] IP@PORT",
                                         "latestTtl", "Member cnt", "sum",
                                         "Hop AVG"};
    const std::vector<std::string> all = addresses(record());
    ASSERT_EQ(all.size(), 12u);
    EXPECT_EQ(all.front(), "127.77.0.1@50000");
    EXPECT_EQ(all.back(), "127.77.0.12@50000");
    for (const std::string& a : all) {
        const std::string log = readFile(folder() / logName(a)).value_or("");
        EXPECT_TRUE(log.ends_with("\nthread end")) << a;
        const Report r = readReport(folder() / reportName(a));
        ASSERT_GE(r.kinds.size(), kinds.size()) << a;
        EXPECT_EQ(std::vector<std::string>(r.kinds.begin(), r.kinds.begin() + 10), kinds) << a;
        EXPECT_EQ(r.fields.at("MY IP@PORT"), a);
        EXPECT_EQ(r.fields.at("Member cnt"), std::to_string(r.members.size())) << a;
        // The snapshot after the build has the same form.
        const Report built = readReport(folder() / "tables" / "built" / reportName(a));
        EXPECT_EQ(built.fields.at("MY IP@PORT"), a);
    }
    EXPECT_FALSE(fs::exists(folder() / "tables" / "churned"));
}

TEST_F(TwelveNodes, TheNodesFormOneRingAndEveryLineReachedEveryNode) {
    const auto reports = closingReports();
    const std::vector<std::string> ring = ringFrom(reports, "127.77.0.1@50000");
    EXPECT_EQ(ring.size(), 12u);
    EXPECT_EQ(std::set<std::string>(ring.begin(), ring.end()).size(), 12u);
    for (const auto& [address, r] : reports) {
        EXPECT_EQ(reports.at(r.fields.at("NEXT IP@PORT")).fields.at("Back IP@PORT"), address);
    }

    ASSERT_EQ(record()["lines"].size(), 3u);
    for (const json& line : record()["lines"]) {
        const std::string originator = line["originator"];
        const std::string text = line["text"];
        EXPECT_EQ(line["phase"], "lines");
        EXPECT_EQ(line["accepted_by"], 12);
        EXPECT_GE(line["last_accept_ms"].get<int64_t>(), line["typed_ms"].get<int64_t>());
        for (const auto& [address, r] : reports) {
            EXPECT_TRUE(r.members.count(originator)) << address << " lacks " << originator;
            const std::string log = readFile(folder() / logName(address)).value_or("");
            EXPECT_NE(log.find("`" + text + "`"), std::string::npos) << address << " never got " << text;
        }
    }
    // Every newcomer greeted the overlay it joined: each node lists every
    // node that joined after it (and itself, the first node excepted).
    const std::vector<std::string> order = addresses(record());
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (std::size_t j = std::max<std::size_t>(i, 1); j < order.size(); ++j) {
            EXPECT_TRUE(reports.at(order[i]).members.count(order[j])) << order[i] << " lacks " << order[j];
        }
    }
}

TEST_F(TwelveNodes, WithoutLossDropsCsvIsItsHeaderAloneAndAcceptsCsvMatchesTheLogs) {
    EXPECT_EQ(readFile(folder() / "drops.csv").value_or("<missing>"),
              "ms,rule,source,destination,type,ttl,originator,sequence\n");
    const json& d = record()["drops"];
    EXPECT_EQ(d["recorded"], true) << d.dump();
    EXPECT_EQ(d["logged"], 0) << d.dump();
    EXPECT_EQ(d["counted"], 0) << d.dump();
    EXPECT_EQ(d["difference"], 0) << d.dump();
    const auto stamped = acceptsCsv(folder());
    EXPECT_EQ(stamped, acceptedInLogs(folder(), addresses(record())));
    // Each typed line once at every node.
    for (const json& line : record()["lines"]) {
        std::size_t at = 0;
        for (const std::string& a : addresses(record())) at += stamped.count({a, line["originator"], line["sequence"]});
        EXPECT_EQ(at, 12u) << line.dump();
    }
}

TEST_F(TwelveNodes, RunJsonAgreesWithTheFiles) {
    const json& r = record();
    EXPECT_EQ(r["seed"], 7);
    EXPECT_EQ(r["command_line"][1], "run");
    EXPECT_EQ(r["parameters"]["nodes"], 12);
    EXPECT_EQ(r["parameters"]["network"], "namespace");
    EXPECT_EQ(phaseNames(r), (std::vector<std::string>{"start", "build", "snapshot_built", "lines", "stop"}));
    int64_t previousEnd = 0;
    for (const json& p : r["phases"]) {
        EXPECT_GE(p["start_ms"].get<int64_t>(), previousEnd);
        EXPECT_GE(p["end_ms"].get<int64_t>(), p["start_ms"].get<int64_t>());
        EXPECT_GT(p["peak_rss_kib"].get<int64_t>(), 0);
        ASSERT_TRUE(p.contains("load_average")) << p.dump();
        EXPECT_GE(p["load_average"].get<double>(), 0.0);
        previousEnd = p["end_ms"];
    }
    ASSERT_EQ(r["snapshots"].size(), 1u);
    EXPECT_EQ(r["snapshots"][0]["dir"], "tables/built");

    // Node i joined through a node that was in the overlay before it.
    ASSERT_FALSE(hostName().empty());
    std::set<std::string> before;
    for (const json& n : r["nodes"]) {
        const std::string address = n["address"];
        EXPECT_EQ(n["fate"], "alive");
        // One process holds every node: rank 0 on this machine.
        EXPECT_EQ(n["rank"], 0) << address;
        EXPECT_EQ(n["host"], hostName()) << address;
        if (before.empty()) {
            EXPECT_EQ(n["join"], "first");
            EXPECT_EQ(n["contact"], "");
        } else {
            EXPECT_EQ(n["join"], "joined") << address;
            EXPECT_TRUE(before.count(n["contact"])) << address << " joined through " << n["contact"];
            EXPECT_GE(n["join_end_ms"].get<int64_t>(), n["join_start_ms"].get<int64_t>());
        }
        before.insert(address);
    }
    // Each line's originator and sequence number are those of the chat
    // datagram with TTL 0 that the typist sent itself.
    auto ticks = [](std::string text, std::size_t n) {
        if (text.size() < n) text.append(n - text.size(), '`');
        return text;
    };
    for (const json& line : r["lines"]) {
        const std::string originator = line["originator"];
        const std::string own = "S00`" + ticks("0", 3) + "`" + ticks(originator, 21) + "`" +
                                ticks(std::to_string(line["sequence"].get<int>()), 9) + "`" +
                                line["text"].get<std::string>() + "`\n";
        EXPECT_NE(readFile(folder() / logName(originator)).value_or("").find(own), std::string::npos) << own;
    }
    EXPECT_NE(summary().find("joins: 11 joined, 0 failed"), std::string::npos) << summary();
}

// Without a rate, each line is typed only once the overlay has gone quiet
// after the line before it.
TEST_F(TwelveNodes, EachLineWaitsForTheQuietAfterThePrevious) {
    const json& lines = record()["lines"];
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        ASSERT_TRUE(lines[k]["quiet_ms"].is_number()) << lines[k];
        if (k > 0) {
            EXPECT_GE(lines[k]["typed_ms"].get<int64_t>(), lines[k - 1]["quiet_ms"].get<int64_t>()) << lines[k];
        }
    }
}

// Each node draws an identity of its own from the seed.
TEST_F(TwelveNodes, EveryNodeHasAnIdentityOfItsOwn) {
    std::set<int64_t> ids;
    for (const json& n : record()["nodes"]) ids.insert(n["id"].get<int64_t>());
    EXPECT_EQ(ids.size(), 12u);
}

}  // namespace
}  // namespace palaver::lab::test
