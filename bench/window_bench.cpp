// Window costs: the real shell (main window, tick loop, control panel,
// status screen) on whatever display Qt is given (Xvfb or offscreen). The
// node is started through the start button's command on 127.0.0.1, then the
// program is left alone: its CPU share over the idle period, the time of
// every tick in that period (control swap, requests, full redraw and the
// copy onto the window), and its resident memory.
//
// Usage: palaver_window_bench <members> <idle seconds> <background.bmp> [runs]
// With members > 0 the node's member table and history are filled first, so
// that every tick draws a full screen.
// Each run is a fresh shell and node in the same process; the row gives the
// median idle CPU share over the runs and the tick times of all runs pooled.
// Output: one Markdown table row on stdout.
#include <sys/resource.h>

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "datagram.h"
#include "shell.h"
#include "tickloop.h"

namespace {

using namespace palaver;
using namespace palaver::shell;
using bench::Clock;

double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// VmRSS or VmHWM from /proc/self/status, in KiB.
long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string name;
    long value = 0;
    while (in >> name) {
        if (name == std::string(field) + ":") {
            in >> value;
            return value;
        }
        std::getline(in, name);
    }
    return 0;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct RunResult {
    bool ok = false;
    std::vector<double> tickMs;
    double idleCpu = 0, idleWall = 0;
    long rss = 0, hwm = 0;
};

std::string list(const std::vector<double>& v) {
    std::string s;
    char buf[32];
    for (double x : v) {
        std::snprintf(buf, sizeof buf, "%.2f", x);
        if (!s.empty()) s += ", ";
        s += buf;
    }
    return s;
}

RunResult runOnce(int members, double idleSeconds, const ShellOptions& options) {
    std::vector<double> tickMs;
    double idleCpu = 0, idleWall = 0;
    long rss = 0, hwm = 0;
    bool started = false, gaveUp = false;
    {
        Shell shell(options);
        if (!shell.createMainWindow()) {
            std::fprintf(stderr, "no main window\n");
            return RunResult{};
        }
        enum class Step { WaitForPanel,
                          WaitForStart,
                          Settle,
                          Idle,
                          Closing } step = Step::WaitForPanel;
        Clock::time_point stepStart = Clock::now();
        const Clock::time_point begin = Clock::now();
        double cpu0 = 0;

        // The same loop as the program's, with each tick timed.
        LoopPlatform platform;
        platform.clock = millisecondClock;
        platform.sleep = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
        platform.pumpEvents = [&shell] {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            return !shell.quitPosted();
        };
        runLoop(platform, [&] {
            auto t0 = Clock::now();
            shell.appTick();
            double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            if (step == Step::Idle) tickMs.push_back(ms);

            switch (step) {
            case Step::WaitForPanel:
                if (shell.sceneState() == SceneRunning && shell.startButton()) {
                    if (members > 0) {
                        // Heard before the start, as if from a busy overlay:
                        // the node is not started yet, so nothing is sent.
                        sockaddr_in from = bench::makeSockaddr("10.255.255.2", 50000);
                        for (int i = 0; i < members; ++i) {
                            shell.node().handleDatagram(
                                composeChat(1 + i % 9, bench::memberIp(i), 50000, 1 + i % 50,
                                            "a line of chat of a usual length, with some words in it"),
                                from);
                        }
                    }
                    shell.addressBox()->setText(QStringLiteral("127.0.0.1"));
                    shell.portBox()->setText(QString::number(bench::freePort("127.0.0.1")));
                    shell.onCommand(StartButtonId);
                    step = Step::WaitForStart;
                    stepStart = Clock::now();
                }
                break;
            case Step::WaitForStart:
                if (shell.node().NodePhase.load() == 2) {
                    started = true;
                    step = Step::Settle;
                    stepStart = Clock::now();
                }
                break;
            case Step::Settle:
                if (Clock::now() - stepStart >= std::chrono::seconds(2)) {
                    step = Step::Idle;
                    stepStart = Clock::now();
                    cpu0 = processCpuSeconds();
                }
                break;
            case Step::Idle:
                if (bench::secondsSince(stepStart) >= idleSeconds) {
                    idleWall = bench::secondsSince(stepStart);
                    idleCpu = processCpuSeconds() - cpu0;
                    rss = statusKiB("VmRSS");
                    hwm = statusKiB("VmHWM");
                    step = Step::Closing;
                    shell.onCloseRequest();
                }
                break;
            case Step::Closing:
                break;
            }
            if (step != Step::Closing && bench::secondsSince(begin) > idleSeconds + 30) {
                gaveUp = true;
                step = Step::Closing;
                shell.onCloseRequest();
            }
        });
    }
    RunResult r;
    r.ok = started && !gaveUp && !tickMs.empty();
    r.tickMs = std::move(tickMs);
    r.idleCpu = idleCpu;
    r.idleWall = idleWall;
    r.rss = rss;
    r.hwm = hwm;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <members> <idle seconds> <background.bmp>\n", argv[0]);
        return 2;
    }
    const int members = std::atoi(argv[1]);
    const double idleSeconds = std::atof(argv[2]);
    QApplication app(argc, argv);

    std::string dir = (std::filesystem::temp_directory_path() / "palaver-window-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return 1;
    ShellOptions options;
    options.backgroundPath = QString::fromLocal8Bit(argv[3]);
    options.fileDirectory = dir;

    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    std::vector<double> shares, tickMs;
    long rss = 0, hwm = 0;
    for (int run = 0; run < runs; ++run) {
        RunResult r = runOnce(members, idleSeconds, options);
        if (!r.ok) {
            std::fprintf(stderr, "the node did not start or the idle period did not complete\n");
            std::filesystem::remove_all(dir);
            return 1;
        }
        shares.push_back(100.0 * r.idleCpu / r.idleWall);
        tickMs.insert(tickMs.end(), r.tickMs.begin(), r.tickMs.end());
        rss = r.rss;
        hwm = r.hwm;
    }
    std::filesystem::remove_all(dir);
    std::printf("| %d | %s | %.2f %% (%s) | %.2f / %.2f / %.2f ms | %zu | %.1f MiB (peak %.1f MiB) |\n", members,
                QGuiApplication::platformName().toUtf8().constData(), bench::median(shares), list(shares).c_str(),
                percentile(tickMs, 0.5), percentile(tickMs, 0.9), percentile(tickMs, 1.0), tickMs.size(),
                static_cast<double>(rss) / 1024.0, static_cast<double>(hwm) / 1024.0);
    return 0;
}
