// The MPI node host against the local one: the same four nodes, started
// with the same seeds, driven through every NodeHost call in the same
// order, one overlay in this process (LocalNodes) and one spread over the
// ranks of this MPI job (RankNodes: nodes 1-2 on rank 0, 3-4 on rank 1).
// Every answer must be the same, field by field, once the addresses (each
// overlay has its own) are told apart.
//
// Run under mpirun with two ranks (tests/lab/mpi/nodehost_diff_test.sh):
// rank 0 runs the tests, rank 1 serves its block of each test's nodes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "run/nodes.h"
#include "run/quiet.h"
#include "mpi/ranks.h"
#include "mpi/spread.h"

namespace fs = std::filesystem;
using palaver::lab::AcceptStamp;
using palaver::lab::LocalNodes;
using palaver::lab::NodeCounters;
using palaver::lab::NodeHost;
using palaver::lab::QuietWatch;
using palaver::lab::mpi::RankNodes;

namespace {

constexpr std::size_t Nodes = 4;
constexpr int Port = 46170;

// One overlay: its host, its addresses (127.<net>.0.<node>) and folder.
struct Overlay {
    NodeHost& host;
    int net;
    fs::path dir;
    std::string ip(std::size_t i) const { return "127." + std::to_string(net) + ".0." + std::to_string(i + 1); }
    int port(std::size_t i) const { return Port + static_cast<int>(i); }
    std::string address(std::size_t i) const { return ip(i) + "@" + std::to_string(port(i)); }
    // A text with this overlay's addresses written as the other's would be.
    std::string plain(std::string text) const {
        const std::string mine = "127." + std::to_string(net) + ".0.";
        for (std::size_t at = text.find(mine); at != std::string::npos; at = text.find(mine, at)) {
            text.replace(at, mine.size(), "127.N.0.");
        }
        return text;
    }
};

// The serving ranks enter palaver::lab::mpi::serve for each test's nodes
// and leave it when the test ends.
class Served {
public:
    Served() {
        uint64_t count = Nodes;
        MPI_Bcast(&count, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
    }
    ~Served() { palaver::lab::mpi::quitServing(MPI_COMM_WORLD); }
};

// Both overlays quiet: neither's count of datagrams has moved for 300 ms.
void waitQuiet(const Overlay& a, const Overlay& b) {
    const auto span = std::chrono::milliseconds(300);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    QuietWatch wa(a.host.activity(), std::chrono::steady_clock::now());
    QuietWatch wb(b.host.activity(), std::chrono::steady_clock::now());
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto now = std::chrono::steady_clock::now();
        const bool qa = wa.quiet(a.host.activity(), now, span);
        const bool qb = wb.quiet(b.host.activity(), now, span);
        if (qa && qb) return;
        ASSERT_LT(now, deadline) << "the overlays did not fall quiet";
    }
}

// A UDP socket holding ip:port, so that a node cannot bind there.
class Squatter {
public:
    Squatter(const std::string& ip, int port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Squatter() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool bound() const { return bound_; }

private:
    int fd_;
    bool bound_ = false;
};

void expectSameCounters(const Overlay& a, const Overlay& b, bool withCpu) {
    for (std::size_t i = 0; i < Nodes; ++i) {
        SCOPED_TRACE("node " + std::to_string(i + 1) + (withCpu ? ", with CPU" : ""));
        const NodeCounters x = a.host.counters(i, withCpu);
        const NodeCounters y = b.host.counters(i, withCpu);
        EXPECT_EQ(x.sent, y.sent);
        EXPECT_EQ(x.received, y.received);
        EXPECT_EQ(x.joinState, y.joinState);
        EXPECT_EQ(x.chatSequence, y.chatSequence);
        EXPECT_EQ(x.running, y.running);
        if (withCpu) {
            // A reading (the thread runs, or ran and was read): not the same
            // milliseconds, but there on both.
            EXPECT_EQ(x.cpuMs >= 0, y.cpuMs >= 0) << x.cpuMs << " against " << y.cpuMs;
        } else {
            EXPECT_EQ(x.cpuMs, -1);
            EXPECT_EQ(y.cpuMs, -1);
        }
    }
}

// A status report without what hangs on which copy of a line came first
// (the hop counts, which the receive threads' timing decides on a real
// network): its neighbours, its member count and its members.
std::string links(const std::string& table) {
    std::string out;
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Member,")) {
            out += line.substr(0, line.find(',', 7)) + "\n";
        } else if (line.find("IP@PORT,") != std::string::npos || line.starts_with("Member cnt,")) {
            out += line + "\n";
        }
    }
    return out;
}

void expectSameTables(const Overlay& a, const Overlay& b, const std::vector<std::pair<std::size_t, int32_t>>& lines) {
    for (std::size_t i = 0; i < Nodes; ++i) {
        SCOPED_TRACE("node " + std::to_string(i + 1));
        if (!a.host.counters(i, false).running) continue;
        EXPECT_EQ(a.host.memberCount(i), b.host.memberCount(i));
        EXPECT_EQ(links(a.plain(a.host.table(i))), links(b.plain(b.host.table(i))));
        for (const auto& [typist, sequence] : lines) {
            SCOPED_TRACE("the line " + std::to_string(sequence) + " of node " + std::to_string(typist + 1));
            EXPECT_TRUE(a.host.holds(i, a.address(typist), sequence));
            EXPECT_TRUE(b.host.holds(i, b.address(typist), sequence));
            EXPECT_FALSE(a.host.holds(i, a.address(typist), sequence + 1));
            EXPECT_FALSE(b.host.holds(i, b.address(typist), sequence + 1));
        }
    }
}

// Every stamp of an overlay, without its time and the hop count of its
// copy (both the timing's), its addresses made plain. A copy of TTL 0 is
// the typist's own (a greeting goes out at TTL 1 and may come back).
std::vector<std::tuple<std::size_t, int, std::string, int32_t>> stamps(const Overlay& o, int64_t untilMs) {
    std::vector<std::tuple<std::size_t, int, std::string, int32_t>> out;
    const auto all = o.host.accepts();
    EXPECT_TRUE(all.has_value());
    for (const AcceptStamp& s : all.value_or(std::vector<AcceptStamp>{})) {
        EXPECT_GE(s.ms, 0);
        EXPECT_LE(s.ms, untilMs);
        if (s.ttl == 0) {
            EXPECT_NE(s.originator.find(o.address(s.node)), std::string::npos)
                << "node " << s.node + 1 << " took a copy of TTL " << s.ttl << " from " << s.originator;
        }
        out.emplace_back(s.node, s.life, o.plain(s.originator), s.sequence);
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(MpiNodeHost, AnswersEveryCallAsTheLocalHostDoes) {
    int ranks = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    ASSERT_EQ(ranks, 2) << "run with two ranks";
    const fs::path root = fs::temp_directory_path() / ("palaver-nodehost-" + std::to_string(::getpid()));
    fs::create_directories(root);
    const auto zero = std::chrono::steady_clock::now();
    const std::string host = palaver::lab::hostName();
    {
        Served served;
        RankNodes spread(Nodes, MPI_COMM_WORLD, {host, host}, zero);
        LocalNodes local(Nodes, zero);
        const Overlay a{spread, 61, root / "spread"};
        const Overlay b{local, 62, root / "local"};
        const Overlay both[] = {a, b};

        // A start that cannot bind: the same code on both, an error, no id.
        {
            const Squatter sa(a.ip(2), a.port(2));
            const Squatter sb(b.ip(2), b.port(2));
            ASSERT_TRUE(sa.bound() && sb.bound());
            int32_t ida = 7;
            int32_t idb = 7;
            std::string ea;
            std::string eb;
            const int ra = a.host.start(2, a.ip(2), a.port(2), (a.dir / "n3").string(), 33, ida, ea);
            const int rb = b.host.start(2, b.ip(2), b.port(2), (b.dir / "n3").string(), 33, idb, eb);
            EXPECT_NE(ra, 0);
            EXPECT_EQ(ra, rb);
            EXPECT_EQ(ea, eb);
            EXPECT_FALSE(ea.empty());
            EXPECT_EQ(ida, idb);
        }
        // Every node started with the same seed on both: the same identity.
        for (std::size_t i = 0; i < Nodes; ++i) {
            SCOPED_TRACE("start of node " + std::to_string(i + 1));
            int32_t id[2] = {0, 0};
            for (int k = 0; k < 2; ++k) {
                const Overlay& o = both[k];
                std::string error;
                fs::create_directories(o.dir / ("n" + std::to_string(i + 1)));
                EXPECT_EQ(o.host.start(i, o.ip(i), o.port(i), (o.dir / ("n" + std::to_string(i + 1))).string(),
                                       static_cast<uint32_t>(100 + i), id[k], error),
                          0)
                    << error;
            }
            EXPECT_EQ(id[0], id[1]);
            EXPECT_NE(id[0], 0);
        }
        // Where each node runs: rank floor(i * 2 / 4), on this host.
        for (std::size_t i = 0; i < Nodes; ++i) {
            EXPECT_EQ(a.host.site(i).rank, palaver::lab::mpi::rankOfNode(i, Nodes, 2)) << i;
            EXPECT_EQ(b.host.site(i).rank, 0);
            EXPECT_EQ(a.host.site(i).host, host);
            EXPECT_EQ(b.host.site(i).host, host);
        }
        const auto usage = a.host.processes();
        ASSERT_EQ(usage.size(), 2u);
        for (int r = 0; r < 2; ++r) {
            EXPECT_EQ(usage[static_cast<std::size_t>(r)].rank, r);
            EXPECT_EQ(usage[static_cast<std::size_t>(r)].nodes, 2u);
            EXPECT_EQ(usage[static_cast<std::size_t>(r)].host, host);
            EXPECT_GT(usage[static_cast<std::size_t>(r)].peakRssKib, 0);
        }
        EXPECT_TRUE(b.host.processes().empty());

        // Joins one at a time, each through node 1.
        for (std::size_t i = 1; i < Nodes; ++i) {
            for (const Overlay& o : both) o.host.join(i, o.ip(0), o.port(0));
            waitQuiet(a, b);
        }
        expectSameCounters(a, b, false);
        expectSameCounters(a, b, true);
        for (std::size_t i = 1; i < Nodes; ++i) EXPECT_EQ(a.host.counters(i, false).joinState, 1) << i;

        // A line from each rank's block.
        std::vector<std::pair<std::size_t, int32_t>> lines;
        for (std::size_t typist : {std::size_t{1}, std::size_t{2}}) {
            const int32_t sa = a.host.type(typist, "line of node " + std::to_string(typist + 1));
            const int32_t sb = b.host.type(typist, "line of node " + std::to_string(typist + 1));
            EXPECT_EQ(sa, sb);
            lines.emplace_back(typist, sa);
        }
        waitQuiet(a, b);
        expectSameCounters(a, b, false);
        expectSameTables(a, b, lines);
        EXPECT_EQ(a.host.activity(), b.host.activity());

        // Node 4 leaves the ring, node 3 crashes and comes back (its second
        // life) and types again; then every node stops, node 4 after a
        // nudge.
        for (const Overlay& o : both) o.host.leaveRing(3);
        waitQuiet(a, b);
        for (const Overlay& o : both) o.host.crash(2);
        waitQuiet(a, b);
        expectSameCounters(a, b, false);
        EXPECT_FALSE(a.host.counters(2, false).running);
        for (const Overlay& o : both) {
            int32_t id = 0;
            std::string error;
            EXPECT_EQ(o.host.start(2, o.ip(2), o.port(2), (o.dir / "n3").string(), 200, id, error), 0) << error;
            o.host.join(2, o.ip(0), o.port(0));
        }
        waitQuiet(a, b);
        const int32_t again = a.host.type(2, "the second life of node 3");
        EXPECT_EQ(again, b.host.type(2, "the second life of node 3"));
        waitQuiet(a, b);
        expectSameCounters(a, b, false);
        EXPECT_EQ(a.host.activity(), b.host.activity());

        for (const Overlay& o : both) o.host.nudgeStop(3);
        for (std::size_t i = 0; i < Nodes; ++i) {
            EXPECT_TRUE(a.host.stop(i)) << i;
            EXPECT_TRUE(b.host.stop(i)) << i;
        }
        expectSameCounters(a, b, false);
        expectSameCounters(a, b, true);
        for (std::size_t i = 0; i < Nodes; ++i) EXPECT_FALSE(a.host.counters(i, false).running) << i;
        EXPECT_EQ(a.host.activity(), b.host.activity());

        // The same acceptances, each within the run; the second life's line
        // stamped as life 2 of node 3 at every node that took it.
        const int64_t until =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - zero).count();
        const auto sa = stamps(a, until);
        const auto sb = stamps(b, until);
        EXPECT_EQ(sa, sb);
        const std::string third = a.plain(a.address(2));
        EXPECT_EQ(std::count_if(sa.begin(), sa.end(),
                                [&](const auto& s) {
                                    return std::get<0>(s) == 2 && std::get<1>(s) == 2 && std::get<3>(s) == again &&
                                           std::get<2>(s).find(third) != std::string::npos;
                                }),
                  1)
            << "node 3's second life takes its own line once";
        EXPECT_GE(sa.size(), 3u * Nodes);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
}

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int status = 0;
    if (rank == 0) {
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
        uint64_t none = 0;
        MPI_Bcast(&none, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
    } else {
        // Serves each test's nodes until rank 0 has run every test.
        for (;;) {
            uint64_t count = 0;
            MPI_Bcast(&count, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
            if (count == 0) break;
            if (palaver::lab::mpi::serve(count, MPI_COMM_WORLD, {}) != 0) status = 1;
        }
    }
    MPI_Finalize();
    return status;
}
