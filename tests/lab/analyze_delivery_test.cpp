// Delivery times from accepts.csv: per line the time to reach half, 90 %
// and all of the nodes that accepted it, checked on hand-made stamps, and
// what the report says when there are none.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "analyze_support.h"

namespace palaver::labtest {
namespace {

std::string node(int i) { return "127.0.0.1@" + std::to_string(5000 + i); }

// Ten nodes. Line "one" of node 0 (typed at 1000) reaches all ten, at the
// given ms after typing; line "two" of node 1 (typed at 2000) reaches nodes
// 1 to 4 only.
const int OneAfter[10] = {3, 7, 12, 20, 31, 45, 60, 78, 99, 130};
const int TwoAfter[4] = {5, 9, 14, 40};

void writeNodes(const fs::path& dir) {
    for (int i = 0; i < 10; ++i) {
        std::vector<std::string> got = {chat(i == 0 ? 0 : 1 + i % 3, node(0), 1, "one")};
        if (i >= 1 && i <= 4) got.push_back(chat(i == 1 ? 0 : 1, node(1), 1, "two"));
        writeText(dir / (node(i) + ".txt"), log(got));
        writeText(dir / ("status_" + node(i) + ".csv"), report(node(i), node((i + 1) % 10), node((i + 9) % 10)));
    }
}

void writeRunJson(const fs::path& dir) {
    nlohmann::json nodes = nlohmann::json::array();
    for (int i = 0; i < 10; ++i) nodes.push_back({{"address", node(i)}, {"fate", "alive"}, {"join", "joined"}});
    nlohmann::json lines = {
        {{"originator", node(0)}, {"sequence", 1}, {"text", "one"}, {"phase", "lines"}, {"typed_ms", 1000}},
        {{"originator", node(1)}, {"sequence", 1}, {"text", "two"}, {"phase", "lines"}, {"typed_ms", 2000}}};
    writeText(dir / "run.json", nlohmann::json{{"seed", 1},
                                               {"parameters", {{"nodes", 10}}},
                                               {"nodes", nodes},
                                               {"lines", lines},
                                               {"phases", nlohmann::json::array()},
                                               {"snapshots", nlohmann::json::array()}}
                                    .dump());
}

// The stamps in a scrambled order, under a header whose columns are in
// another order than the lab writes them.
void writeAccepts(const fs::path& dir) {
    std::vector<std::string> rows;
    for (int i = 0; i < 10; ++i) {
        rows.push_back(std::to_string(1000 + OneAfter[i]) + "," + node(0) + "," + node(i) + ",1,1,0");
    }
    for (int k = 0; k < 4; ++k) {
        rows.push_back(std::to_string(2000 + TwoAfter[k]) + "," + node(1) + "," + node(1 + k) + ",1,1,0");
    }
    std::string text = "ms,originator,node,sequence,life,ttl\n";
    for (std::size_t k = 0; k < rows.size(); ++k) text += rows[(k * 5) % rows.size()] + "\n";  // 5 and 14 coprime
    writeText(dir / "accepts.csv", text);
}

Outcome analyze(const test::TempDir& dir, const std::string& folder, bool pictures = false) {
    return runCommand(lab() + " analyze '" + (dir / folder).string() + "' --out '" + (dir / (folder + "-report")).string() +
                          "'" + (pictures ? "" : " --no-pictures"),
                      dir.path());
}

std::map<std::string, Row> deliveryByText(const fs::path& report) {
    std::map<std::string, Row> out;
    std::vector<std::string> header;
    for (const Row& r : readCsv(report / "delivery.csv", &header)) {
        out[r.at("originator") == node(0) ? "one" : "two"] = r;
    }
    return out;
}

TEST(AnalyzeDelivery, EachLinesTimesToHalfNinetyAndAllOfItsNodes) {
    test::TempDir dir;
    writeNodes(dir / "run");
    writeRunJson(dir / "run");
    writeAccepts(dir / "run");
    Outcome o = analyze(dir, "run", true);
    ASSERT_EQ(o.status, 0) << o.err;
    const fs::path report = dir / "run-report";
    auto rows = deliveryByText(report);
    ASSERT_EQ(rows.size(), 2u);
    struct Want {
        const char* line;
        const char *accepted, *stamped, *reach50, *reach90, *reach100, *last;
    };
    // "one": the 5th, 9th and 10th of ten stamps; "two": the 2nd, 4th and
    // 4th of four (ceil(0.5 * 4), ceil(0.9 * 4)).
    const Want want[] = {{"one", "10", "10", "31", "99", "130", "1130"}, {"two", "4", "4", "9", "40", "40", "2040"}};
    for (const Want& w : want) {
        const Row& r = rows[w.line];
        EXPECT_EQ(r.at("accepted"), w.accepted) << w.line;
        EXPECT_EQ(r.at("stamped"), w.stamped) << w.line;
        EXPECT_EQ(r.at("reach50_ms"), w.reach50) << w.line;
        EXPECT_EQ(r.at("reach90_ms"), w.reach90) << w.line;
        EXPECT_EQ(r.at("reach100_ms"), w.reach100) << w.line;
        EXPECT_EQ(r.at("last_accept_ms"), w.last) << w.line;
        EXPECT_EQ(r.at("kind"), "typed") << w.line;
    }
    // Every stamped acceptance of a typed line with its hop count.
    auto hops = readCsv(report / "delivery_hops.csv");
    ASSERT_EQ(hops.size(), 14u);
    std::map<std::string, int> atHops;
    for (const Row& r : hops) {
        if (r.at("originator") == node(0) && r.at("ms") == "130") {
            EXPECT_EQ(r.at("hops"), "1");  // node 9: TTL 1 + 9 % 3
        }
        ++atHops[r.at("hops")];
    }
    EXPECT_EQ(atHops["0"], 2);  // the two typists' own copies
    const nlohmann::json summary = nlohmann::json::parse(test::readFile(report / "summary.json").value_or("{}"));
    EXPECT_EQ(summary["delivery"]["available"], true);
    EXPECT_EQ(summary["delivery"]["reach50_ms_median"], 20.0);  // of 31 and 9
    EXPECT_EQ(summary["delivery"]["reach90_ms_median"], 69.5);  // of 99 and 40
    for (const char* picture : {"reach.svg", "delivery_hops.svg"}) {
        EXPECT_TRUE(fs::exists(report / picture)) << picture << "\n"
                                                  << o.err;
    }
    const std::string page = test::readFile(report / "report.html").value_or("");
    EXPECT_EQ(page.find("Delivery times are not available"), std::string::npos);
}

TEST(AnalyzeDelivery, WithoutRunJsonTheTimesCountFromTheFirstAcceptance) {
    test::TempDir dir;
    writeNodes(dir / "files");
    writeAccepts(dir / "files");
    Outcome o = analyze(dir, "files");
    ASSERT_EQ(o.status, 0) << o.err;
    auto rows = deliveryByText(dir / "files-report");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows["one"].at("reach50_ms"), "28");  // 31 - 3
    EXPECT_EQ(rows["one"].at("reach100_ms"), "127");
    EXPECT_EQ(rows["two"].at("reach90_ms"), "35");  // 40 - 5
    EXPECT_EQ(rows["two"].at("typed_ms"), "");
}

TEST(AnalyzeDelivery, FoldersWithoutStampsStillAnalyseAndSaySo) {
    test::TempDir dir;
    writeNodes(dir / "files");  // node files alone
    writeNodes(dir / "old");    // a run folder from before the stamps
    writeRunJson(dir / "old");
    for (const char* folder : {"files", "old"}) {
        Outcome o = analyze(dir, folder);
        ASSERT_EQ(o.status, 0) << folder << ": " << o.err;
        const fs::path report = dir / (std::string(folder) + "-report");
        const std::string page = test::readFile(report / "report.html").value_or("");
        EXPECT_NE(page.find("Delivery times are not available"), std::string::npos) << folder;
        auto rows = deliveryByText(report);
        ASSERT_EQ(rows.size(), 2u) << folder;
        for (auto& [line, r] : rows) {
            EXPECT_EQ(r.at("stamped"), "0") << folder << " " << line;
            EXPECT_EQ(r.at("reach50_ms"), "") << folder << " " << line;
            EXPECT_NE(r.at("accepted"), "0") << folder << " " << line;
        }
        const nlohmann::json summary = nlohmann::json::parse(test::readFile(report / "summary.json").value_or("{}"));
        EXPECT_EQ(summary["delivery"]["available"], false) << folder;
        EXPECT_TRUE(summary["delivery"]["reach50_ms_median"].is_null()) << folder;
    }
}

TEST(AnalyzeDelivery, ABrokenAcceptsCsvIsAOneLineErrorWithItsPlace) {
    const struct {
        const char* what;
        std::string text;
        std::string place;
    } cases[] = {
        {"no ms column", "node,life,originator,sequence\n", "accepts.csv:1:"},
        {"a word for a time", "node,life,originator,sequence,ms\n" + node(0) + ",1," + node(0) + ",1,3\n" + node(1) + ",1," + node(0) + ",1,soon\n",
         "accepts.csv:3:"},
        {"a field too many", "node,life,originator,sequence,ms\n" + node(0) + ",1," + node(0) + ",1,3,4\n",
         "accepts.csv:2:"},
        {"no address", "node,life,originator,sequence,ms\nsomewhere,1," + node(0) + ",1,3\n", "accepts.csv:2:"},
        {"life 0", "node,life,originator,sequence,ms\n" + node(0) + ",0," + node(0) + ",1,3\n", "accepts.csv:2:"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        writeNodes(dir / "run");
        writeText(dir / "run" / "accepts.csv", c.text);
        Outcome o = analyze(dir, "run");
        EXPECT_EQ(o.status, 1) << c.what;
        EXPECT_NE(o.err.find(c.place), std::string::npos) << c.what << ": " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << c.what << ": " << o.err;
    }
}

}  // namespace
}  // namespace palaver::labtest
