#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "probe.h"

extern char** environ;

namespace {

using randprobe::Rand15;
using randprobe::runProbe;
using randprobe::scaleDraw;

std::string fmt(const char* f, int a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, f, a);
    return buf;
}

// Splits the tool's output into (n, v) pairs, checking that every record is
// exactly "%3d : %3d" and that n counts up from 2 without gaps.
std::vector<std::pair<int, int>> parseRecords(const std::string& s) {
    std::vector<std::pair<int, int>> recs;
    size_t pos = 0;
    for (int n = 2; pos < s.size(); ++n) {
        const std::string head = fmt("%3d : ", n);
        if (s.compare(pos, head.size(), head) != 0) {
            ADD_FAILURE() << "bad record for n=" << n << " at offset " << pos << ": '" << s.substr(pos, 16) << "'";
            return recs;
        }
        pos += head.size();
        // The value field is at least three wide; pick the width after which
        // the input ends or the next record starts.
        const std::string nextHead = fmt("%3d : ", n + 1);
        size_t w = 3;
        while (pos + w < s.size() && s.compare(pos + w, nextHead.size(), nextHead) != 0 && w < 11)
            ++w;
        const std::string field = s.substr(pos, w);
        const int v = std::atoi(field.c_str());
        if (fmt("%3d", v) != field) {
            ADD_FAILURE() << "bad value field for n=" << n << ": '" << field << "'";
            return recs;
        }
        recs.emplace_back(n, v);
        pos += w;
    }
    return recs;
}

TEST(Rand15, SeedOneGivesKnownSequence) {
    Rand15 g;
    g.seed(1);
    EXPECT_EQ(g.next(), 41);
    EXPECT_EQ(g.next(), 18467);  // state has bit 31 set here: masked off
    EXPECT_EQ(g.next(), 6334);
    EXPECT_EQ(g.next(), 26500);
}

TEST(ScaleDraw, ExactMultiplesMayRoundBelow) {
    // 1085 * 151 == 5 * 32767, but the rounded quotient times 151 falls
    // just under 5. Plain double arithmetic would print 5 here.
    EXPECT_EQ(scaleDraw(1085, 151), 4);
    // 17969 * 93 == 51 * 32767; in extended precision it stays at 51,
    // whereas double arithmetic would drop to 50.
    EXPECT_EQ(scaleDraw(17969, 93), 51);
}

TEST(ScaleDraw, SweepStaysBelowNAndMatchesIntegerQuotient) {
    for (int n : {2, 3, 7, 151, 999, 1000, 32767, 65536, 1000003, INT_MAX}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(scaleDraw(0, n), 0);
        EXPECT_EQ(scaleDraw(32767, n), n);
        for (int r = 1; r < 32767; ++r) {
            const std::int64_t prod = static_cast<std::int64_t>(r) * n;
            const int q = static_cast<int>(prod / 32767);
            const int v = scaleDraw(r, n);
            ASSERT_GE(v, 0) << "r=" << r;
            ASSERT_LE(v, n - 1) << "r=" << r;
            // Off the exact multiples the rounding error is far smaller than
            // the distance to the next integer, so truncation is exact.
            if (prod % 32767 == 0)
                ASSERT_TRUE(v == q || v == q - 1) << "r=" << r << " v=" << v << " q=" << q;
            else
                ASSERT_EQ(v, q) << "r=" << r;
        }
    }
}

// Runs the loop in-process over a temporary input file with a fixed seed.
struct LoopRun {
    std::string out;
    int status;
    int nextDraw;     // what the generator yields after the loop
    int restOfInput;  // first character the loop left unread
};

LoopRun runLoop(const std::string& input) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    Rand15 g;
    g.seed(1);
    LoopRun res{};
    res.status = runProbe(in, out, g);
    res.nextDraw = g.next();
    res.restOfInput = std::getc(in);
    std::rewind(out);
    for (int ch; (ch = std::getc(out)) != EOF;)
        res.out.push_back(static_cast<char>(ch));
    std::fclose(in);
    std::fclose(out);
    return res;
}

TEST(ProbeLoop, StopsRightAfterZeroWithOneRecordPerCharacter) {
    // Draws with seed 1: 41, 18467, 6334, 26500 -> 0, 1, 0, 4 for n = 2..5.
    LoopRun r = runLoop("12 0tail");
    EXPECT_EQ(r.out, "  2 :   0  3 :   1  4 :   0  5 :   4");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.restOfInput, 't');

    r = runLoop("0");
    EXPECT_EQ(r.out, "  2 :   0");
    EXPECT_EQ(r.restOfInput, EOF);
}

TEST(ProbeLoop, EndOfInputStopsWithoutPrintingOrDrawing) {
    LoopRun r = runLoop("a\n");
    EXPECT_EQ(r.out, "  2 :   0  3 :   1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.nextDraw, 6334);  // exactly two draws consumed

    r = runLoop("");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

// --- the built program, driven through pipes ---------------------------

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(10);

struct Child {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;

    Child() {
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        char* argv[] = {const_cast<char*>(RANDPROBE_BIN), nullptr};
        if (posix_spawn(&pid, RANDPROBE_BIN, &fa, nullptr, argv, environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        toChild = in[1];
        fromChild = out[0];
    }
    ~Child() {
        closeInput();
        if (fromChild >= 0)
            close(fromChild);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void send(const std::string& s) { ASSERT_EQ(write(toChild, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    void closeInput() {
        if (toChild >= 0)
            close(toChild);
        toChild = -1;
    }

    // Reads until `want` bytes have arrived, the output ends, or time is up.
    std::string read(size_t want = SIZE_MAX) {
        std::string got;
        const auto end = Clock::now() + kLimit;
        while (got.size() < want && Clock::now() < end) {
            pollfd p{fromChild, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
                continue;
            char buf[4096];
            const ssize_t k = ::read(fromChild, buf, sizeof buf);
            if (k <= 0)
                break;
            got.append(buf, static_cast<size_t>(k));
        }
        return got;
    }

    // Exit status, or -1 if the program is still running when time is up.
    int wait() {
        const auto end = Clock::now() + kLimit;
        int st = 0;
        while (Clock::now() < end) {
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
};

TEST(ProbeProgram, LineEndingInZeroGivesFourRecords) {
    Child c;
    ASSERT_GT(c.pid, 0);
    c.send("12 0\n");
    const auto recs = parseRecords(c.read());
    EXPECT_EQ(c.wait(), 0);
    ASSERT_EQ(recs.size(), 4u);
    for (auto [n, v] : recs) {
        EXPECT_GE(v, 0);
        EXPECT_LE(v, n);
    }
}

TEST(ProbeProgram, EndOfInputExitsZeroWithoutHanging) {
    Child c;
    ASSERT_GT(c.pid, 0);
    c.send("a\n");
    c.closeInput();
    const auto recs = parseRecords(c.read());
    EXPECT_EQ(c.wait(), 0) << "-1 means still running after end of input";
    EXPECT_EQ(recs.size(), 2u);
}

TEST(ProbeProgram, OutputIsVisibleBeforeMoreInputArrives) {
    Child c;
    ASSERT_GT(c.pid, 0);
    c.send("ab");
    // Input stays open: the two records must arrive without a line end or
    // an exit to push them out.
    const std::string early = c.read(18);
    EXPECT_EQ(parseRecords(early).size(), 2u) << "got '" << early << "'";
    c.send("0");
    EXPECT_EQ(parseRecords(early + c.read()).size(), 3u);
    EXPECT_EQ(c.wait(), 0);
}

TEST(ProbeProgram, WidthGrowsToFourPlacesFromThousand) {
    Child c;
    ASSERT_GT(c.pid, 0);
    c.send(std::string(1000, 'x') + "0");
    const std::string out = c.read();
    EXPECT_EQ(c.wait(), 0);
    // parseRecords demands "%3d : " for each n, so "1000 : " with no cut
    // and no padding, and nothing between records (no line ends).
    const auto recs = parseRecords(out);
    ASSERT_EQ(recs.size(), 1001u);  // n = 2 .. 1002
    EXPECT_EQ(recs.back().first, 1002);
    for (auto [n, v] : recs)
        ASSERT_TRUE(v >= 0 && v <= n) << n << " : " << v;
}

}  // namespace
