// Micro-benchmarks of the node's per-datagram work, without sockets: every
// send goes to a hook that only counts it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "datagram.h"
#include "node.h"

namespace {

using namespace palaver;
using palaver::bench::memberIp;
using palaver::bench::setChatSequence;
using palaver::bench::setUpDetachedNode;

const std::string SampleLine = "the quick brown fox jumps over the lazy dog, 0123456789";

void BM_ParseDatagram_Chat(benchmark::State& state) {
    std::string datagram = composeChat(7, "192.168.100.200", 50000, 123456, SampleLine);
    for (auto _ : state) {
        DatagramFields f = parseDatagram(datagram, "192.168.100.201");
        benchmark::DoNotOptimize(f);
    }
}
BENCHMARK(BM_ParseDatagram_Chat);

void BM_ParseDatagram_Walk(benchmark::State& state) {
    std::string datagram = composeWalk("192.168.100.200", 50000);
    for (auto _ : state) {
        DatagramFields f = parseDatagram(datagram, "192.168.100.201");
        benchmark::DoNotOptimize(f);
    }
}
BENCHMARK(BM_ParseDatagram_Walk);

// What an originator does per line: compose the TTL 0 datagram.
void BM_ComposeChat(benchmark::State& state) {
    int32_t sequence = 1;
    for (auto _ : state) {
        std::string d = composeChat(0, "192.168.100.200", 50000, sequence++, SampleLine);
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_ComposeChat);

// What a forwarding node adds to an accepted chat datagram: the new header
// over the old one, then one send per neighbour (five, to a counting hook).
void BM_ForwardChat(benchmark::State& state) {
    Node node;
    int64_t sends = 0;
    setUpDetachedNode(node, [&](const std::string&, int32_t, std::string_view) { ++sends; });
    const std::string original = composeChat(3, "192.168.100.200", 50000, 42, SampleLine);
    std::string datagram = original;
    int32_t ttl = 3;
    for (auto _ : state) {
        rewriteHeader(datagram, chatForwardHeader(ttl + 1));
        node.sendToNeighbours(datagram.c_str());
        ttl = (ttl + 1) & 63;
    }
    state.counters["sends/op"] = static_cast<double>(sends) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ForwardChat);

// A node whose member table holds `members` originators, each with the chat
// datagram that introduced it, and an order in which to visit them.
struct ChatTable {
    Node node;
    int64_t sends = 0;
    sockaddr_in from = bench::makeSockaddr("10.255.255.2", 50000);
    std::vector<std::string> datagrams;
    std::vector<int> order;

    explicit ChatTable(int members) {
        setUpDetachedNode(node, [this](const std::string&, int32_t, std::string_view) { ++sends; });
        datagrams.reserve(members);
        for (int i = 0; i < members; ++i) {
            datagrams.push_back(composeChat(1 + i % 7, memberIp(i), 50000, 1, SampleLine));
            node.handleDatagram(datagrams.back(), from);
        }
        order.resize(members);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        sends = 0;
    }
    std::size_t memberCount() {
        auto g = node.lock();
        return node.members().size();
    }
};

// handleChat through the receive path (parse + dispatch + sends) with a
// member table of a given size. Each datagram carries a newer sequence for
// a member picked in random order, so it is accepted, stored in the history
// and forwarded five times; this is the common case of a busy overlay.
void BM_HandleChat_Accepted(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    ChatTable t(members);
    if (static_cast<int>(t.memberCount()) != members) state.SkipWithError("member table not filled");
    std::vector<int32_t> sequence(members, 1);
    std::size_t k = 0;
    for (auto _ : state) {
        int i = t.order[k];
        if (++k == t.order.size()) k = 0;
        setChatSequence(t.datagrams[i], ++sequence[i]);
        t.node.handleDatagram(t.datagrams[i], t.from);
    }
    state.counters["sends/op"] = static_cast<double>(t.sends) / static_cast<double>(state.iterations());
    state.counters["members"] = static_cast<double>(t.memberCount());
}
BENCHMARK(BM_HandleChat_Accepted)->Arg(10)->Arg(1000)->Arg(100000);

// The other half of every flood: copies that arrive again from another
// neighbour and are dropped (lookup and critical-member update only).
void BM_HandleChat_Duplicate(benchmark::State& state) {
    ChatTable t(static_cast<int>(state.range(0)));
    std::size_t k = 0;
    for (auto _ : state) {
        int i = t.order[k];
        if (++k == t.order.size()) k = 0;
        t.node.handleDatagram(t.datagrams[i], t.from);
    }
    if (t.sends != 0) state.SkipWithError("a duplicate was forwarded");
}
BENCHMARK(BM_HandleChat_Duplicate)->Arg(10)->Arg(1000)->Arg(100000);

void fillMembers(Node& node, int members) {
    sockaddr_in from = bench::makeSockaddr("10.255.255.2", 50000);
    for (int i = 0; i < members; ++i) {
        node.handleDatagram(composeChat(1 + i % 7, memberIp(i), 50000, 1, "x"), from);
    }
}

void BM_StatusReportText(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    Node node;
    setUpDetachedNode(node, [](const std::string&, int32_t, std::string_view) {});
    fillMembers(node, members);
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = node.statusReportText();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StatusReportText)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_WriteStatusReport(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    Node node;
    setUpDetachedNode(node, [](const std::string&, int32_t, std::string_view) {});
    fillMembers(node, members);
    std::FILE* file = std::tmpfile();
    if (!file) {
        state.SkipWithError("no temporary file");
        return;
    }
    for (auto _ : state) {
        std::rewind(file);
        node.writeStatusReport(file);
    }
    std::fclose(file);
}
BENCHMARK(BM_WriteStatusReport)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
