// Hostile traffic against a live overlay, and a node killed mid-run.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "node.h"
#include "overlay_support.h"
#include "test_support.h"

extern char** environ;

namespace palaver::test {
namespace {

// The only address the hostile sender uses; no table may ever name it.
constexpr const char* HostileIp = "127.0.0.66";

using overlay::LiveNode;

bool knowsLine(const LiveNode& n, const std::string& key, int32_t sequence) {
    auto guard = n.node->lock();
    auto it = n.node->members().find(key);
    return it != n.node->members().end() && it->second.lastSequence >= sequence;
}

// Datagrams that no well-behaved node sends: every one of them carries an
// address that cannot be sent to, or is not a datagram of the overlay at all.
std::vector<std::string> hostilePayloads(std::mt19937& rng) {
    std::vector<std::string> out;
    const std::string types = "!BDLNSXbdlnx?e";
    const std::vector<std::string> badAddresses = {
        "",
        "127.0.0.66",
        "127.0.0.66@",
        "@@@@",
        "999.0.0.1@5000",
        "127.0.0.66x@5000",
        "localhost@5000",
        "1234567890123456789012345678901234567890",
        "%n%s%n%s@%d",
        "``````",
        "127.0.0.66 @5000",
    };
    const std::vector<std::string> ttls = {"999`", "-1``", "0```", "31``", "%n``", "````", "2147483647"};
    for (char type : types) {
        for (const auto& address : badAddresses) {
            for (const auto& ttl : ttls) {
                std::string d;
                d += type;
                d += "00`" + ttl.substr(0, 3) + "`" + address + "`";
                d += "%s%s%n`1`````````text`";
                out.push_back(d);
            }
        }
    }
    // Foreign stop datagrams in every form.
    out.push_back("!00`001`127.0.0.1@50000`");
    out.push_back("!");
    out.push_back(std::string("!\0garbage", 9));
    // Zero bytes inside, oversize, empty, and random bytes without any '@',
    // so that no random datagram can carry a usable address.
    out.push_back(std::string("S00`0```") + '\0' + "127.0.0.66@1`1`x`");
    out.push_back(std::string(1500, 'S'));
    out.push_back(std::string(1001, 'L'));
    out.push_back(std::string());
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 1200);
    for (int i = 0; i < 200; ++i) {
        std::string r(static_cast<std::size_t>(length(rng)), '\0');
        for (char& c : r) {
            c = static_cast<char>(byte(rng));
            if (c == '@') c = '#';
        }
        out.push_back(r);
    }
    return out;
}

TEST(HardeningTest, OverlaySurvivesHostileTrafficWithoutLosingChat) {
    constexpr int NodeCount = 8;
    std::vector<std::unique_ptr<LiveNode>> ring;
    std::vector<LiveNode*> joined;
    std::mt19937 rng(12345);
    for (int i = 0; i < NodeCount; ++i) {
        ring.push_back(overlay::startLiveNode());
        joined.push_back(ring.back().get());
        if (i == 0) continue;
        std::uniform_int_distribution<int> pick(0, i - 1);
        ASSERT_TRUE(overlay::joinAndSettle(*ring.back(), *ring[static_cast<std::size_t>(pick(rng))], joined))
            << "join of node " << i;
    }
    ASSERT_NO_FATAL_FAILURE(overlay::expectOneRing(overlay::viewsOf(joined)));

    // The hostile sender: its own socket on an address no node uses. It
    // paces itself (the overlay has no retransmission, and a receive queue
    // that overflows loses datagrams by design).
    int hostile = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(hostile, 0);
    sockaddr_in self = loopbackAddress(0, HostileIp);
    ASSERT_EQ(::bind(hostile, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
    std::vector<std::string> payloads = hostilePayloads(rng);
    constexpr int Target = 4000;
    std::atomic<int> thrown{0};
    std::thread storm([&] {
        std::size_t k = 0;
        while (thrown.load() < Target) {
            for (const auto& m : ring) {
                const std::string& p = payloads[k++ % payloads.size()];
                sockaddr_in to = loopbackAddress(m->port, m->ip.c_str());
                ::sendto(hostile, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                ++thrown;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    // Chat lines typed at every node for as long as the storm lasts.
    int lines = 0;
    while (thrown.load() < Target) {
        for (auto& m : ring) m->node->sendOwnChat("line %n%s " + std::to_string(lines));
        ++lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    storm.join();
    ::close(hostile);
    RecordProperty("hostile_datagrams", thrown.load());
    RecordProperty("chat_lines", lines * NodeCount);
    EXPECT_GE(lines, 5);

    // Every line reached every member table.
    for (const auto& origin : ring) {
        int32_t last = origin->node->ChatSequence.load() - 1;
        for (const auto& m : ring) {
            EXPECT_TRUE(waitUntil([&] { return knowsLine(*m, origin->self(), last); },
                                  std::chrono::milliseconds(15000)))
                << m->self() << " lacks line " << last << " of " << origin->self();
        }
    }
    for (const auto& m : ring) EXPECT_TRUE(m->node->ReceiverAlive.load()) << m->self() << " stopped";
    overlay::expectOneRing(overlay::viewsOf(joined));
    for (const auto& m : ring) {
        auto guard = m->node->lock();
        const NeighbourTable& t = m->node->state().table;
        const PeerEntry* entries[] = {&t.next, &t.back, &t.random[0], &t.random[1], &t.random[2], &t.critical};
        for (const PeerEntry* e : entries) EXPECT_STRNE(e->ip, HostileIp) << "entry of " << m->self();
        EXPECT_EQ(m->node->members().size(), ring.size()) << m->self();
        for (const auto& [key, info] : m->node->members()) {
            EXPECT_EQ(key.find(HostileIp), std::string::npos) << key << " at " << m->self();
        }
    }
}

// The datagram log is flushed per line: a node killed with SIGKILL keeps the
// line of every datagram it had handled.
TEST(HardeningTest, KilledNodeKeepsEveryLoggedLine) {
    TempDir dir;
    int port = freeUdpPort();
    std::string portText = std::to_string(port);
    std::string dirText = dir.str();
    char* argv[] = {const_cast<char*>(PALAVER_NODE_RUNNER), const_cast<char*>(Loopback), portText.data(),
                    dirText.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, PALAVER_NODE_RUNNER, nullptr, nullptr, argv, environ), 0);
    auto log = dir / (std::string(Loopback) + "@" + portText + ".txt");
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(log); }));

    UdpSocket peer;
    constexpr int Count = 300;
    for (int i = 0; i < Count; ++i) {
        ASSERT_TRUE(peer.sendTo(port, "?00`001`line " + std::to_string(i) + "`"));
        if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // A join request last: its answer proves that every datagram before it
    // has been handled, and so logged.
    std::string request = composeJoinRequest(Loopback, peer.port());
    ASSERT_TRUE(peer.sendTo(port, request));
    auto answer = peer.receive(std::chrono::milliseconds(10000));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->text[0], 'n');

    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto text = readFile(log);
    ASSERT_TRUE(text.has_value());
    std::string expected;
    for (int i = 0; i < Count; ++i) expected += "?00`001`line " + std::to_string(i) + "`\n";
    expected += request + "\n";
    EXPECT_EQ(*text, expected);
}

}  // namespace
}  // namespace palaver::test
