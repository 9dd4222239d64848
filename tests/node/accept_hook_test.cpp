// The accept hook: told of exactly the chat lines the member-table rule
// accepts, after the table holds them, without the node lock and before the
// line is passed on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "node.h"
#include "test_support.h"

namespace palaver {
namespace {

struct Told {
    std::string originator;
    int32_t sequence;
    int32_t ttl;
    std::size_t sendsBefore;  // datagrams passed on when the hook ran
    int32_t tableSequence;    // what the member table held for it then
};

TEST(AcceptHook, ToldOfEachAcceptedLineOnceAfterTheTableAndBeforeTheForward) {
    Node node;
    node.initialise(1);
    {
        auto guard = node.lock();
        node.setSelf(5, "127.0.0.1", 7000);
        node.makeRingOfOne(node.state().self);
        node.addRandomPeer(9, "127.0.0.2", 7001);
    }
    std::size_t sends = 0;
    node.setSendHook([&](const std::string&, int32_t, std::string_view) { ++sends; });
    std::vector<Told> told;
    node.setAcceptHook([&](std::string_view originator, int32_t sequence, int32_t ttl) {
        // Takes the node lock: a hook called with it held would never return.
        auto guard = node.lock();
        auto it = node.members().find(std::string(originator));
        told.push_back({std::string(originator), sequence, ttl, sends,
                        it == node.members().end() ? -1 : it->second.lastSequence});
    });

    struct Case {
        std::string datagram;
        bool accepted;
        const char* what;
    };
    const std::string a = "127.0.0.3@7002";
    const std::string b = "127.0.0.4@7003";
    const Case cases[] = {
        {composeChat(0, "127.0.0.3", 7002, 4, "first"), true, "a new originator"},
        {composeChat(0, "127.0.0.3", 7002, 4, "first"), false, "the same line again"},
        {composeChat(0, "127.0.0.3", 7002, 3, "older"), false, "an older line"},
        {composeChat(1, "127.0.0.3", 7002, 9, "newer"), true, "a newer line"},
        {composeChat(0, "127.0.0.4", 7003, 1, "other"), true, "another originator"},
        {composeChat(0, "999.0.0.1", 7002, 20, "bad"), false, "an address that cannot be sent to"},
        {composeWalk("127.0.0.5", 7004), false, "a walk (passed on, not a line)"},
    };
    std::size_t expected = 0;
    for (const Case& c : cases) {
        const std::size_t before = told.size();
        node.handleDatagram(c.datagram, test::loopbackAddress(7010));
        EXPECT_EQ(told.size() - before, c.accepted ? 1u : 0u) << c.what;
        expected += c.accepted;
    }
    ASSERT_EQ(told.size(), expected);
    ASSERT_EQ(told.size(), 3u);
    const struct {
        std::string originator;
        int32_t sequence, ttl;
    } want[] = {{a, 4, 0}, {a, 9, 1}, {b, 1, 0}};
    // Each accepted line is passed on to next, back and the random peer:
    // three sends, all after the hook of that line.
    const std::size_t sendsBefore[] = {0, 3, 6};
    for (std::size_t i = 0; i < told.size(); ++i) {
        EXPECT_EQ(told[i].originator, want[i].originator) << i;
        EXPECT_EQ(told[i].sequence, want[i].sequence) << i;
        EXPECT_EQ(told[i].ttl, want[i].ttl) << i;
        EXPECT_EQ(told[i].tableSequence, want[i].sequence) << i;
        EXPECT_EQ(told[i].sendsBefore, sendsBefore[i]) << i;
    }
    EXPECT_GE(sends, 9u);
}

}  // namespace
}  // namespace palaver
