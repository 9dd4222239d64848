// Hostile traffic against a live overlay, and a node killed mid-run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// A node runner in a child process, on `ip` at a port it chooses. Killed
// and waited for when the object goes, however the test ends: a runner left
// behind would hold the test's output open and keep CTest waiting.
class RunnerProcess {
public:
    RunnerProcess(const std::string& ip, const std::string& dir) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::string ipArg = ip, portArg = "0", dirArg = dir;
        char* argv[] = {const_cast<char*>(PALAVER_NODE_RUNNER), ipArg.data(), portArg.data(), dirArg.data(), nullptr};
        if (posix_spawn(&pid_, PALAVER_NODE_RUNNER, &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~RunnerProcess() {
        kill();
        if (out_ >= 0) ::close(out_);
    }
    RunnerProcess(const RunnerProcess&) = delete;
    RunnerProcess& operator=(const RunnerProcess&) = delete;

    bool spawned() const { return pid_ > 0; }

    // The port of the runner's "ready <port>" line; 0 when the runner ended
    // without one, or printed none within `timeout`.
    int readyPort(std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string line;
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return 0;
            pollfd p{out_, POLLIN, 0};
            int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return 0;
            char buffer[64];
            ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return 0;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        return line.rfind("ready ", 0) == 0 ? std::atoi(line.c_str() + 6) : 0;
    }

    // Sends SIGKILL and waits for the runner's end; its wait status.
    int kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = 0;
};

// The datagram log is flushed per line: a node killed with SIGKILL keeps the
// line of every datagram it had handled.
TEST(HardeningTest, KilledNodeKeepsEveryLoggedLine) {
    TempDir dir;
    // An address of its own, for the node and its peer alike: no datagram of
    // another test can reach either.
    const std::string ip = overlay::freshLoopbackIp();
    RunnerProcess runner(ip, dir.str());
    ASSERT_TRUE(runner.spawned());
    const int port = runner.readyPort(std::chrono::seconds(60));
    ASSERT_GT(port, 0) << "the node runner did not start";
    UdpSocket peer(ip.c_str(), 0);

    // Paced by the node: each batch ends with a join request, whose answer
    // proves that the batch has been handled, and so logged. A batch is far
    // smaller than the node's receive queue, which a faster sender would
    // overflow (the node takes at most one datagram a millisecond).
    constexpr int Batches = 12;
    constexpr int BatchSize = 25;
    const std::string request = composeJoinRequest(ip, peer.port());
    std::string expected;
    for (int batch = 0; batch < Batches; ++batch) {
        for (int i = 0; i < BatchSize; ++i) {
            std::string line = "?00`001`line " + std::to_string(batch * BatchSize + i) + "`";
            ASSERT_TRUE(peer.sendTo(port, line, ip.c_str()));
            expected += line + "\n";
        }
        ASSERT_TRUE(peer.sendTo(port, request, ip.c_str()));
        expected += request + "\n";
        auto answer = peer.receive(std::chrono::milliseconds(30000));
        ASSERT_TRUE(answer.has_value()) << "no answer to batch " << batch;
        EXPECT_EQ(answer->text[0], 'n');
    }

    int status = runner.kill();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    auto text = readFile(dir / (ip + "@" + std::to_string(port) + ".txt"));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, expected);
}

}  // namespace
}  // namespace palaver::test
