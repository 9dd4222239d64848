// Ring join: the handlers' ids and replies on a node with captured sends, and
// whole joins between real nodes.
#include "overlay_support.h"

namespace palaver::overlay {
namespace {

// back takes the typed values on every press; only the send depends on them.
TEST(OverlayJoinHandler, RequestJoinAlwaysSetsBackAndSendsOnlyToAUsableContact) {
    HookedNode h;
    struct Typed {
        const char* ip;
        int32_t port;
        const char* back;
    };
    for (const Typed& t : {Typed{"", 5000, "12:@5000"}, Typed{"10.0.0", 5000, "12:10.0.0@5000"},
                           Typed{"contact.host", 5000, "12:contact.host@5000"},
                           Typed{"10.0.0.5", 0, "12:10.0.0.5@0"}, Typed{"10.0.0.5", -3, "12:10.0.0.5@-3"},
                           Typed{"255.255.255.255x", 5000, "12:255.255.255.255x@5000"},
                           // Cut to the entry's 19 characters.
                           Typed{"10.0.0.5 and some more text", 6000, "12:10.0.0.5 and some m@6000"}}) {
        h.node.requestJoin(t.ip, t.port);
        EXPECT_TRUE(h.sent.empty()) << t.ip;
        EXPECT_EQ(entry(h.now().state.table.back), t.back);
    }

    h.node.requestJoin("10.0.0.5", 6000);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].to, "10.0.0.5@6000");
    EXPECT_EQ(h.sent[0].text, "N00`001`10.0.0.1@4000`");
    EXPECT_EQ(entry(h.now().state.table.back), entry(12, "10.0.0.5@6000"));
    EXPECT_EQ(h.node.JoinState.load(), JoinIdle);
}

// A source address of the full 15 characters: the referral goes to all of it.
TEST(OverlayJoinHandler, JoinRequestFromALongestSourceAddressIsAnsweredThere) {
    HookedNode h;
    h.feed("N00`001`10.0.0.8@5000`", "192.168.100.200");
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].to, "192.168.100.200@5000");
}

TEST(OverlayJoinHandler, EachStepWritesItsIdAndAnswersTheRightAddress) {
    HookedNode h;
    {
        auto g = h.node.lock();
        h.node.state().table.next.assign(1, "10.0.0.2", 4002);
        h.node.state().table.critical.assign(124, "10.0.0.66", 66);
    }
    // Join request: answered at the UDP source, at the carried port.
    h.feed("N00`001`192.168.9.9@5000`", "10.0.0.9");
    // Referral: the successor request goes to the carried address.
    h.feed("n00`001`10.0.0.8@5001`");
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[0].to, "10.0.0.9@5000");
    EXPECT_EQ(h.sent[0].text, "n00`001`10.0.0.2@4002`");
    EXPECT_EQ(h.sent[1].to, "10.0.0.8@5001");
    EXPECT_EQ(h.sent[1].text, "X00`001`10.0.0.1@4000`");

    h.sent.clear();
    h.feed("X00`001`10.0.0.7@5000`");  // successor request
    EXPECT_EQ(entry(h.now().state.table.back), entry(123, "10.0.0.7@5000"));
    h.feed("x00`001`10.0.0.8@5001`");  // successor accept: B goes to back
    EXPECT_EQ(entry(h.now().state.table.next), entry(12, "10.0.0.8@5001"));
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[0].to, "10.0.0.7@5000");
    EXPECT_EQ(h.sent[0].text, "x00`001`10.0.0.1@4000`");
    EXPECT_EQ(h.sent[1].to, "10.0.0.7@5000");
    EXPECT_EQ(h.sent[1].text, "B00`001`10.0.0.1@4000`");

    // Predecessor request: next, the accept carrying critical, latestTTL and
    // JoinState, which stays at 5 once the disconnect button shows.
    for (int32_t start : {JoinIdle, JoinedAsNewcomer, AcceptedNewcomer, DisconnectShown}) {
        h.sent.clear();
        h.node.JoinState = start;
        h.feed("B00`001`10.0.0.6@5006`");
        EXPECT_EQ(h.node.JoinState.load(), start == DisconnectShown ? DisconnectShown : AcceptedNewcomer);
        ASSERT_EQ(h.sent.size(), 1u);
        EXPECT_EQ(h.sent[0].to, "10.0.0.6@5006");
        EXPECT_EQ(h.sent[0].text, "b00`001`10.0.0.66@66`");
    }
    EXPECT_EQ(entry(h.now().state.table.next), entry(124, "10.0.0.6@5006"));
    EXPECT_EQ(h.now().state.table.latestTTL, 1);

    // Leave notices carry a padded address and send nothing.
    h.sent.clear();
    h.feed("D00`001`" + ticks("10.0.0.4@4", 21) + "`");
    h.feed("d00`001`" + ticks("10.0.0.5@5", 21) + "`");
    // Addresses without a port or with a host name are not acted on.
    h.feed("X00`001`10.0.0.5`");
    h.feed("D00`001`some.host@4000`");
    h.feed("d00`001`@@4000`");
    View v = h.now();
    EXPECT_EQ(entry(v.state.table.back), entry(124, "10.0.0.4@4"));
    EXPECT_EQ(entry(v.state.table.next), entry(124, "10.0.0.5@5"));
    EXPECT_TRUE(h.sent.empty());
}

// JoinState is read as a number outside the node (the window's controls,
// run.json's join_state): 0 idle, 1 a newcomer that got into the ring, 2 a
// contact that took a newcomer in. The window tells the two apart: the
// newcomer's join boxes go, the contact's connect button goes.
TEST(OverlayJoinHandler, JoinStateNumbersTellANewcomerFromItsContact) {
    struct Case {
        const char* what;
        std::string datagram;
        int32_t state;
    };
    const std::vector<Case> cases = {
        {"a newcomer's predecessor accept", "b00`001`10.0.0.6@5006`", 1},
        {"a contact's predecessor request", "B00`001`10.0.0.6@5006`", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HookedNode h;
        EXPECT_EQ(h.node.JoinState.load(), 0);
        h.feed(c.datagram);
        EXPECT_EQ(h.node.JoinState.load(), c.state);
    }
}

TEST(OverlayJoin, ThroughALoneContactMakesARingOfTwoAndGreetsBoth) {
    auto contact = startLiveNode();
    auto newcomer = startLiveNode();
    ASSERT_TRUE(joinAndSettle(*newcomer, *contact, {contact.get(), newcomer.get()}));

    View c = contact->now(), n = newcomer->now();
    EXPECT_EQ(entry(c.state.table.next), entry(124, newcomer->self()));
    EXPECT_EQ(entry(c.state.table.back), entry(123, newcomer->self()));
    EXPECT_EQ(entry(n.state.table.next), entry(12, contact->self()));
    EXPECT_EQ(entry(n.state.table.back), entry(12, contact->self()));
    EXPECT_EQ(newcomer->node->JoinState.load(), JoinedAsNewcomer);
    EXPECT_EQ(contact->node->JoinState.load(), AcceptedNewcomer);

    // The greeting starts at TTL 1: hops 1 at its originator, 2 one hop on.
    ASSERT_EQ(n.members.size(), 1u);
    EXPECT_EQ(n.members.at(newcomer->self()).hops, 1);
    ASSERT_EQ(c.members.size(), 1u);
    EXPECT_EQ(c.members.at(newcomer->self()).hops, 2);
    EXPECT_EQ(c.history.back(), chatText(2, newcomer->self(), 1, "Hello"));
    EXPECT_EQ(c.state.table.latestTTL, 2);
    EXPECT_EQ(entry(c.state.table.critical), entry(124, newcomer->self()));
    EXPECT_EQ(newcomer->node->ChatSequence.load(), 2);

    // A line typed at the contact travels one hop less than the greeting.
    ASSERT_TRUE(chatAndSettle(*contact, "hi", {contact.get(), newcomer.get()}));
    EXPECT_EQ(newcomer->now().members.at(contact->self()).hops, 1);
    EXPECT_EQ(contact->now().members.at(contact->self()).hops, 0);
    EXPECT_EQ(newcomer->now().state.table.latestTTL, 1);
}

TEST(OverlayJoin, ThroughItsOwnAddressTheNodeJoinsAndWalksAlone) {
    auto n = startLiveNode();
    ASSERT_TRUE(joinAndSettle(*n, *n, {n.get()}));
    View v = n->now();
    EXPECT_EQ(entry(v.state.table.next), entry(124, n->self()));
    EXPECT_EQ(entry(v.state.table.back), entry(123, n->self()));
    // The walk ends at its own originator, which takes itself twice: once as
    // end node, once on the reply.
    ASSERT_EQ(v.state.table.randomCount, 2);
    EXPECT_EQ(entry(v.state.table.random[0]), entry(124, n->self()));
    EXPECT_EQ(entry(v.state.table.random[1]), entry(124, n->self()));
    EXPECT_EQ(v.history, (MessageHistory{"start", chatText(1, n->self(), 1, "Hello")}));
    EXPECT_EQ(v.state.table.latestTTL, 1);
}

// Both newcomers are referred to the same successor before either completes:
// each ends between the contact and that successor, while the contact's next
// and the successor's back name whichever request came last.
TEST(OverlayJoin, TwoNewcomersThroughOneContactAtOnce) {
    auto contact = startLiveNode();
    auto successor = startLiveNode();
    ASSERT_TRUE(joinAndSettle(*successor, *contact, {contact.get(), successor.get()}));
    auto a = startLiveNode();
    auto b = startLiveNode();
    {
        // The contact's next changes only when a newcomer's join is through,
        // which takes the successor's answer: while the successor's lock is
        // held it answers nobody, so both newcomers are referred to it, however
        // the threads are scheduled. Each has been once it has sent its join
        // request and its request to the successor.
        auto holdSuccessor = successor->node->lock();
        const uint64_t aSent = a->node->SentCount.load(), bSent = b->node->SentCount.load();
        a->node->requestJoin(contact->ip, contact->port);
        b->node->requestJoin(contact->ip, contact->port);
        ASSERT_TRUE(eventually([&] {
            return a->node->SentCount.load() >= aSent + 2 && b->node->SentCount.load() >= bSent + 2;
        }));
    }
    ASSERT_TRUE(eventually([&] {
        return a->node->JoinState.load() == JoinedAsNewcomer && b->node->JoinState.load() == JoinedAsNewcomer;
    }));

    for (LiveNode* n : {a.get(), b.get()}) {
        View v = n->now();
        EXPECT_EQ(entry(v.state.table.next), entry(12, successor->self())) << n->self();
        EXPECT_EQ(entry(v.state.table.back), entry(12, contact->self())) << n->self();
    }
    const std::set<std::string> newcomers{a->self(), b->self()};
    View c = contact->now(), s = successor->now();
    EXPECT_EQ(c.state.table.next.id, 124);
    EXPECT_TRUE(newcomers.count(key(c.state.table.next))) << entry(c.state.table.next);
    EXPECT_EQ(s.state.table.back.id, 123);
    EXPECT_TRUE(newcomers.count(key(s.state.table.back))) << entry(s.state.table.back);
    EXPECT_EQ(entry(c.state.table.back), entry(123, successor->self()));
    EXPECT_EQ(entry(s.state.table.next), entry(12, contact->self()));
}

}  // namespace
}  // namespace palaver::overlay
