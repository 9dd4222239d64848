#include "run/nodes.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <thread>

namespace palaver::lab {

namespace {
constexpr std::chrono::milliseconds StopTimeout{10000};
}

LocalNodes::LocalNodes(std::size_t count, std::chrono::steady_clock::time_point start)
    : start_(start), lives_(count, 0), lastCpuMs_(count, -1), nodes_(count) {}

std::optional<uint64_t> statCpuTicks(std::string_view stat) {
    // "pid (comm) state ppid ...": the name may hold spaces and brackets, so
    // the fields are counted from its last ')'. utime and stime are fields
    // 14 and 15, the 12th and 13th after the name.
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    uint64_t ticks = 0;
    for (int field = 1; field <= 13; ++field) {
        const std::size_t begin = rest.find_first_not_of(' ');
        if (begin == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(begin);
        const std::size_t end = std::min(rest.find_first_of(" \n"), rest.size());
        if (field >= 12) {
            uint64_t value = 0;
            const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + end, value);
            if (ec != std::errc() || ptr != rest.data() + end) return std::nullopt;
            ticks += value;
        }
        rest.remove_prefix(end);
    }
    return ticks;
}

std::optional<int64_t> threadCpuMs(int64_t tid) {
    if (tid <= 0) return std::nullopt;
    // Plain reads: a thread that ends between the open and the read fails
    // the read (ESRCH), which a stream would throw as an exception.
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::array<char, 1024> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    if (n <= 0) return std::nullopt;
    const std::optional<uint64_t> ticks = statCpuTicks(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (!ticks || perSecond <= 0) return std::nullopt;
    return static_cast<int64_t>(*ticks * 1000 / static_cast<uint64_t>(perSecond));
}

ProcessUsage ownUsage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    ProcessUsage u;
    u.host = hostName();
    u.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * int64_t{1000} +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    u.peakRssKib = usage.ru_maxrss;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) u.cpus = CPU_COUNT(&set);
    u.hostCpus = static_cast<int>(std::max(0L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    return u;
}

void LocalNodes::readCpu(std::size_t i) {
    if (!nodes_[i]) return;
    if (const auto ms = threadCpuMs(nodes_[i]->receiverThreadId())) lastCpuMs_[i] = *ms;
}

void LocalNodes::stamp(std::size_t i, int life, std::string_view originator, int32_t sequence, int32_t ttl) {
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    AcceptStamp s{ms, i, life, std::string(originator.substr(0, AddressFieldWidth + 1)), sequence, ttl};
    std::lock_guard<std::mutex> guard(acceptsMutex_);
    accepts_.push_back(std::move(s));
}

std::optional<std::vector<AcceptStamp>> LocalNodes::accepts() const {
    std::lock_guard<std::mutex> guard(acceptsMutex_);
    return accepts_;
}

int LocalNodes::start(std::size_t i, const std::string& ip, int port, const std::string& dir, uint32_t seed,
                      int32_t& id, std::string& error) {
    if (nodes_[i]) {
        // A new life: the old node has ended (left or crashed); its counts
        // stay in the overlay's activity.
        retired_ += nodes_[i]->SentCount.load() + nodes_[i]->ReceivedCount.load();
        nodes_[i].reset();
    }
    lastCpuMs_[i] = -1;
    nodes_[i] = std::make_unique<Node>();
    Node& node = *nodes_[i];
    copyField(node.NodeName, "lab");
    node.LogFlag = 1;
    node.setFileDirectory(dir);
    // The life this start begins; counted only once it has started.
    const int life = lives_[i] + 1;
    node.setAcceptHook([this, i, life](std::string_view originator, int32_t sequence, int32_t ttl) {
        stamp(i, life, originator, sequence, ttl);
    });
    node.initialise(seed);
    const int result = node.startNode(ip, port);
    if (result != 0) {
        error = "the address cannot be bound (in use, or not an address of this host)";
        return result;
    }
    if (!node.ReceiverAlive.load()) {
        error = "no receive thread could be started";
        return 4;
    }
    lives_[i] = life;
    auto guard = node.lock();
    id = node.state().self.id;
    return 0;
}

void LocalNodes::join(std::size_t i, const std::string& ip, int port) { nodes_[i]->requestJoin(ip, port); }

int32_t LocalNodes::type(std::size_t i, const std::string& text) { return nodes_[i]->sendOwnChat(text); }

void LocalNodes::leaveRing(std::size_t i) { nodes_[i]->leaveRing(); }

void LocalNodes::crash(std::size_t i) {
    // The last reading before the thread ends is the life's CPU time.
    readCpu(i);
    nodes_[i]->crash();
}

bool LocalNodes::stop(std::size_t i) {
    Node& node = *nodes_[i];
    const auto deadline = std::chrono::steady_clock::now() + StopTimeout;
    while (node.ReceiverAlive.load()) {
        // The last reading before the thread ends is the life's CPU time.
        readCpu(i);
        if (std::chrono::steady_clock::now() >= deadline) {
            node.crash();
            return false;
        }
        node.sendStop();
        for (int k = 0; k < 100 && node.ReceiverAlive.load(); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    node.stopReceiving();
    node.closeEndpoint();
    return true;
}

void LocalNodes::nudgeStop(std::size_t i) {
    readCpu(i);
    nodes_[i]->sendStop();
}

NodeCounters LocalNodes::counters(std::size_t i, bool withCpu) const {
    NodeCounters c;
    if (!nodes_[i]) return c;
    const Node& n = *nodes_[i];
    c.sent = n.SentCount.load();
    c.received = n.ReceivedCount.load();
    c.joinState = n.JoinState.load();
    c.chatSequence = n.ChatSequence.load();
    c.running = n.ReceiverAlive.load();
    if (withCpu) {
        const std::optional<int64_t> cpu = threadCpuMs(n.receiverThreadId());
        c.cpuMs = cpu ? *cpu : lastCpuMs_[i];
    }
    return c;
}

uint64_t LocalNodes::activity() const {
    uint64_t total = retired_;
    for (const auto& n : nodes_) {
        if (n) total += n->SentCount.load() + n->ReceivedCount.load();
    }
    return total;
}

bool LocalNodes::holds(std::size_t i, const std::string& originator, int32_t sequence) const {
    const Node& node = *nodes_[i];
    auto guard = node.lock();
    auto it = node.members().find(originator);
    return it != node.members().end() && it->second.lastSequence >= sequence;
}

std::size_t LocalNodes::memberCount(std::size_t i) const {
    const Node& node = *nodes_[i];
    auto guard = node.lock();
    return node.members().size();
}

std::string LocalNodes::table(std::size_t i) const { return nodes_[i]->statusReportText(); }

NodeSite LocalNodes::site(std::size_t /*i*/) const { return NodeSite{0, hostName()}; }

std::string hostName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return "";
    return name.data();
}

}  // namespace palaver::lab
