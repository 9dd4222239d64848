// Helpers of the overlay suites: nodes on fresh loopback addresses, waiting
// with deadlines, copies of a node's shared state taken under its lock, a
// node whose sends are captured instead of sent, and an independent model of
// the critical-member rules to check the nodes against.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "node.h"
#include "test_support.h"

namespace palaver::overlay {

// Every node of the process gets an address of its own in 127.B.x.y, B taken
// from the process id so that suites running side by side rarely meet.
inline std::string freshLoopbackIp() {
    static std::atomic<int> counter{0};
    int n = counter++;
    int b = 100 + static_cast<int>(::getpid() % 150);
    return "127." + std::to_string(b) + "." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
}

inline int probeFreePort(const std::string& ip) {
    try {
        return test::UdpSocket(ip.c_str(), 0).port();
    } catch (const std::runtime_error&) {
        return 0;
    }
}

// Waits for `condition` with a deadline that sanitizer builds also meet.
template <typename Condition>
bool eventually(Condition condition) {
    return test::waitUntil(condition, std::chrono::milliseconds(10000));
}

inline std::string key(const std::string& ip, int port) { return ip + "@" + std::to_string(port); }
inline std::string key(const PeerEntry& e) { return key(e.ip, e.port); }
// "id:ip@port", the form every entry check compares.
inline std::string entry(int id, const std::string& addressKey) { return std::to_string(id) + ":" + addressKey; }
inline std::string entry(const PeerEntry& e) { return entry(e.id, key(e)); }

struct View {
    NodeState state;
    MemberTable members;
    MessageHistory history;
};

inline View view(const Node& node) {
    auto guard = node.lock();
    return View{node.state(), node.members(), node.history()};
}

// A started node; the folder holds its datagram log when logging is on.
struct LiveNode {
    std::unique_ptr<Node> node = std::make_unique<Node>();
    std::string ip;
    int port = 0;
    std::string self() const { return key(ip, port); }
    View now() const { return view(*node); }
    bool hasMember(const std::string& k, int32_t sequence) const {
        auto guard = node->lock();
        auto it = node->members().find(k);
        return it != node->members().end() && it->second.lastSequence == sequence;
    }
};

// Starts a node on `ip` (a fresh address when empty) at `port` (a free port
// when 0), logging into `logDir` when one is given.
inline std::unique_ptr<LiveNode> startLiveNode(const std::string& logDir = "", const std::string& ip = "",
                                               int port = 0) {
    auto n = std::make_unique<LiveNode>();
    copyField(n->node->NodeName, "tester");
    if (!logDir.empty()) {
        n->node->LogFlag = 1;
        n->node->setFileDirectory(logDir);
    }
    n->node->initialise(12345);
    n->ip = ip.empty() ? freshLoopbackIp() : ip;
    for (int attempt = 0; attempt < 5; ++attempt) {
        n->port = port > 0 ? port : probeFreePort(n->ip);
        if (n->port > 0 && n->node->startNode(n->ip, n->port) == 0) return n;
    }
    throw std::runtime_error("could not start a node on " + n->ip);
}

using Views = std::map<std::string, View>;

inline Views viewsOf(const std::vector<LiveNode*>& nodes) {
    Views views;
    for (const LiveNode* n : nodes) views[n->self()] = n->now();
    return views;
}

// Following next from every node visits each node once and comes back, and
// every back is the node whose next names it.
inline void expectOneRing(const Views& views) {
    for (const auto& [start, unused] : views) {
        std::set<std::string> seen;
        std::string at = start;
        for (std::size_t step = 0; step < views.size(); ++step) {
            ASSERT_TRUE(views.count(at)) << "next leads out of the ring to " << at;
            seen.insert(at);
            at = key(views.at(at).state.table.next);
        }
        EXPECT_EQ(at, start);
        EXPECT_EQ(seen.size(), views.size());
    }
    for (const auto& [self, v] : views) {
        const std::string next = key(v.state.table.next);
        ASSERT_TRUE(views.count(next));
        EXPECT_EQ(key(views.at(next).state.table.back), self);
    }
}

// Every datagram the nodes of `overlay` have sent or taken in so far.
inline uint64_t activity(const std::vector<LiveNode*>& overlay) {
    uint64_t total = 0;
    for (const LiveNode* n : overlay) total += n->node->SentCount.load() + n->node->ReceivedCount.load();
    return total;
}

// Waits until no node of `overlay` has sent or taken in a datagram for
// `span`: the flood's last copies (a greeting reaches some nodes several
// times) have arrived and been handled. Arrival of the first copy everywhere
// is not enough for a test that reads logs or tables afterwards. False when
// the overlay is still busy at the deadline.
inline bool waitForQuiet(const std::vector<LiveNode*>& overlay,
                         std::chrono::milliseconds span = std::chrono::milliseconds(300)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20000);
    uint64_t last = activity(overlay);
    auto since = std::chrono::steady_clock::now();
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto now = std::chrono::steady_clock::now();
        const uint64_t total = activity(overlay);
        if (total != last) {
            last = total;
            since = now;
        } else if (now - since >= span) {
            return true;
        }
        if (now >= deadline) return false;
    }
}

// Joins `newcomer` through `contact` and waits until the newcomer has joined,
// its greeting has reached every node of `overlay` (newcomer included) and
// the overlay has gone quiet again.
inline bool joinAndSettle(LiveNode& newcomer, const LiveNode& contact, const std::vector<LiveNode*>& overlay) {
    const int32_t greeting = newcomer.node->ChatSequence.load();
    newcomer.node->requestJoin(contact.ip, contact.port);
    return eventually([&] {
               if (newcomer.node->JoinState.load() != JoinedAsNewcomer) return false;
               for (const LiveNode* n : overlay) {
                   if (!n->hasMember(newcomer.self(), greeting)) return false;
               }
               return true;
           }) &&
           waitForQuiet(overlay);
}

// Types a line at `from`, waits until every node of `overlay` holds it and
// the overlay has gone quiet again.
inline bool chatAndSettle(LiveNode& from, const std::string& text, const std::vector<LiveNode*>& overlay) {
    const int32_t sequence = from.node->ChatSequence.load();
    from.node->sendOwnChat(text);
    return eventually([&] {
               for (const LiveNode* n : overlay) {
                   if (!n->hasMember(from.self(), sequence)) return false;
               }
               return true;
           }) &&
           waitForQuiet(overlay);
}

inline std::vector<std::string> logLines(const LiveNode& n, char type) {
    std::ifstream in(n.node->datagramLogPath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == type) lines.push_back(line);
    }
    return lines;
}

// Datagram texts built here, not with the node's own composing functions.
inline std::string ticks(std::string s, std::size_t n) {
    if (s.size() < n) s.append(n - s.size(), '`');
    return s;
}
inline std::string chatText(int ttl, const std::string& address, int sequence, const std::string& text) {
    return "S00`" + ticks(std::to_string(ttl), 3) + "`" + ticks(address, 21) + "`" + ticks(std::to_string(sequence), 9) +
           "`" + text + "`";
}
inline std::string walkText(int ttl, const std::string& address) {
    return "L00`" + ticks(std::to_string(ttl), 3) + "`" + ticks(address, 21) + "`1`````````I love you.`";
}

struct Sent {
    std::string to;  // ip@port
    std::string text;
};

// A node that is never started: datagrams are handed to it directly and its
// sends are recorded.
struct HookedNode {
    Node node;
    std::vector<Sent> sent;
    std::string self;

    explicit HookedNode(const std::string& ip = "10.0.0.1", int port = 4000) : self(key(ip, port)) {
        node.initialise(1);
        node.setSendHook([this](const std::string& to, int32_t toPort, std::string_view text) {
            sent.push_back({key(to, toPort), std::string(text)});
        });
        auto guard = node.lock();
        node.setSelf(777, ip, port);
        node.makeRingOfOne(node.state().self);
    }
    void feed(const std::string& text, const char* sourceIp = "10.0.0.9") {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5555);
        ::inet_pton(AF_INET, sourceIp, &a.sin_addr);
        node.handleDatagram(text, a);
    }
    View now() const { return view(node); }
};

// The critical-member rules, kept apart from the node: after each change of a
// member table, scan every member in key order; a strictly greater hop count
// takes over; the largest count seen never falls.
struct CriticalModel {
    int32_t maxHopsSeen = -1;
    std::string criticalKey;
    void scan(const MemberTable& members) {
        for (const auto& [k, info] : members) {
            if (info.hops > maxHopsSeen) {
                maxHopsSeen = info.hops;
                criticalKey = k;
            }
        }
    }
    void expectAgrees(const View& v, const std::string& who) const {
        EXPECT_EQ(v.state.table.latestTTL, maxHopsSeen) << who;
        if (!criticalKey.empty()) {
            EXPECT_EQ(entry(v.state.table.critical), entry(CriticalPeerId, criticalKey)) << who;
        }
    }
};

}  // namespace palaver::overlay
