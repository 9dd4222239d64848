// Node record: number reading, the generator and its scaling, the neighbour
// table operations and the start sequence.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "node.h"
#include "test_support.h"

namespace palaver {
namespace {

TEST(ReadNumber, IntegerPrefixRules) {
    EXPECT_EQ(readNumber("50000x"), 50000);
    EXPECT_EQ(readNumber("  \t-5"), -5);
    EXPECT_EQ(readNumber("+7`"), 7);
    EXPECT_EQ(readNumber("31``"), 31);
    EXPECT_EQ(readNumber("x12"), 0);
    EXPECT_EQ(readNumber(""), 0);
    EXPECT_EQ(readNumber("-"), 0);
    EXPECT_EQ(readNumber("--3"), 0);
    EXPECT_EQ(readNumber("- 3"), 0);
    EXPECT_EQ(readNumber("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(readNumber("-2147483648"), INT32_MIN);
    EXPECT_EQ(readNumber("-99999999999"), INT32_MIN);
}

TEST(PeerEntryField, CopiesAreBoundedAndStopAtZeroByte) {
    PeerEntry e;
    std::memset(e.name, 'Z', sizeof e.name);
    e.assign(1, "123456789012345678901234567890", 2);
    EXPECT_STREQ(e.ip, "1234567890123456789");
    EXPECT_EQ(e.name[0], 'Z') << "assign must leave the name alone";
    e.assign(1, std::string_view("1.2.3.4\0junk", 12), 2);
    EXPECT_STREQ(e.ip, "1.2.3.4");
}

TEST(Rand15, SeedOneSequenceAndRange) {
    Rand15 unseeded;
    EXPECT_EQ(unseeded.next(), 41) << "state starts at 1";
    Node node;
    node.seedRand15(1);
    EXPECT_EQ(node.rand15(), 41);
    EXPECT_EQ(node.rand15(), 18467);
    EXPECT_EQ(node.rand15(), 6334);
    // The receive thread's generator is separate and starts at 1 as well.
    EXPECT_EQ(node.receiveRandom().next(), 41);
    node.seedRand15(0xFFFFFFFFu);
    for (int i = 0; i < 10000; ++i) {
        int v = node.rand15();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

TEST(NodeId, ExactForEveryDraw) {
    EXPECT_EQ(nodeIdFromDraw(0), 0);
    EXPECT_EQ(nodeIdFromDraw(1), 61037);
    EXPECT_EQ(nodeIdFromDraw(32767), 2000000000);
    for (int r = 0; r <= 32767; ++r) {
        ASSERT_EQ(nodeIdFromDraw(r), static_cast<int64_t>(r) * 2000000000 / 32767) << "r=" << r;
    }
    Node a, b;
    a.seedRand15(1);
    b.seedRand15(1);
    EXPECT_EQ(a.drawNodeId(), b.drawNodeId());
    EXPECT_EQ(a.drawNodeId(), nodeIdFromDraw(18467));
}

TEST(ScaledIndex, NeighbourChoiceCountsOverEveryDraw) {
    const std::array<std::array<int, 6>, 4> expected = {{
        {16384, 16383, 1, 0, 0, 0},
        {10923, 10922, 10922, 1, 0, 0},
        {8192, 8192, 8192, 8191, 1, 0},
        {6554, 6553, 6554, 6553, 6553, 1},
    }};
    for (int randomCount = 0; randomCount <= 3; ++randomCount) {
        int k = randomCount + 2;
        std::array<int, 6> counts{};
        for (int r = 0; r <= 32767; ++r) {
            int i = scaledIndex(r, k);
            ASSERT_GE(i, 0);
            ASSERT_LE(i, k);
            ASSERT_EQ(i, static_cast<int64_t>(r) * k / 32767) << "r=" << r << " k=" << k;
            ++counts[static_cast<std::size_t>(i)];
        }
        EXPECT_EQ(counts, expected[static_cast<std::size_t>(randomCount)]) << "randomCount " << randomCount;
    }
}

TEST(NeighbourTable, RingOfOneRandomPeersAndReset) {
    Node node;
    auto& s = node.state();
    EXPECT_TRUE(s.self.empty());
    node.setSelf(7, "10.0.0.1", 4000);
    std::strcpy(s.self.name, "me");
    node.makeRingOfOne(s.self);
    for (const PeerEntry* e : {&s.table.next, &s.table.back, &s.table.critical}) {
        EXPECT_EQ(e->id, 7);
        EXPECT_STREQ(e->ip, "10.0.0.1");
        EXPECT_EQ(e->port, 4000);
        EXPECT_STREQ(e->name, "");
    }
    EXPECT_EQ(node.setSelf(9, "10.0.0.9", 9), 0);
    EXPECT_STREQ(s.self.name, "me") << "setSelf leaves the name";

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(node.addRandomPeer(124, "10.0.1." + std::to_string(i), 100 + i), 0);
        EXPECT_EQ(s.table.randomCount, i + 1);
        EXPECT_STREQ(s.table.random[i].ip, ("10.0.1." + std::to_string(i)).c_str());
        EXPECT_EQ(s.table.random[i].port, 100 + i);
        for (int j = i + 1; j < 3; ++j) EXPECT_TRUE(s.table.random[j].empty());
    }
    NeighbourTable before = s.table;
    EXPECT_EQ(node.addRandomPeer(5, "10.9.9.9", 9), 1);
    EXPECT_EQ(s.table.randomCount, 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s.table.random[i].id, before.random[i].id);
        EXPECT_STREQ(s.table.random[i].ip, before.random[i].ip);
        EXPECT_EQ(s.table.random[i].port, before.random[i].port);
    }

    s.table.latestTTL = 4;
    node.resetNode();
    EXPECT_TRUE(s.self.empty());
    EXPECT_TRUE(s.table.next.empty() && s.table.back.empty() && s.table.critical.empty());
    for (const PeerEntry& e : s.table.random) EXPECT_TRUE(e.empty());
    EXPECT_EQ(s.table.randomCount, 0);
    EXPECT_EQ(s.table.latestTTL, 0);
}

// A node initialised as the program does it, logging into a temp folder.
struct StartFixture : ::testing::Test {
    test::TempDir dir;
    Node node;
    void SetUp() override {
        node.setFileDirectory(dir.str());
        std::strcpy(node.NodeName, "unknown");
        node.initialise(1);
    }
};

TEST_F(StartFixture, StartFillsSelfAndRingOfOne) {
    int port = test::freeUdpPort();
    ASSERT_EQ(node.startNode(test::Loopback, port), 0);
    EXPECT_EQ(node.NodePhase.load(), 2);
    EXPECT_TRUE(test::waitUntil([&] { return node.ReceiverAlive.load(); }));
    EXPECT_EQ(node.boundPort(), port);
    auto guard = node.lock();
    const NodeState& s = node.state();
    EXPECT_EQ(s.self.id, nodeIdFromDraw(41)) << "identity is the first draw after seeding";
    EXPECT_STREQ(s.self.ip, test::Loopback);
    EXPECT_EQ(s.self.port, port);
    EXPECT_STREQ(s.self.name, "unknown");
    for (const PeerEntry* e : {&s.table.next, &s.table.back, &s.table.critical}) {
        EXPECT_EQ(e->id, s.self.id);
        EXPECT_STREQ(e->ip, test::Loopback);
        EXPECT_EQ(e->port, port);
        EXPECT_STREQ(e->name, "");
    }
    EXPECT_EQ(s.table.randomCount, 0);
    EXPECT_EQ(s.table.latestTTL, 0);
}

TEST_F(StartFixture, PortTextsThatDoNotStart) {
    for (const char* text : {"0", "-5", "x", ""}) {
        EXPECT_EQ(node.startNode(test::Loopback, readNumber(text)), 1) << '"' << text << '"';
        EXPECT_EQ(node.NodePhase.load(), 1);
        EXPECT_FALSE(node.ReceiverAlive.load());
    }
}

TEST_F(StartFixture, PortTextWithTrailingJunkStarts) {
    int port = test::freeUdpPort();
    std::string text = std::to_string(port) + "x";
    ASSERT_EQ(node.startNode(test::Loopback, readNumber(text)), 0);
    EXPECT_EQ(node.boundPort(), port);
    EXPECT_EQ(node.startNode(test::Loopback, port), 1) << "a started node does not start again";
}

TEST_F(StartFixture, PortAboveSixteenBitsBindsLowBitsAndKeepsFullNumber) {
    int low = test::freeUdpPort();
    int32_t port = low + 65536;
    ASSERT_EQ(node.startNode(test::Loopback, port), 0);
    EXPECT_EQ(node.boundPort(), low);
    {
        auto guard = node.lock();
        EXPECT_EQ(node.state().self.port, port);
    }
    EXPECT_NE(node.datagramLogPath().find("@" + std::to_string(port) + ".txt"), std::string::npos);
    // The node still receives its own stop at the low 16 bits.
    node.stopReceiving();
    EXPECT_FALSE(node.ReceiverAlive.load());
}

TEST_F(StartFixture, FailedBindLeavesNodeUnstartedAndRetryDrawsNewIdentity) {
    int port = test::freeUdpPort();
    EXPECT_EQ(node.startNode("127.0.0", port), 3);
    int32_t firstId = node.state().self.id;
    EXPECT_EQ(node.startNode("192.0.2.1", port), 3) << "an address that is not the host's";
    EXPECT_EQ(node.NodePhase.load(), 1);
    EXPECT_EQ(node.boundPort(), 0);
    EXPECT_NE(node.state().self.id, firstId);
    ASSERT_EQ(node.startNode(test::Loopback, port), 0);
    EXPECT_EQ(node.NodePhase.load(), 2);
}

}  // namespace
}  // namespace palaver
