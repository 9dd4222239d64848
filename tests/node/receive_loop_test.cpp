// Receive loop of a real node on 127.0.0.1: the datagram log, the stop
// datagram and who may send it, the closing report and the thread's end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "node.h"
#include "test_support.h"

namespace palaver {
namespace {

using namespace std::chrono_literals;

// Starts `node` on 127.0.0.1 and a free port; retries when another test
// takes the port between the probe and the bind.
int startOnFreePort(Node& node, const char* ip = test::Loopback) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        int port = test::freeUdpPort();
        if (node.startNode(ip, port) == 0) return port;
    }
    return 0;
}

struct ReceiveLoop : ::testing::Test {
    test::TempDir dir;
    Node node;
    int port = 0;

    void SetUp() override {
        node.setFileDirectory(dir.str());
        node.LogFlag = 1;
        std::strcpy(node.NodeName, "unknown");
        node.initialise(1);
        port = startOnFreePort(node);
        ASSERT_NE(port, 0);
        ASSERT_TRUE(test::waitUntil([&] { return node.ReceiverAlive.load(); }));
    }
    std::string log() const { return test::readFile(node.datagramLogPath()).value_or("<missing>"); }
    bool logHas(const std::string& part) const {
        return test::waitUntil([&] { return log().find(part) != std::string::npos; });
    }
    bool ended() const {
        return test::waitUntil([&] { return !node.ReceiverAlive.load(); });
    }
};

TEST_F(ReceiveLoop, LogsEveryDatagramAsOneLine) {
    EXPECT_EQ(node.datagramLogPath(), (dir / ("127.0.0.1@" + std::to_string(port) + ".txt")).string());
    test::UdpSocket peer;
    const std::string longest(MaxReceive, 'a');
    const std::string sends[] = {"hello", "", std::string(MaxReceive + 1, 'b'), longest,
                                 std::string("ab\0cd", 5), "S%s%n`%d", "Zmark"};
    for (const std::string& s : sends) ASSERT_TRUE(peer.sendTo(port, s));
    ASSERT_TRUE(logHas("Zmark\n"));
    EXPECT_EQ(log(), "hello\n\nerror\n" + longest + "\nab\nS%s%n`%d\nZmark\n");
    EXPECT_TRUE(node.ReceiverAlive.load());
    EXPECT_TRUE(node.KeepReceiving.load());
    EXPECT_EQ(test::readFile(node.closingReportPath()), std::string()) << "empty until the thread ends";
}

TEST_F(ReceiveLoop, OwnStopEndsThreadThenLogAndReportAreComplete) {
    test::UdpSocket peer;
    ASSERT_TRUE(peer.sendTo(port, "first"));
    ASSERT_TRUE(logHas("first\n"));
    ASSERT_EQ(node.sendStop(), 0);
    ASSERT_TRUE(peer.sendTo(port, "after the stop"));
    ASSERT_TRUE(ended());
    EXPECT_FALSE(node.KeepReceiving.load());
    EXPECT_EQ(log(), "first\n" + composeStop() + "\nthread end");
    EXPECT_EQ(test::readFile(node.closingReportPath()), node.statusReportText());
    EXPECT_NE(node.statusReportText().find("MY IP@PORT,127.0.0.1@" + std::to_string(port) + ",\n"),
              std::string::npos);
}

TEST_F(ReceiveLoop, ForeignStopIsLoggedAndIgnored) {
    test::UdpSocket stranger;
    ASSERT_TRUE(stranger.sendTo(port, composeStop()));
    // Same port as the node but another loopback address: still not the node.
    test::UdpSocket lookalike("127.0.0.2", port);
    ASSERT_TRUE(lookalike.sendTo(port, composeStop()));
    ASSERT_TRUE(stranger.sendTo(port, "still here"));
    ASSERT_TRUE(logHas("still here\n"));
    EXPECT_EQ(log(), composeStop() + "\n" + composeStop() + "\nstill here\n");
    EXPECT_TRUE(node.ReceiverAlive.load());
    EXPECT_TRUE(node.KeepReceiving.load());
    node.stopReceiving();
    EXPECT_FALSE(node.ReceiverAlive.load());
    EXPECT_TRUE(log().ends_with("\nthread end"));
}

TEST(ReceiveLoopStop, OwnSocketTestByAddressAndPort) {
    int port = test::freeUdpPort();
    Node node;
    ASSERT_EQ(node.openEndpoint(test::Loopback, port), 0);
    auto tryStop = [&](const char* ip, int from) {
        node.KeepReceiving = true;
        node.handleDatagram(composeStop(), test::loopbackAddress(from, ip));
        return !node.KeepReceiving.load();
    };
    EXPECT_FALSE(tryStop("127.0.0.2", port));
    EXPECT_FALSE(tryStop("127.0.0.1", port + 1));
    EXPECT_FALSE(tryStop("0.0.0.0", port));
    EXPECT_TRUE(tryStop("127.0.0.1", port));

    Node any;
    port = test::freeUdpPort();
    ASSERT_EQ(any.openEndpoint("0.0.0.0", port), 0);
    auto anyStop = [&](const char* ip, int from) {
        any.KeepReceiving = true;
        any.handleDatagram(composeStop(), test::loopbackAddress(from, ip));
        return !any.KeepReceiving.load();
    };
    EXPECT_TRUE(anyStop("127.0.0.1", port));
    EXPECT_TRUE(anyStop("127.9.8.7", port));
    EXPECT_FALSE(anyStop("10.0.0.1", port));
    EXPECT_FALSE(anyStop("127.0.0.1", port + 1));
}

TEST(ReceiveLoopStop, NodeOnAnyAddressStopsItself) {
    Node node;
    node.initialise(1);
    ASSERT_NE(startOnFreePort(node, "0.0.0.0"), 0);
    ASSERT_TRUE(test::waitUntil([&] { return node.ReceiverAlive.load(); }));
    ASSERT_EQ(node.sendStop(), 0);
    EXPECT_TRUE(test::waitUntil([&] { return !node.ReceiverAlive.load(); }));
}

TEST(ReceiveLoopStop, LogThatCannotOpenEndsTheThread) {
    test::TempDir dir;
    Node node;
    node.setFileDirectory((dir / "missing").string());
    node.LogFlag = 1;
    node.initialise(1);
    ASSERT_NE(startOnFreePort(node), 0);
    EXPECT_TRUE(test::waitUntil([&] { return !node.KeepReceiving.load() && !node.ReceiverAlive.load(); }));
}

// Runs `work` on a thread of its own; false when it has not finished in time
// (the thread is then left behind).
bool finishesWithin(std::function<void()> work, std::chrono::milliseconds timeout) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([work = std::move(work), done] {
        work();
        *done = true;
    }).detach();
    return test::waitUntil([&] { return done->load(); }, timeout);
}

TEST(ReceiveLoopStop, NodeDestroyedRightAfterStartDoesNotHang) {
    for (int i = 0; i < 50; ++i) {
        auto* node = new Node;
        node->initialise(1);
        ASSERT_NE(startOnFreePort(*node), 0);
        ASSERT_TRUE(finishesWithin([node] { delete node; }, 5000ms)) << "round " << i;
    }
}

TEST(ReceiveLoopStop, NodeWithSendHookStillStops) {
    auto* node = new Node;
    node->setSendHook([](const std::string&, int32_t, std::string_view) {});
    node->initialise(1);
    ASSERT_NE(startOnFreePort(*node), 0);
    ASSERT_TRUE(test::waitUntil([&] { return node->ReceiverAlive.load(); }));
    ASSERT_TRUE(finishesWithin([node] { delete node; }, 5000ms));
}

TEST(ReceiveLoopDispatch, AddressThatCannotBeSentToIsNotDispatched) {
    Node node;
    int sends = 0;
    node.setSendHook([&](const std::string&, int32_t, std::string_view) { ++sends; });
    node.setSelf(1, "10.0.0.1", 1);
    node.makeRingOfOne(node.state().self);
    const sockaddr_in from = test::loopbackAddress(9);
    for (const char* bad : {"X00`001```10.1.2.3@4000`", "X00`001`10.1.2.3`", "X00`001`name@4000`",
                            "S00`0```10.1.2.3x@4000`1`hi`"}) {
        node.handleDatagram(bad, from);
        EXPECT_STREQ(node.state().table.back.ip, "10.0.0.1") << bad;
        EXPECT_TRUE(node.members().empty()) << bad;
    }
    EXPECT_EQ(sends, 0);
    node.handleDatagram("X00`001`10.1.2.3@4000`", from);
    EXPECT_STREQ(node.state().table.back.ip, "10.1.2.3");
    EXPECT_EQ(sends, 1);
}

}  // namespace
}  // namespace palaver
