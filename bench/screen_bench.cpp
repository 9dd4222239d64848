// Status screen: one full redraw into the 640 x 480 back buffer, and its
// three steps (snapshot under the node lock, the formatted lines, the
// painting). The node behind it is full: 10,000 members, a long history,
// three random peers. Runs on Qt's offscreen platform unless QT_QPA_PLATFORM
// says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "datagram.h"
#include "node.h"
#include "statusscreen.h"

namespace {

using namespace palaver;
using namespace palaver::shell;

QString backgroundPath() { return QString::fromUtf8(PALAVER_SOURCE_DIR "/image/BG1.bmp"); }

// A started-looking node (phase 2) with `members` members; every member's
// first line is in the history, as a node that heard them all would hold.
void fillNode(Node& node, int members) {
    bench::setUpDetachedNode(node, [](const std::string&, int32_t, std::string_view) {});
    sockaddr_in from = bench::makeSockaddr("10.255.255.2", 50000);
    for (int i = 0; i < members; ++i) {
        node.handleDatagram(composeChat(1 + i % 9, bench::memberIp(i), 50000, 1 + i % 50,
                                        "a line of chat of a usual length, with some words in it"),
                            from);
    }
    node.NodePhase = 2;
}

void BM_DrawStatusScreen(benchmark::State& state) {
    Node node;
    fillNode(node, static_cast<int>(state.range(0)));
    StatusScreen screen;
    screen.create(backgroundPath());
    for (auto _ : state) screen.draw(node);
    state.counters["items"] = static_cast<double>(statusItems(takeSnapshot(node)).size());
}
BENCHMARK(BM_DrawStatusScreen)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_TakeSnapshot(benchmark::State& state) {
    Node node;
    fillNode(node, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        StatusSnapshot s = takeSnapshot(node);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_TakeSnapshot)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_StatusItems(benchmark::State& state) {
    Node node;
    fillNode(node, static_cast<int>(state.range(0)));
    StatusSnapshot s = takeSnapshot(node);
    for (auto _ : state) {
        auto items = statusItems(s);
        benchmark::DoNotOptimize(items);
    }
}
BENCHMARK(BM_StatusItems)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RenderItems(benchmark::State& state) {
    Node node;
    fillNode(node, static_cast<int>(state.range(0)));
    auto items = statusItems(takeSnapshot(node));
    StatusScreen screen;
    screen.create(backgroundPath());
    for (auto _ : state) screen.render(items);
}
BENCHMARK(BM_RenderItems)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The fixed part of every redraw: background copy and black box, no text
// (what a node that is not started shows).
void BM_RenderBackgroundOnly(benchmark::State& state) {
    StatusScreen screen;
    screen.create(backgroundPath());
    std::vector<TextItem> none;
    for (auto _ : state) screen.render(none);
}
BENCHMARK(BM_RenderBackgroundOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
