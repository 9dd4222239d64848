// Two lab processes on the host's loopback, on different address ranges,
// form one overlay: the second joins the first through --contact.
#include <set>

#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

std::map<std::string, Report> closingReports(const fs::path& dir, const json& record) {
    std::map<std::string, Report> reports;
    for (const json& n : record["nodes"]) {
        const std::string a = n["address"];
        reports[a] = readReport(dir / ("status_" + a + ".csv"));
    }
    return reports;
}

TEST(TwoLabs, TheSecondJoinsTheFirstsOverlay) {
    TempDir logs;
    const std::string block = loopbackBlock();
    const fs::path outA = logs / "a";
    const fs::path outB = logs / "b";
    // The first holds after its build until the second's three greetings
    // have reached it: its last newcomer lists itself and those three. Then
    // it types its lines; the second holds until the first of them has
    // reached its own last newcomer (itself and that typist).
    LabProcess a({"run", Quiet, QuietMs, "--host-network", "--nodes", "3", "--lines", "2", "--first-address", block + ".0.1",
                  "--hold-members", "4", "--hold-timeout", "30000", "--out", outA.string()},
                 logs.path(), "a");
    ASSERT_TRUE(palaver::test::waitUntil([&] { return a.out().find("holding") != std::string::npos; },
                                         std::chrono::milliseconds(30000)))
        << a.err();
    Finished b = runLab({"run", Quiet, QuietMs, "--contact", block + ".0.1:50000", "--nodes", "3", "--lines", "2", "--first-address",
                         block + ".1.1", "--hold-members", "2", "--hold-timeout", "30000", "--out", outB.string()},
                        logs, "b");
    ASSERT_EQ(a.wait(), 0) << a.err();
    ASSERT_EQ(b.status, 0) << b.err;

    const json ra = runRecord(outA);
    const json rb = runRecord(outB);
    EXPECT_EQ(ra["parameters"]["network"], "host");
    EXPECT_EQ(rb["parameters"]["network"], "host");
    EXPECT_EQ(rb["parameters"]["contact"], block + ".0.1@50000");
    EXPECT_EQ(rb["nodes"][0]["contact"], block + ".0.1@50000");
    for (const json& n : rb["nodes"]) EXPECT_EQ(n["join"], "joined") << n["address"];
    EXPECT_EQ(ra["hold"]["reached"], true);
    EXPECT_EQ(rb["hold"]["reached"], true);

    // One ring through all six nodes, read from both folders' closing reports.
    auto reports = closingReports(outA, ra);
    reports.merge(closingReports(outB, rb));
    ASSERT_EQ(reports.size(), 6u);
    const auto ring = ringFrom(reports, block + ".0.1@50000");
    EXPECT_EQ(std::set<std::string>(ring.begin(), ring.end()).size(), 6u);
    EXPECT_EQ(ring.size(), 6u);

    // The second's greetings reached every node of the first, and the
    // first's first line every node of the second.
    for (const json& n : ra["nodes"]) {
        for (const json& m : rb["nodes"]) EXPECT_TRUE(reports.at(n["address"]).members.count(m["address"]));
    }
    const std::string typist = ra["lines"][0]["originator"];
    for (const json& m : rb["nodes"]) EXPECT_TRUE(reports.at(m["address"]).members.count(typist)) << m["address"];
}

}  // namespace
}  // namespace palaver::lab::test
