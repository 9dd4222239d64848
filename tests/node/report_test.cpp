// Status report lines, member statistics and the report file names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "node.h"
#include "test_support.h"

namespace palaver {
namespace {

// A node with a ring of one on 10.0.0.1:50000 whose sends go nowhere.
struct Report : ::testing::Test {
    test::TempDir dir;
    Node node;
    void SetUp() override {
        node.setFileDirectory(dir.str());
        node.setSendHook([](const std::string&, int32_t, std::string_view) {});
        node.setSelf(5, "10.0.0.1", 50000);
        node.makeRingOfOne(node.state().self);
    }
    void chat(const std::string& ip, int port, int ttl) {
        std::string d = composeChat(0, ip, port, 1, "x");
        rewriteHeader(d, chatForwardHeader(ttl));
        node.handleDatagram(d, test::loopbackAddress(1));
    }
};

TEST_F(Report, FreshNodeHasSelfEverywhereAndEmptyRandomLines) {
    EXPECT_EQ(node.statusReportText(),
              "MY IP@PORT,10.0.0.1@50000,\n"
              "NEXT IP@PORT,10.0.0.1@50000,\n"
              "Back IP@PORT,10.0.0.1@50000,\n"
              "Random[0] IP@PORT,@0,\n"
              "Random[1] IP@PORT,@0,\n"
              "Random[2] IP@PORT,@0,\n"
              "latestTtl,0,\n"
              "Member cnt,0,\n"
              "sum,0,\n"
              "Hop AVG,0,\n");
}

// Next, back and the three random peers all differ, so each line shows
// its own entry.
TEST_F(Report, EachEntryOnItsOwnLine) {
    node.handleDatagram(composeNotice('D', "10.0.0.3", 3), test::loopbackAddress(1));
    node.handleDatagram(composeNotice('d', "10.0.0.2", 2), test::loopbackAddress(1));
    for (int i = 4; i <= 6; ++i) node.addRandomPeer(124, "10.0.0." + std::to_string(i), i);
    EXPECT_EQ(node.statusReportText(),
              "MY IP@PORT,10.0.0.1@50000,\n"
              "NEXT IP@PORT,10.0.0.2@2,\n"
              "Back IP@PORT,10.0.0.3@3,\n"
              "Random[0] IP@PORT,10.0.0.4@4,\n"
              "Random[1] IP@PORT,10.0.0.5@5,\n"
              "Random[2] IP@PORT,10.0.0.6@6,\n"
              "latestTtl,0,\n"
              "Member cnt,0,\n"
              "sum,0,\n"
              "Hop AVG,0,\n");
}

TEST_F(Report, MemberStatisticsAndLinesInKeyOrder) {
    node.addRandomPeer(124, "10.0.0.7", 7);
    chat("10.0.0.2", 50000, 2);
    chat("10.0.0.10", 50000, 1);
    chat("10.0.0.3", 4000, 2);
    ASSERT_EQ(node.members().size(), 3u);
    EXPECT_EQ(node.statusReportText(),
              "MY IP@PORT,10.0.0.1@50000,\n"
              "NEXT IP@PORT,10.0.0.1@50000,\n"
              "Back IP@PORT,10.0.0.1@50000,\n"
              "Random[0] IP@PORT,10.0.0.7@7,\n"
              "Random[1] IP@PORT,@0,\n"
              "Random[2] IP@PORT,@0,\n"
              "latestTtl,2,\n"
              "Member cnt,3,\n"
              "sum,5,\n"
              "Hop AVG,1,\n"
              "Member,10.0.0.10@50000,1,\n"
              "Member,10.0.0.2@50000,2,\n"
              "Member,10.0.0.3@4000,2,\n");
}

TEST_F(Report, AverageTruncatesTowardZero) {
    chat("10.0.0.2", 1, -3);
    chat("10.0.0.3", 1, 1);
    std::string text = node.statusReportText();
    EXPECT_NE(text.find("sum,-2,\nHop AVG,-1,\n"), std::string::npos) << text;
}

TEST_F(Report, PortReportIsRewrittenWithTheCurrentState) {
    EXPECT_EQ(node.portReportPath(), (dir / "50000.csv").string());
    ASSERT_EQ(node.writePortReport(), 0);
    EXPECT_EQ(test::readFile(dir / "50000.csv"), node.statusReportText());
    chat("10.0.0.2", 50000, 1);
    ASSERT_EQ(node.writePortReport(), 0);
    auto second = test::readFile(dir / "50000.csv");
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, node.statusReportText());
    EXPECT_NE(second->find("Member,10.0.0.2@50000,1,\n"), std::string::npos);

    Node nowhere;
    nowhere.setFileDirectory((dir / "missing").string());
    EXPECT_EQ(nowhere.writePortReport(), 1);
}

TEST_F(Report, FileNamesCarryAddressAndPort) {
    EXPECT_EQ(node.datagramLogPath(), (dir / "10.0.0.1@50000.txt").string());
    EXPECT_EQ(node.closingReportPath(), (dir / "status_10.0.0.1@50000.csv").string());
    Node plain;
    plain.setSelf(1, "1.2.3.4", 7);
    EXPECT_EQ(plain.portReportPath(), "7.csv") << "no folder: the working directory";
}

}  // namespace
}  // namespace palaver
