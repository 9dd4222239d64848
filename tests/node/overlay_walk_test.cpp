// The random-peer walk: steps, end node, reply and greeting on a node with
// captured sends; the walk of a fresh ring of two on real nodes.
#include "overlay_support.h"

namespace palaver::overlay {
namespace {

const std::string Origin = "10.0.0.7@5000";

void setNeighbours(HookedNode& h) {
    auto g = h.node.lock();
    h.node.state().table.next.assign(1, "10.0.0.2", 4002);
    h.node.state().table.back.assign(2, "10.0.0.3", 4003);
}

std::set<std::string> neighbourKeys(const View& v) {
    std::set<std::string> keys{key(v.state.table.next), key(v.state.table.back)};
    for (int i = 0; i < v.state.table.randomCount; ++i) keys.insert(key(v.state.table.random[i]));
    return keys;
}

TEST(OverlayWalkHandler, StepsCountDownAndTheEndNodeTakesTheOriginatorAndReplies) {
    HookedNode h;
    setNeighbours(h);
    h.feed(walkText(31, Origin));
    h.feed(walkText(2, Origin));
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[0].text, walkText(30, Origin));
    EXPECT_EQ(h.sent[1].text, walkText(1, Origin));
    for (const Sent& s : h.sent) EXPECT_TRUE(neighbourKeys(h.now()).count(s.to)) << s.to;
    EXPECT_EQ(h.now().state.table.randomCount, 0);

    h.sent.clear();
    h.feed(walkText(1, Origin), "10.0.0.99");                                     // the carried address counts, not the source
    h.feed("L00`x```" + ticks("10.0.0.8@5008", 21) + "`1`````````I love you.`");  // no digits: TTL 0
    View v = h.now();
    ASSERT_EQ(v.state.table.randomCount, 2);
    EXPECT_EQ(entry(v.state.table.random[0]), entry(124, Origin));
    EXPECT_EQ(entry(v.state.table.random[1]), entry(124, "10.0.0.8@5008"));
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[0].to, Origin);
    EXPECT_EQ(h.sent[0].text, "l00`1```10.0.0.1@4000`````1`````````Me to.");
    EXPECT_EQ(h.sent[1].to, "10.0.0.8@5008");
}

TEST(OverlayWalkHandler, NodeWithThreeRandomPeersPassesTheWalkOnWithTtlOne) {
    HookedNode h;
    setNeighbours(h);
    // Three walks fill the random entries in arrival order, the same
    // originator twice included.
    for (const char* o : {"10.0.0.4@1", "10.0.0.5@2", "10.0.0.4@1"}) h.feed(walkText(1, o));
    View full = h.now();
    ASSERT_EQ(full.state.table.randomCount, 3);
    EXPECT_EQ(entry(full.state.table.random[1]), entry(124, "10.0.0.5@2"));
    EXPECT_EQ(entry(full.state.table.random[2]), entry(124, "10.0.0.4@1"));

    for (int i = 0; i < 20; ++i) {
        h.sent.clear();
        h.feed(walkText(1, Origin));
        ASSERT_LE(h.sent.size(), 1u);
        if (h.sent.empty()) continue;  // the one draw in 32768 that picks nothing
        EXPECT_EQ(h.sent[0].text, walkText(1, Origin));
        EXPECT_TRUE(neighbourKeys(full).count(h.sent[0].to)) << h.sent[0].to;
    }
    View v = h.now();
    EXPECT_EQ(v.state.table.randomCount, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(entry(v.state.table.random[i]), entry(full.state.table.random[i]));
}

TEST(OverlayWalkHandler, StartGoesToBackAndReplyGreetsWithTheCurrentSequence) {
    HookedNode h;
    setNeighbours(h);
    h.feed("b00`001`10.0.0.9@9`");
    EXPECT_EQ(h.node.JoinState.load(), JoinedAsNewcomer);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].to, "10.0.0.3@4003");
    EXPECT_EQ(h.sent[0].text, "L00`31``10.0.0.1@4000`````````1`````````I love you.`");
    EXPECT_EQ(h.sent[0].text.size(), 52u);

    h.sent.clear();
    h.node.ChatSequence = 7;
    h.feed("l00`1```10.0.0.5@6000`````1`````````Me to.");
    EXPECT_EQ(entry(h.now().state.table.random[0]), entry(124, "10.0.0.5@6000"));
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].to, h.self);
    EXPECT_EQ(h.sent[0].text, chatText(1, h.self, 7, "Hello"));
    EXPECT_EQ(h.node.ChatSequence.load(), 8);

    // With every random entry taken the reply adds nothing but still greets.
    for (int i = 0; i < 3; ++i) h.feed("l00`1```10.0.0.6@6000`````1`````````Me to.");
    View v = h.now();
    EXPECT_EQ(v.state.table.randomCount, 3);
    EXPECT_EQ(entry(v.state.table.random[2]), entry(124, "10.0.0.6@6000"));
    EXPECT_EQ(h.sent.back().text, chatText(1, h.self, 10, "Hello"));
    EXPECT_EQ(h.node.ChatSequence.load(), 11);
}

// In a fresh ring of two every walk step goes to the other node: the contact
// sees the odd TTLs down to 1 and is the end node.
TEST(OverlayWalk, RingOfTwoWalkAlternatesAndEndsAtTheContact) {
    test::TempDir folder;
    auto contact = startLiveNode(folder.str());
    auto newcomer = startLiveNode(folder.str());
    ASSERT_TRUE(joinAndSettle(*newcomer, *contact, {contact.get(), newcomer.get()}));

    std::vector<std::string> atContact, atNewcomer;
    for (int ttl = 31; ttl >= 1; ttl -= 2) atContact.push_back(walkText(ttl, newcomer->self()));
    for (int ttl = 30; ttl >= 2; ttl -= 2) atNewcomer.push_back(walkText(ttl, newcomer->self()));
    EXPECT_EQ(logLines(*contact, 'L'), atContact);
    EXPECT_EQ(logLines(*newcomer, 'L'), atNewcomer);
    EXPECT_EQ(logLines(*newcomer, 'l'),
              std::vector<std::string>{"l00`1```" + contact->self() + "`````1`````````Me to."});

    View c = contact->now(), n = newcomer->now();
    EXPECT_EQ(c.state.table.randomCount, 1);
    EXPECT_EQ(entry(c.state.table.random[0]), entry(124, newcomer->self()));
    EXPECT_EQ(n.state.table.randomCount, 1);
    EXPECT_EQ(entry(n.state.table.random[0]), entry(124, contact->self()));
}

}  // namespace
}  // namespace palaver::overlay
