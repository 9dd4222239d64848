// Rings of real nodes: many joins one after another, a line from every node,
// the critical member of every node against an independent recomputation,
// and leaves that repair the ring.
#include <deque>
#include <map>

#include "overlay_support.h"

namespace palaver::overlay {
namespace {

// Hops from `from` to every node over next, back and the random peers.
std::map<std::string, int> distances(const Views& views, const std::string& from) {
    std::map<std::string, int> dist{{from, 0}};
    std::deque<std::string> queue{from};
    while (!queue.empty()) {
        std::string at = queue.front();
        queue.pop_front();
        const NeighbourTable& t = views.at(at).state.table;
        std::vector<std::string> out{key(t.next), key(t.back)};
        for (int i = 0; i < t.randomCount; ++i) out.push_back(key(t.random[i]));
        for (const std::string& k : out) {
            if (views.count(k) && !dist.count(k)) {
                dist[k] = dist[at] + 1;
                queue.push_back(k);
            }
        }
    }
    return dist;
}

// What every node must show once a datagram from `origin` (starting at TTL
// `startTtl`) has flooded: the stored text with the TTL it arrived with, a hop
// count no shorter than the shortest path and no longer than a simple path,
// the history length, and the critical member of a full rescan.
struct FloodChecker {
    std::map<std::string, CriticalModel> critical;
    std::map<std::string, std::size_t> historySize;
    std::map<std::string, std::set<std::string>> known;

    void check(const Views& views, const std::string& origin, int sequence, const std::string& text, int startTtl) {
        auto dist = distances(views, origin);
        for (const auto& [self, v] : views) {
            SCOPED_TRACE(self + " receiving from " + origin);
            ASSERT_TRUE(v.members.count(origin));
            const int hops = v.members.at(origin).hops;
            ASSERT_TRUE(dist.count(self));
            EXPECT_GE(hops, startTtl + dist[self]);
            EXPECT_LE(hops, startTtl + static_cast<int>(views.size()) - 1);
            if (self == origin) {
                EXPECT_EQ(hops, startTtl);
            }
            EXPECT_EQ(v.history.back(), chatText(hops, origin, sequence, text));

            std::size_t& size = historySize.try_emplace(self, 1).first->second;
            if (known[self].insert(origin).second) {
                ++size;
            } else {
                size = std::min<std::size_t>(size + 1, HistoryLimit);
            }
            EXPECT_EQ(v.history.size(), size);

            critical[self].scan(v.members);
            critical[self].expectAgrees(v, self);
        }
    }
};

TEST(OverlayRing, SequentialJoinsMakeOneRingThatCarriesALineFromEveryNode) {
    constexpr int Count = 14;
    std::vector<std::unique_ptr<LiveNode>> owned;
    std::vector<LiveNode*> ring;
    FloodChecker checker;
    for (int k = 0; k < Count; ++k) {
        owned.push_back(startLiveNode());
        LiveNode* newcomer = owned.back().get();
        ring.push_back(newcomer);
        if (k == 0) continue;
        LiveNode* contact = ring[static_cast<std::size_t>((k * 5 + 3) % k)];
        ASSERT_TRUE(joinAndSettle(*newcomer, *contact, ring)) << "join " << k;
        Views views = viewsOf(ring);
        expectOneRing(views);
        EXPECT_EQ(entry(views.at(newcomer->self()).state.table.back), entry(12, contact->self()));
        checker.check(views, newcomer->self(), 1, "Hello", 1);
        if (HasFatalFailure()) return;
    }
    for (const auto& [self, v] : viewsOf(ring)) {
        EXPECT_TRUE(v.state.table.next.id == 12 || v.state.table.next.id == 124) << self;
        EXPECT_TRUE(v.state.table.back.id == 12 || v.state.table.back.id == 123) << self;
    }

    for (LiveNode* from : ring) {
        const int32_t sequence = from->node->ChatSequence.load();
        const std::string text = "line from " + from->self();
        ASSERT_TRUE(chatAndSettle(*from, text, ring)) << text;
        checker.check(viewsOf(ring), from->self(), sequence, text, 0);
        if (HasFatalFailure()) return;
    }

    // Leave from the middle: the two neighbours are joined to each other.
    LiveNode* leaving = ring[Count / 2];
    const View before = leaving->now();
    const std::string back = key(before.state.table.back), next = key(before.state.table.next);
    leaving->node->leaveRing();
    std::vector<LiveNode*> rest;
    for (LiveNode* n : ring) {
        if (n != leaving) rest.push_back(n);
    }
    ASSERT_TRUE(eventually([&] {
        Views v = viewsOf(rest);
        return entry(v.at(back).state.table.next) == entry(124, next) &&
               entry(v.at(next).state.table.back) == entry(124, back);
    }));
    expectOneRing(viewsOf(rest));
    const View after = leaving->now();
    EXPECT_EQ(leaving->node->JoinState.load(), JoinIdle);
    EXPECT_EQ(entry(after.state.table.next), entry(before.state.table.next));
    EXPECT_EQ(entry(after.state.table.back), entry(before.state.table.back));
    EXPECT_EQ(entry(after.state.table.critical), entry(before.state.table.critical));
    EXPECT_EQ(after.state.table.randomCount, before.state.table.randomCount);
    EXPECT_TRUE(chatAndSettle(*ring.front(), "after the leave", rest));
}

TEST(OverlayRing, LeaveFromARingOfTwoLeavesARingOfOne) {
    auto contact = startLiveNode();
    auto newcomer = startLiveNode();
    ASSERT_TRUE(joinAndSettle(*newcomer, *contact, {contact.get(), newcomer.get()}));
    newcomer->node->leaveRing();
    ASSERT_TRUE(eventually([&] {
        View c = contact->now();
        return entry(c.state.table.next) == entry(124, contact->self()) &&
               entry(c.state.table.back) == entry(124, contact->self());
    }));
    View n = newcomer->now();
    EXPECT_EQ(entry(n.state.table.next), entry(12, contact->self()));
    EXPECT_EQ(entry(n.state.table.back), entry(12, contact->self()));
}

}  // namespace
}  // namespace palaver::overlay
