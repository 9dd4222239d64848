// What the lab needs from a node besides palaver's own use: a crash that
// leaves what a killed process leaves, the send and receive counts that tell
// when an overlay is quiet, and a status report into a named file.
#include <gtest/gtest.h>

#include <string>

#include "overlay_support.h"

namespace palaver::overlay {
namespace {

using test::readFile;
using test::TempDir;
using test::UdpSocket;

std::string fileText(const std::string& path) { return readFile(path).value_or("<missing>"); }

struct Crash : ::testing::Test {
    TempDir dir;
    std::unique_ptr<LiveNode> a = startLiveNode(dir.str());
    std::unique_ptr<LiveNode> b = startLiveNode(dir.str());
    void SetUp() override { ASSERT_TRUE(joinAndSettle(*b, *a, {a.get(), b.get()})); }
};

TEST_F(Crash, LeavesTheLogWithoutThreadEndAndAnEmptyClosingReport) {
    const std::string logBefore = fileText(b->node->datagramLogPath());
    ASSERT_NE(logBefore, "<missing>");
    b->node->crash();
    EXPECT_FALSE(b->node->ReceiverAlive.load());
    EXPECT_EQ(b->node->state().udpSocket, -1);
    EXPECT_EQ(fileText(b->node->datagramLogPath()), logBefore);
    EXPECT_EQ(fileText(b->node->closingReportPath()), "");

    // The node that stopped the ordinary way still ends its log and writes
    // its report.
    a->node->stopReceiving();
    const std::string aLog = fileText(a->node->datagramLogPath());
    EXPECT_TRUE(aLog.ends_with("thread end")) << aLog;
    EXPECT_NE(fileText(a->node->closingReportPath()).find("Member," + b->self()), std::string::npos);
}

TEST_F(Crash, NothingIsSentOrTakenInAfterwards) {
    b->node->crash();
    const uint64_t sent = b->node->SentCount.load();
    const uint64_t received = b->node->ReceivedCount.load();
    const std::string logAfterCrash = fileText(b->node->datagramLogPath());

    // Its own line and its leave notices go nowhere.
    b->node->sendOwnChat("after the crash");
    b->node->leaveRing();
    EXPECT_EQ(b->node->sendStop(), 3);
    EXPECT_EQ(b->node->SentCount.load(), sent);

    // A line from its neighbour, which still sends to it, is not taken in.
    const int32_t sequence = a->node->sendOwnChat("to the crashed node");
    ASSERT_TRUE(eventually([&] { return a->hasMember(a->self(), sequence); }));
    a->node->stopReceiving();
    EXPECT_EQ(b->node->ReceivedCount.load(), received);
    EXPECT_EQ(fileText(b->node->datagramLogPath()), logAfterCrash);
    EXPECT_EQ(b->now().members.count(a->self()), 0u);
    const std::string aLog = fileText(a->node->datagramLogPath());
    EXPECT_EQ(aLog.find("after the crash"), std::string::npos);
}

TEST(Activity, CountsFollowEveryDatagramInAndOut) {
    auto n = startLiveNode();
    UdpSocket peer;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(peer.sendTo(n->port, "?00`001`noise`", n->ip.c_str()));
    EXPECT_TRUE(eventually([&] { return n->node->ReceivedCount.load() == 3; }));
    EXPECT_EQ(n->node->SentCount.load(), 0u);

    // Its own line: one send to itself, then the flood to next and back (its
    // ring of one), each taken in again and dropped as a duplicate.
    const int32_t sequence = n->node->sendOwnChat("counted");
    EXPECT_EQ(sequence, 1);
    EXPECT_EQ(n->node->ChatSequence.load(), 2);
    EXPECT_TRUE(eventually([&] { return n->node->ReceivedCount.load() == 6; }));
    EXPECT_EQ(n->node->SentCount.load(), 3u);

    // Sends to a hook count the same way; sends refused before they leave do not.
    HookedNode hooked;
    hooked.feed(chatText(0, "10.0.0.5@7", 1, "x"));
    EXPECT_EQ(hooked.sent.size(), 2u);
    EXPECT_EQ(hooked.node.SentCount.load(), 2u);
    EXPECT_EQ(hooked.node.sendText("not an address", "x", 7), 3);
    EXPECT_EQ(hooked.node.SentCount.load(), 2u);
    EXPECT_EQ(hooked.node.ReceivedCount.load(), 0u);
}

TEST(StatusReportFile, HoldsTheReportTextAndFailsForAMissingFolder) {
    TempDir dir;
    HookedNode hooked;
    hooked.feed(chatText(2, "10.0.0.5@7", 1, "x"));
    const std::string path = (dir / "status_copy.csv").string();
    ASSERT_EQ(hooked.node.writeStatusReportFile(path), 0);
    EXPECT_EQ(fileText(path), hooked.node.statusReportText());
    EXPECT_NE(fileText(path).find("Member,10.0.0.5@7,2,"), std::string::npos);
    EXPECT_EQ(hooked.node.writeStatusReportFile((dir / "missing" / "x.csv").string()), 1);
}

}  // namespace
}  // namespace palaver::overlay
