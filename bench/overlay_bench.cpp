// N real nodes in one process, each on its own loopback address 127.0.0.x,
// joined one after another through random contacts with the real protocol;
// then chosen nodes type lines, and every node is made busy at once.
//
// Every node's sends pass through a hook that counts them and then sends
// from the node's own socket, exactly as the node itself would; the same
// hook notes when each node first forwards the line being watched, which is
// the moment it accepted the line (an accepted chat datagram is always
// forwarded, a duplicate never).
//
// Usage: palaver_overlay_bench [N ...]   (default 10 50 100 200)
// Output: a Markdown section on stdout; progress on stderr.
#include <poll.h>
#include <sys/resource.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "datagram.h"
#include "node.h"

namespace {

using namespace palaver;
using namespace palaver::bench;

constexpr int LinesPerN = 7;
constexpr int BlastDatagrams = 100;
constexpr const char* BlasterIp = "127.0.0.250";

std::atomic<long> TotalSends{0};

// The line being watched: originator key and sequence.
struct Watch {
    std::atomic<bool> active{false};
    std::string key;
    int32_t sequence = 0;
    Clock::time_point start;
    std::atomic<int> arrived{0};
};
Watch TheWatch;

struct BenchNode {
    std::unique_ptr<Node> node = std::make_unique<Node>();
    std::string ip;
    int port = 0;
    std::string key;
    std::atomic<int64_t> acceptedAtNs{-1};  // since TheWatch.start; -1 not yet
};

bool watchedLine(std::string_view text) {
    if (text.size() < 40 || text[0] != 'S') return false;
    std::string_view key = TheWatch.key;
    if (text.substr(8, key.size()) != key) return false;
    char after = text.size() > 8 + key.size() ? text[8 + key.size()] : '\0';
    if (after != '`') return false;
    return readNumber(text.substr(30, 10)) == TheWatch.sequence;
}

void installHook(BenchNode& b) {
    BenchNode* self = &b;
    b.node->setSendHook([self](const std::string& ip, int32_t port, std::string_view text) {
        ++TotalSends;
        if (TheWatch.active.load(std::memory_order_acquire) && watchedLine(text)) {
            int64_t expected = -1;
            int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - TheWatch.start).count();
            if (self->acceptedAtNs.compare_exchange_strong(expected, ns)) ++TheWatch.arrived;
        }
        sockaddr_in to = makeSockaddr(ip, port & 0xFFFF);
        ::sendto(self->node->state().udpSocket, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    });
}

// Waits until no node has sent anything for `calm` (or `limit` has passed).
void waitQuiet(std::chrono::milliseconds calm = std::chrono::milliseconds(150),
               std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    auto deadline = Clock::now() + limit;
    long last = TotalSends.load();
    auto lastChange = Clock::now();
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        long now = TotalSends.load();
        if (now != last) {
            last = now;
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange >= calm) {
            return;
        }
    }
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

struct Result {
    int n = 0;
    double buildSeconds = 0;
    double joinMedianMs = 0, joinWorstMs = 0;
    int joinsFailed = 0;
    std::vector<double> floodMs;  // one per line: until every node had accepted it
    std::vector<double> sendsPerFlood;
    std::vector<double> expectedSends;
    int maxHops = 0;
    double avgHops = 0;
    int linesIncomplete = 0;
    double randomPeersAvg = 0;
    std::vector<double> rates;  // per node, datagrams per second while busy
    int ratesMissing = 0;
    double blastSeconds = 0;
    double blastCores = 0;  // process CPU time over wall time during the busy phase
};

double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Result runOverlay(int n, std::mt19937& rng) {
    Result r;
    r.n = n;
    TotalSends = 0;
    std::vector<std::unique_ptr<BenchNode>> nodes;
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        auto b = std::make_unique<BenchNode>();
        b->ip = "127.0.0." + std::to_string(10 + i);
        b->port = freePort(b->ip);
        b->key = b->ip + "@" + std::to_string(b->port);
        copyField(b->node->NodeName, "unknown");
        b->node->LogFlag = 0;
        installHook(*b);
        b->node->initialise(static_cast<uint32_t>(rng()));
        if (b->port == 0 || b->node->startNode(b->ip, b->port) != 0) {
            std::fprintf(stderr, "cannot start a node on %s\n", b->ip.c_str());
            std::exit(1);
        }
        nodes.push_back(std::move(b));
    }
    std::vector<double> joinMs;
    for (int i = 1; i < n; ++i) {
        BenchNode& newcomer = *nodes[i];
        BenchNode& contact = *nodes[std::uniform_int_distribution<int>(0, i - 1)(rng)];
        auto j0 = Clock::now();
        newcomer.node->requestJoin(contact.ip, contact.port);
        bool ok = waitFor(
            [&] {
                if (newcomer.node->JoinState.load() != JoinedAsNewcomer) return false;
                auto g = newcomer.node->lock();
                return newcomer.node->members().count(newcomer.key) == 1;
            },
            std::chrono::milliseconds(10000));
        if (!ok) ++r.joinsFailed;
        joinMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - j0).count());
    }
    r.buildSeconds = secondsSince(t0);
    r.joinMedianMs = median(joinMs);
    r.joinWorstMs = maxOf(joinMs);
    std::fprintf(stderr, "N=%d built in %.2f s (%d joins failed)\n", n, r.buildSeconds, r.joinsFailed);
    waitQuiet();

    // Lines from chosen nodes.
    std::vector<int> hopsAll;
    for (int line = 0; line < LinesPerN; ++line) {
        BenchNode& origin = *nodes[std::uniform_int_distribution<int>(0, n - 1)(rng)];
        waitQuiet();
        for (auto& b : nodes) b->acceptedAtNs = -1;
        TheWatch.key = origin.key;
        TheWatch.sequence = origin.node->ChatSequence.load();
        TheWatch.arrived = 0;
        long before = TotalSends.load();
        TheWatch.start = Clock::now();
        TheWatch.active.store(true, std::memory_order_release);
        origin.node->sendOwnChat("benchmark line " + std::to_string(line));
        bool all = waitFor([&] { return TheWatch.arrived.load() >= n; }, std::chrono::milliseconds(20000));
        waitQuiet();
        TheWatch.active = false;
        long sends = TotalSends.load() - before;
        if (!all) ++r.linesIncomplete;
        int64_t worstNs = 0;
        for (auto& b : nodes) worstNs = std::max<int64_t>(worstNs, b->acceptedAtNs.load());
        r.floodMs.push_back(static_cast<double>(worstNs) / 1e6);
        r.sendsPerFlood.push_back(static_cast<double>(sends));
        // What the rules say a flood costs: the originator's send to itself
        // plus 2 + randomCount forwards at every node.
        double expected = 1;
        for (auto& b : nodes) {
            auto g = b->node->lock();
            expected += 2 + b->node->state().table.randomCount;
            auto it = b->node->members().find(origin.key);
            if (it != b->node->members().end() && it->second.lastSequence == TheWatch.sequence) {
                hopsAll.push_back(it->second.hops);
            }
        }
        r.expectedSends.push_back(expected);
    }
    if (!hopsAll.empty()) {
        r.maxHops = *std::max_element(hopsAll.begin(), hopsAll.end());
        double sum = 0;
        for (int h : hopsAll) sum += h;
        r.avgHops = sum / static_cast<double>(hopsAll.size());
    }
    {
        double sum = 0;
        for (auto& b : nodes) {
            auto g = b->node->lock();
            sum += b->node->state().table.randomCount;
        }
        r.randomPeersAvg = sum / n;
    }
    std::fprintf(stderr, "N=%d lines done\n", n);

    // Every node busy at once: each gets BlastDatagrams datagrams without a
    // handler and then one join request whose answer comes back to the
    // blaster; the answer marks the moment the node got through its queue.
    waitQuiet();
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own = makeSockaddr(BlasterIp, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own);
    socklen_t len = sizeof own;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len);
    int rcv = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    const std::string filler = "?00`001`x`";
    const std::string marker = "N00`001`" + std::string(BlasterIp) + "@" + std::to_string(ntohs(own.sin_port)) + "`";
    std::map<std::string, std::size_t> byKey;
    for (std::size_t i = 0; i < nodes.size(); ++i) byKey[nodes[i]->key] = i;
    std::vector<Clock::time_point> firstSent(n), answered(n);
    std::vector<bool> got(n, false);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buf[2048];
        int count = 0;
        while (!stop.load() && count < n) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            if (::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl) <= 0) continue;
            auto at = Clock::now();
            char ipText[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &from.sin_addr, ipText, sizeof ipText);
            auto it = byKey.find(std::string(ipText) + "@" + std::to_string(ntohs(from.sin_port)));
            if (it != byKey.end() && !got[it->second]) {
                answered[it->second] = at;
                got[it->second] = true;
                ++count;
            }
        }
    });
    auto b0 = Clock::now();
    double cpu0 = processCpuSeconds();
    // Round-robin, so that every queue fills at the same pace.
    std::vector<sockaddr_in> to(n);
    for (int i = 0; i < n; ++i) to[i] = makeSockaddr(nodes[i]->ip, nodes[i]->port);
    for (int k = 0; k <= BlastDatagrams; ++k) {
        const std::string& text = k < BlastDatagrams ? filler : marker;
        for (int i = 0; i < n; ++i) {
            if (k == 0) firstSent[i] = Clock::now();
            ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to[i]), sizeof to[i]);
        }
    }
    waitFor([&] { return std::count(got.begin(), got.end(), true) == n; }, std::chrono::milliseconds(20000));
    stop = true;
    reader.join();
    r.blastSeconds = secondsSince(b0);
    r.blastCores = (processCpuSeconds() - cpu0) / r.blastSeconds;
    for (int i = 0; i < n; ++i) {
        if (!got[i]) {
            ++r.ratesMissing;
            continue;
        }
        double s = std::chrono::duration<double>(answered[i] - firstSent[i]).count();
        r.rates.push_back((BlastDatagrams + 1) / s);
    }
    ::close(fd);
    std::fprintf(stderr, "N=%d busy phase done in %.2f s\n", n, r.blastSeconds);

    // Stop every receive thread first, then let the destructors wait.
    for (auto& b : nodes) {
        b->node->KeepReceiving = false;
        b->node->sendStop();
    }
    nodes.clear();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10, 50, 100, 200};
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::mt19937 rng(20261209);
    std::vector<Result> results;
    auto all0 = Clock::now();
    for (int n : sizes) {
        if (n < 2 || n > 200) continue;
        results.push_back(runOverlay(n, rng));
    }

    std::printf("## Overlay of N nodes in one process\n\n");
    std::printf("N real nodes (each its own receive thread and socket) on 127.0.0.10 and up, datagram log off. "
                "Node i joins through a contact drawn at random from the nodes already joined, and the next join "
                "starts once the newcomer has finished (JoinState 1 and its own greeting is back in its member "
                "table). Then %d lines are typed at nodes drawn at random, each after the overlay has fallen "
                "quiet (no send for 150 ms). A node counts as holding a line from the moment it first forwards "
                "it. Every send is counted at a hook that then sends it from the node's own socket. Finally "
                "every node is made busy at once: %d datagrams without a handler and one join request each, "
                "round-robin; a node's handling rate is %d datagrams over the time from its first datagram to "
                "its answer; CPU while all busy is the process's CPU time over the wall time of that phase (this "
                "machine has %u cores). Whole run: %.1f s.\n\n",
                LinesPerN, BlastDatagrams, BlastDatagrams + 1, std::thread::hardware_concurrency(), secondsSince(all0));
    std::printf("| N | build | join (median / worst) | line reaches all (median / worst) | datagrams per flood "
                "(median; rule: 1 + Σ(2 + randomCount)) | hops (largest / average) | random peers per node | "
                "handling rate while all busy (median / slowest node; share of 1000/s) | CPU while all busy |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Result& r : results) {
        std::printf("| %d | %.2f s%s | %.1f / %.1f ms | %.1f / %.1f ms%s | %.0f (%.0f) | %d / %.2f | %.2f | "
                    "%.0f / %.0f /s (%.1f %% / %.1f %%)%s | %.2f cores |\n",
                    r.n, r.buildSeconds,
                    r.joinsFailed ? (" (" + std::to_string(r.joinsFailed) + " joins timed out)").c_str() : "",
                    r.joinMedianMs, r.joinWorstMs, median(r.floodMs), maxOf(r.floodMs),
                    r.linesIncomplete ? (" (" + std::to_string(r.linesIncomplete) + " lines did not reach all)").c_str()
                                      : "",
                    median(r.sendsPerFlood), median(r.expectedSends), r.maxHops, r.avgHops, r.randomPeersAvg,
                    median(r.rates), minOf(r.rates), median(r.rates) / 10.0, minOf(r.rates) / 10.0,
                    r.ratesMissing ? (" (" + std::to_string(r.ratesMissing) + " nodes never answered)").c_str() : "",
                    r.blastCores);
    }
    std::printf("\n");
    return 0;
}
