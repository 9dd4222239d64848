// Chat flooding, the member table, the message history and the critical
// member: handler-level cases on a node with captured sends, and real nodes.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "overlay_support.h"

namespace palaver::overlay {
namespace {

TEST(OverlayChat, LoneNodeFirstLineIsRecordedOnceAndItsTwoSelfCopiesDropped) {
    test::TempDir folder;
    auto n = startLiveNode(folder.str());
    n->node->sendOwnChat("hi");
    ASSERT_TRUE(eventually([&] { return logLines(*n, 'S').size() >= 3; }));
    n->node->stopReceiving();  // every datagram before the stop has been handled

    const std::string line = chatText(0, n->self(), 1, "hi");
    EXPECT_EQ(logLines(*n, 'S'), (std::vector<std::string>{line, chatText(1, n->self(), 1, "hi"),
                                                           chatText(1, n->self(), 1, "hi")}));
    View v = n->now();
    ASSERT_EQ(v.members.size(), 1u);
    EXPECT_EQ(v.members.at(n->self()).lastSequence, 1);
    EXPECT_EQ(v.members.at(n->self()).hops, 0);
    EXPECT_EQ(v.history, (MessageHistory{"start", line}));
    EXPECT_EQ(v.state.table.latestTTL, 0);
    EXPECT_EQ(entry(v.state.table.critical), entry(CriticalPeerId, n->self()));
    EXPECT_EQ(n->node->ChatSequence.load(), 2);
}

// The typed line (main thread) and the greeting after a walk reply (receive
// thread) meet. The send hook holds one sender, after it has taken its
// number, until the other's datagram has gone out or a second has passed.
// Either way the two must reach the socket in number order: the node's own
// receive thread drops a lower number that arrives after a higher one.
TEST(OverlayChatOrder, TypedLineAndGreetingReachTheSocketInNumberOrder) {
    for (bool holdTyped : {true, false}) {
        SCOPED_TRACE(holdTyped ? "typed line held" : "greeting held");
        HookedNode h;
        std::mutex m;
        std::condition_variable changed;
        std::vector<std::string> wire;  // in the order the sends went out
        bool holding = true;
        bool held = false;
        const std::string heldHeader = holdTyped ? "S00`0```" : "S00`1```";
        h.node.setSendHook([&](const std::string&, int32_t, std::string_view text) {
            std::unique_lock<std::mutex> g(m);
            if (holding && !held && text.substr(0, 8) == heldHeader) {
                held = true;
                changed.notify_all();
                changed.wait_for(g, std::chrono::seconds(1), [&] { return !wire.empty(); });
            }
            wire.emplace_back(text);
            changed.notify_all();
        });
        auto typeLine = [&] { h.node.sendOwnChat("typed"); };
        auto walkReply = [&] { h.feed("l00`1```10.0.0.5@6000`````1`````````Me to."); };

        std::thread first(holdTyped ? std::function<void()>(typeLine) : std::function<void()>(walkReply));
        bool sawHeld;
        {
            std::unique_lock<std::mutex> g(m);
            sawHeld = changed.wait_for(g, std::chrono::seconds(10), [&] { return held; });
        }
        (holdTyped ? std::function<void()>(walkReply) : std::function<void()>(typeLine))();
        first.join();
        ASSERT_TRUE(sawHeld);

        std::vector<std::string> sent;
        {
            std::lock_guard<std::mutex> g(m);
            holding = false;
            sent = wire;
        }
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(parseDatagram(sent[0], "").sequence, 1) << sent[0];
        EXPECT_EQ(parseDatagram(sent[1], "").sequence, 2) << sent[1];
        EXPECT_EQ(h.node.ChatSequence.load(), 3);
        // Taken by the node's own receive path in that order, both are kept.
        for (const std::string& d : sent) h.feed(d);
        EXPECT_EQ(h.now().history, (MessageHistory{"start", sent[0], sent[1]}));
    }
}

TEST(OverlayChatHandler, AcceptsNewerForwardsToEveryNeighbourAndDropsDuplicatesAndOlder) {
    HookedNode h;
    {
        auto g = h.node.lock();
        h.node.addRandomPeer(124, "10.0.0.3", 4003);
    }
    const std::string origin = "10.0.0.7@5000";
    const std::string five = chatText(2, origin, 5, "50% `off` %s");
    h.feed(five);
    // Passed on byte for byte with the TTL raised: to next, back, random[0].
    const std::string passed = chatText(3, origin, 5, "50% `off` %s");
    ASSERT_EQ(h.sent.size(), 3u);
    EXPECT_EQ(h.sent[0].to, h.self);
    EXPECT_EQ(h.sent[1].to, h.self);
    EXPECT_EQ(h.sent[2].to, "10.0.0.3@4003");
    for (const Sent& s : h.sent) EXPECT_EQ(s.text, passed);

    h.sent.clear();
    h.feed(five, "10.0.0.8");                      // second copy, another neighbour
    h.feed(chatText(0, origin, 5, "other text"));  // same sequence, shorter path
    h.feed(chatText(1, origin, 3, "three"));       // older sequence
    EXPECT_TRUE(h.sent.empty());
    View v = h.now();
    EXPECT_EQ(v.history, (MessageHistory{"start", five}));
    EXPECT_EQ(v.members.at(origin).lastSequence, 5);
    EXPECT_EQ(v.members.at(origin).hops, 2);
    EXPECT_EQ(v.state.table.latestTTL, 2);
    EXPECT_EQ(entry(v.state.table.critical), entry(124, origin));

    h.feed(chatText(1, origin, 6, "six"));
    v = h.now();
    EXPECT_EQ(v.members.at(origin).lastSequence, 6);
    EXPECT_EQ(v.members.at(origin).hops, 1);
    EXPECT_EQ(v.history.back(), chatText(1, origin, 6, "six"));
    EXPECT_EQ(h.sent.size(), 3u);
    EXPECT_EQ(v.state.table.latestTTL, 2);  // the largest count seen does not fall
}

TEST(OverlayChatHandler, ForwardedTtlStaysInsideItsThreeCharacters) {
    HookedNode h;
    h.feed(chatText(999, "10.0.0.7@5000", 1, "far"));
    h.feed(chatText(-5, "10.0.0.8@5000", 1, "odd"));
    // A four-character TTL fills the separator as well; the address still
    // starts at offset 8.
    const std::string rest = ticks("10.0.0.9@5000", 21) + "`" + ticks("1", 9) + "`odder`";
    h.feed("S00`-500" + rest);
    ASSERT_EQ(h.sent.size(), 6u);
    EXPECT_EQ(h.sent[0].text, chatText(999, "10.0.0.7@5000", 1, "far"));
    EXPECT_EQ(h.sent[2].text, chatText(-4, "10.0.0.8@5000", 1, "odd"));
    EXPECT_EQ(h.sent[4].text, "S00`-99`" + rest);
    EXPECT_EQ(h.now().members.at("10.0.0.9@5000").hops, -500);
}

TEST(OverlayChatHandler, HistoryIsCutOnlyOnTheNewerSequencePath) {
    HookedNode h;
    auto member = [](int i) { return "10.0.1." + std::to_string(i) + "@5000"; };
    for (int i = 1; i <= 19; ++i) h.feed(chatText(1, member(i), 1, "first"));
    EXPECT_EQ(h.now().history.size(), 20u);
    EXPECT_EQ(h.now().history.front(), "start");

    h.feed(chatText(1, member(1), 2, "again"));  // newer: oldest entry goes
    MessageHistory hist = h.now().history;
    EXPECT_EQ(hist.size(), 20u);
    EXPECT_EQ(hist.front(), chatText(1, member(1), 1, "first"));
    EXPECT_EQ(hist.back(), chatText(1, member(1), 2, "again"));

    h.feed(chatText(1, member(20), 1, "first"));  // new member: nothing dropped
    EXPECT_EQ(h.now().history.size(), 21u);
    for (int i = 2; i <= 4; ++i) h.feed(chatText(1, member(i), 2, "again"));
    hist = h.now().history;
    EXPECT_EQ(hist.size(), 21u);
    EXPECT_EQ(hist.front(), chatText(1, member(4), 1, "first"));
}

TEST(OverlayChatHandler, CriticalMemberFollowsTieAndNeverFallingRules) {
    HookedNode h;
    CriticalModel model;
    const std::string two = "10.0.0.2@50000", ten = "10.0.0.10@50000", one = "10.0.0.1@7";
    struct Step {
        std::string key;
        int seq, hops;
        std::string expectCritical;
        int expectTtl;
    };
    const Step steps[] = {
        {one, 1, 1, one, 1},
        {two, 1, 3, two, 3},
        {ten, 1, 3, two, 3},  // ten sorts first but only ties
        {two, 2, 4, two, 4},
        {ten, 2, 5, ten, 5},
        {ten, 3, 2, ten, 5},  // hops fall: latestTTL and critical stay
        {two, 3, 5, ten, 5},
        {one, 2, 6, one, 6},
    };
    for (const Step& s : steps) {
        h.feed(chatText(s.hops, s.key, s.seq, "x"));
        h.feed(chatText(s.hops, s.key, s.seq, "x"));  // duplicate: scan again, nothing moves
        View v = h.now();
        model.scan(v.members);
        EXPECT_EQ(entry(v.state.table.critical), entry(124, s.expectCritical)) << s.key << " seq " << s.seq;
        EXPECT_EQ(v.state.table.latestTTL, s.expectTtl) << s.key << " seq " << s.seq;
        model.expectAgrees(v, s.key);
    }
}

TEST(OverlayChatHandler, CriticalEntryKeptWhileNoMemberHasShownAHopCount) {
    HookedNode h;
    h.feed(chatText(-3, "10.0.0.5@5000", 1, "x"));
    View v = h.now();
    EXPECT_EQ(entry(v.state.table.critical), entry(777, h.self));
    EXPECT_EQ(v.state.table.latestTTL, -1);
    h.feed(chatText(0, "10.0.0.6@5000", 1, "x"));
    EXPECT_EQ(entry(h.now().state.table.critical), entry(124, "10.0.0.6@5000"));
    EXPECT_EQ(h.now().state.table.latestTTL, 0);
}

// An originator that leaves and starts again on the same address counts from
// sequence 1; a node that still holds its old sequence drops its datagrams
// until the count passes it.
TEST(OverlayChat, RestartedOriginatorIsDroppedUntilItsSequencePasses) {
    auto p = startLiveNode();
    auto x = startLiveNode();
    ASSERT_TRUE(joinAndSettle(*x, *p, {p.get(), x.get()}));
    ASSERT_TRUE(chatAndSettle(*x, "old two", {p.get()}));
    ASSERT_TRUE(chatAndSettle(*x, "old three", {p.get()}));

    x->node->leaveRing();
    ASSERT_TRUE(eventually([&] { return entry(p->now().state.table.back) == entry(124, p->self()); }));
    const std::string ip = x->ip;
    const int port = x->port;
    x.reset();
    auto again = startLiveNode("", ip, port);
    again->node->requestJoin(p->ip, p->port);
    ASSERT_TRUE(eventually([&] { return again->hasMember(again->self(), 1); }));  // its greeting
    for (const char* line : {"new two", "new three", "new four"}) again->node->sendOwnChat(line);
    ASSERT_TRUE(eventually([&] { return p->hasMember(again->self(), 4); }));

    View v = p->now();
    EXPECT_EQ(v.members.at(again->self()).hops, 1);
    auto count = [&](const std::string& text) { return std::count(v.history.begin(), v.history.end(), text); };
    EXPECT_EQ(count(chatText(2, again->self(), 1, "Hello")), 1);  // the first life's greeting only
    EXPECT_EQ(count(chatText(1, again->self(), 2, "new two")), 0);
    EXPECT_EQ(count(chatText(1, again->self(), 3, "new three")), 0);
    EXPECT_EQ(count(chatText(1, again->self(), 4, "new four")), 1);
    EXPECT_EQ(again->now().members.at(again->self()).hops, 0);
}

}  // namespace
}  // namespace palaver::overlay
