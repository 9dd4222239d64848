// A thread's own CPU time read from /proc: the parser of the stat line, the
// readings of a thread that burns CPU and of one that sleeps, and a node's
// receive thread as LocalNodes reads it, kept past its crash or stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "run/nodes.h"
#include "test_support.h"

namespace palaver::lab {
namespace {

// The state letter of thread `tid` of this process (R, S, ...); '?' when it
// cannot be read.
char threadState(int64_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

TEST(StatCpuTicks, UserPlusSystemFromFieldsFourteenAndFifteen) {
    // The fields after the name: state ppid pgrp session tty tpgid flags
    // minflt cminflt majflt cmajflt utime stime ...
    const std::string tail = " 0 0 0 20 0 1 0 100 2000 30 ";
    const struct {
        const char* what;
        std::string stat;
        std::optional<uint64_t> ticks;
    } cases[] = {
        {"plain name", "4242 (palaver) S 1 4242 4242 0 -1 4194560 95 0 3 0 17 5" + tail, 22},
        {"page faults beside the times", "4242 (palaver) S 1 4242 4242 0 -1 4194560 95 11 3 9 17 5" + tail, 22},
        {"a name with spaces and brackets", "4242 (a) b (c) S 1 4242 4242 0 -1 4194560 95 0 3 0 7 400" + tail, 407},
        {"line break after stime", "7 (x) R 1 7 7 0 -1 0 0 0 0 0 1 2\n", 3},
        {"cut short before stime", "7 (x) R 1 7 7 0 -1 0 0 0 0 0 1", std::nullopt},
        {"a word for utime", "7 (x) R 1 7 7 0 -1 0 0 0 0 0 many 2 0", std::nullopt},
        {"no name", "7 x R 1 7 7 0 -1 0 0 0 0 0 1 2 0", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(statCpuTicks(c.stat), c.ticks) << c.what;
}

TEST(ThreadCpuMs, NoReadingForAThreadThatDoesNotRun) {
    EXPECT_FALSE(threadCpuMs(0));
    EXPECT_FALSE(threadCpuMs(-3));
    int64_t ended = 0;
    std::thread t([&] { ended = ::gettid(); });
    t.join();
    ASSERT_GT(ended, 0);
    // Its /proc entry goes once the kernel has released it, which may come
    // a moment after the join returns.
    for (int k = 0; k < 5000 && threadCpuMs(ended); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(threadCpuMs(ended));
}

// One thread burns CPU until its own reading shows it, then sleeps on a
// condition variable; while it sleeps, this thread burns CPU until its own
// reading has grown, and the sleeper's reading must not have moved.
TEST(ThreadCpuMs, GrowsWhileTheThreadBurnsAndStandsStillWhileItSleeps) {
    std::mutex m;
    std::condition_variable cv;
    bool burnt = false, release = false;
    std::atomic<int64_t> tid{0};
    std::thread worker([&] {
        tid = ::gettid();
        volatile uint64_t sink = 0;
        while (threadCpuMs(tid.load()).value_or(0) <= 0) {
            for (int k = 0; k < 100000; ++k) sink = sink + static_cast<uint64_t>(k);
        }
        std::unique_lock<std::mutex> lock(m);
        burnt = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return burnt; });
    }
    // Once the kernel shows it asleep on the condition variable, its time
    // stands still.
    while (threadState(tid.load()) != 'S') std::this_thread::yield();
    const std::optional<int64_t> first = threadCpuMs(tid.load());
    ASSERT_TRUE(first);
    EXPECT_GT(*first, 0);

    const auto self = static_cast<int64_t>(::gettid());
    const std::optional<int64_t> mine = threadCpuMs(self);
    ASSERT_TRUE(mine);
    volatile uint64_t sink = 0;
    while (threadCpuMs(self).value_or(0) <= *mine + 20) {
        for (int k = 0; k < 100000; ++k) sink = sink + static_cast<uint64_t>(k);
    }
    const std::optional<int64_t> second = threadCpuMs(tid.load());
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, *first);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    worker.join();
    // The joined thread's /proc entry goes once the kernel has released it,
    // which may come a moment after the join returns.
    for (int k = 0; k < 5000 && threadCpuMs(tid.load()); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(threadCpuMs(tid.load()));
}

// Datagrams at node 0 until its receive thread has used CPU time that
// /proc shows, then its counters.
NodeCounters floodUntilBusy(LocalNodes& nodes, const std::string& ip, int port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    const std::string junk(200, 'x');
    NodeCounters c = nodes.counters(0, true);
    while (c.running && c.cpuMs <= 0) {
        for (int k = 0; k < 200; ++k) {
            ::sendto(fd, junk.data(), junk.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        c = nodes.counters(0, true);
    }
    ::close(fd);
    return c;
}

TEST(LocalNodesCpu, ACrashedOrStoppedLifeKeepsItsLastReading) {
    palaver::test::TempDir dir;
    const std::string ip = "127." + std::to_string(20 + ::getpid() % 60) + ".3.9";
    const int port = 47000 + ::getpid() % 1000;
    LocalNodes nodes(1, std::chrono::steady_clock::now());
    EXPECT_EQ(nodes.counters(0, true).cpuMs, -1);  // no life yet

    for (const char* end : {"crash", "stop"}) {
        int32_t id = 0;
        std::string error;
        ASSERT_EQ(nodes.start(0, ip, port, dir.path().string(), 5, id, error), 0) << end << ": " << error;
        const NodeCounters before = floodUntilBusy(nodes, ip, port);
        ASSERT_TRUE(before.running) << end;
        EXPECT_EQ(nodes.counters(0, false).cpuMs, -1) << end << ": not asked for";
        ASSERT_GT(before.cpuMs, 0) << end;
        ASSERT_GT(before.received, 0u) << end;
        if (std::string(end) == "crash") {
            nodes.crash(0);
        } else {
            ASSERT_TRUE(nodes.stop(0));
        }
        const NodeCounters after = nodes.counters(0, true);
        EXPECT_FALSE(after.running) << end;
        EXPECT_GE(after.cpuMs, before.cpuMs) << end;
        EXPECT_GE(after.received, before.received) << end;
        // Nothing runs any more: the reading stays.
        EXPECT_EQ(nodes.counters(0, true).cpuMs, after.cpuMs) << end;
    }
}

}  // namespace
}  // namespace palaver::lab
