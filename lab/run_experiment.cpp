// The run itself. Every node is a palaver::Node of this process with its own
// socket, receive thread, log and reports; the lab drives the nodes through
// the calls the window's buttons make and watches them only through their
// locks and counters. Every wait is a poll with a short sleep and a bound.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "node.h"
#include "run.h"
#include "run_network.h"

namespace palaver::lab {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;
using std::chrono::milliseconds;

constexpr milliseconds StopTimeout{10000};

Json orNull(const std::optional<int64_t>& value) { return value ? Json(*value) : Json(nullptr); }

uint64_t splitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// One generator per kind of choice, so that e.g. the typists do not shift
// when a join fails and one contact fewer is drawn.
enum class Choice : uint32_t { Contacts = 1, Typists = 2, Churn = 3 };

std::mt19937_64 generatorFor(uint64_t seed, Choice choice) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), static_cast<uint32_t>(choice)};
    return std::mt19937_64(seq);
}

template <typename T>
const T& drawFrom(const std::vector<T>& items, std::mt19937_64& random) {
    std::uniform_int_distribution<std::size_t> pick(0, items.size() - 1);
    return items[pick(random)];
}

struct LabNode {
    std::unique_ptr<Node> node = std::make_unique<Node>();
    Address address;
    int32_t id = 0;
    std::string contact;
    std::optional<int64_t> startedMs, joinStartMs, joinEndMs, joinGivenUpMs, fateMs;
    std::string join = "none";
    int32_t joinState = 0;  // JoinState when the lab stopped waiting for the join
    int32_t greeting = 0;   // the sequence number its "Hello" takes
    bool inOverlay = false;
    std::string fate = "alive";
    bool stopForced = false;
    bool alive() const { return fate == "alive"; }

    // The member table holds `originator` with at least `sequence`.
    bool holds(const std::string& originator, int32_t sequence) const {
        auto guard = node->lock();
        auto it = node->members().find(originator);
        return it != node->members().end() && it->second.lastSequence >= sequence;
    }
    bool joined() const {
        return node->JoinState.load() == JoinedAsNewcomer && holds(address.key(), greeting);
    }
    std::size_t memberCount() const {
        auto guard = node->lock();
        return node->members().size();
    }
};

// A progress line on standard error while a terminal is attached.
class Progress {
public:
    Progress() : tty_(::isatty(STDERR_FILENO) == 1) {}
    void show(const char* phase, std::size_t done, std::size_t all) {
        if (!tty_) return;
        const auto now = Clock::now();
        if (shown_ && done != all && now - last_ < milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r\033[K%s %zu / %zu", phase, done, all);
        std::fflush(stderr);
    }
    void clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        shown_ = false;
    }

private:
    bool tty_;
    bool shown_ = false;
    Clock::time_point last_{};
};

class Run {
public:
    Run(const RunOptions& options, std::vector<std::string> commandLine)
        : o_(options), commandLine_(std::move(commandLine)), t0_(Clock::now()) {}
    int execute();

private:
    int64_t ms() const { return std::chrono::duration_cast<milliseconds>(Clock::now() - t0_).count(); }
    uint64_t activity() const;
    bool waitQuiet();
    void beginPhase(const char* name);
    void endPhase();

    int setUp();
    bool startNodes();
    void build();
    void joinThrough(const std::vector<std::size_t>& newcomers, const Address& contact);
    void hold();
    void snapshot(const char* name);
    void typeLines(const char* phase);
    void churn();
    void stopAll();
    bool stopNode(LabNode& n);
    void writeRecord() const;
    void printSummary() const;
    std::vector<std::size_t> aliveNodes() const;

    RunOptions o_;
    std::vector<std::string> commandLine_;
    Clock::time_point t0_;
    std::filesystem::path out_;
    std::string network_ = "host";
    std::optional<Address> contact_;
    std::vector<LabNode> nodes_;
    std::mt19937_64 contacts_ = generatorFor(o_.seed, Choice::Contacts);
    std::mt19937_64 typists_ = generatorFor(o_.seed, Choice::Typists);
    std::mt19937_64 churn_ = generatorFor(o_.seed, Choice::Churn);
    Progress progress_;
    int lineNumber_ = 0;
    Json lines_ = Json::array();
    Json phases_ = Json::array();
    Json snapshots_ = Json::array();
    Json hold_ = nullptr;
    Json phase_;
};

// Quiet: the send and receive counts of all nodes have stood still for the
// quiet time. Crashed and stopped nodes keep their last counts.
class QuietWatch {
public:
    explicit QuietWatch(uint64_t total) : total_(total), since_(Clock::now()) {}
    bool quiet(uint64_t total, milliseconds span) {
        const auto now = Clock::now();
        if (total != total_) {
            total_ = total;
            since_ = now;
            return false;
        }
        return now - since_ >= span;
    }

private:
    uint64_t total_;
    Clock::time_point since_;
};

uint64_t Run::activity() const {
    uint64_t total = 0;
    for (const LabNode& n : nodes_) total += n.node->SentCount.load() + n.node->ReceivedCount.load();
    return total;
}

bool Run::waitQuiet() {
    QuietWatch watch(activity());
    const auto deadline = Clock::now() + milliseconds(o_.settleTimeoutMs);
    while (!watch.quiet(activity(), milliseconds(o_.quietMs))) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

void Run::beginPhase(const char* name) { phase_ = Json{{"name", name}, {"start_ms", ms()}}; }

int64_t cpuMilliseconds(const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

void Run::endPhase() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    // The lab's own thread apart: what watching the nodes costs.
    rusage own{};
    ::getrusage(RUSAGE_THREAD, &own);
    phase_["end_ms"] = ms();
    phase_["cpu_ms"] = cpuMilliseconds(usage);
    phase_["peak_rss_kib"] = usage.ru_maxrss;
    phase_["lab_thread_cpu_ms"] = cpuMilliseconds(own);
    phases_.push_back(phase_);
    progress_.clear();
}

std::vector<std::size_t> Run::aliveNodes() const {
    std::vector<std::size_t> alive;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].alive()) alive.push_back(i);
    }
    return alive;
}

// ---------------------------------------------------------------------------
// Set-up and start

int Run::setUp() {
    // Per node its socket, its datagram log and its closing report, and a
    // few for the lab itself.
    const std::string limit = raiseOpenFileLimit(3 * static_cast<std::size_t>(o_.nodes) + 64);
    if (!limit.empty()) {
        std::fprintf(stderr, "palaver-lab: %s\n", limit.c_str());
        return 1;
    }
    out_ = o_.out;
    std::error_code ec;
    std::filesystem::create_directories(out_, ec);
    if (ec) {
        std::fprintf(stderr, "palaver-lab: cannot create %s: %s\n", o_.out.c_str(), ec.message().c_str());
        return 1;
    }
    if (!o_.contact.empty()) contact_ = parseContact(o_.contact);
    const bool host = o_.hostNetwork || contact_.has_value();
    const auto ips = consecutiveAddresses(o_.firstAddress, o_.nodes, !host);
    if (!host) {
        const std::string reason = enterPrivateNetwork();
        if (reason.empty()) {
            network_ = "namespace";
        } else if (o_.loss > 0) {
            std::fprintf(stderr, "palaver-lab: --loss needs a private network namespace and none can be made: %s\n",
                         reason.c_str());
            return 2;
        } else {
            std::fprintf(stderr, "palaver-lab: no private network namespace (%s); the nodes run on the host's network\n",
                         reason.c_str());
        }
    }
    if (o_.loss > 0) {
        const std::string reason = installLossRules(o_.loss, *ips);
        if (!reason.empty()) {
            std::fprintf(stderr, "palaver-lab: --loss: %s\n", reason.c_str());
            return 1;
        }
    }
    nodes_.resize(static_cast<std::size_t>(o_.nodes));
    for (std::size_t i = 0; i < nodes_.size(); ++i) nodes_[i].address = Address{(*ips)[i], o_.port};
    return 0;
}

bool Run::startNodes() {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        LabNode& n = nodes_[i];
        Node& node = *n.node;
        copyField(node.NodeName, "lab");
        node.LogFlag = 1;
        node.setFileDirectory(out_.string());
        node.initialise(static_cast<uint32_t>(splitMix(o_.seed * 1000003ull + i)));
        const int result = node.startNode(n.address.ip, n.address.port);
        if (result != 0 || !node.ReceiverAlive.load()) {
            progress_.clear();
            std::fprintf(stderr, "palaver-lab: cannot start node %zu on %s: %s\n", i + 1, n.address.key().c_str(),
                         result != 0 ? "the address cannot be bound (in use, or not an address of this host)"
                                     : "no receive thread could be started");
            if (result == 0) n.fate = "crashed";  // it has a socket but no thread: nothing to stop
            nodes_.resize(result == 0 ? i + 1 : i);
            return false;
        }
        {
            auto guard = node.lock();
            n.id = node.state().self.id;
        }
        n.startedMs = ms();
        progress_.show("start", i + 1, nodes_.size());
    }
    return true;
}

// ---------------------------------------------------------------------------
// Build

void Run::build() {
    std::size_t firstNewcomer = 0;
    if (!contact_) {
        LabNode& first = nodes_[0];
        first.join = "first";
        first.inOverlay = true;
        first.joinStartMs = first.startedMs;
        first.joinEndMs = first.startedMs;
        firstNewcomer = 1;
    }
    const std::size_t burstFrom = nodes_.size() - static_cast<std::size_t>(o_.burst);
    // A contact from the nodes of this lab already in the overlay; the given
    // contact while none of them is.
    auto drawContact = [&] {
        std::vector<std::size_t> members;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            if (nodes_[i].inOverlay) members.push_back(i);
        }
        if (members.empty()) return *contact_;
        return nodes_[drawFrom(members, contacts_)].address;
    };
    for (std::size_t i = firstNewcomer; i < burstFrom; ++i) {
        joinThrough({i}, drawContact());
        progress_.show("build", i + 1, nodes_.size());
    }
    if (burstFrom < nodes_.size()) {
        std::vector<std::size_t> burst;
        for (std::size_t i = std::max(burstFrom, firstNewcomer); i < nodes_.size(); ++i) burst.push_back(i);
        joinThrough(burst, drawContact());
        progress_.show("build", nodes_.size(), nodes_.size());
    }
    waitQuiet();
    if (o_.holdMembers > 0) hold();
}

// Presses join at every newcomer through `contact` at once and waits until
// each has joined (JoinState 1 and its own "Hello" back in its member
// table). A newcomer still waiting when the join time is up, or when the
// overlay has gone quiet (nothing can move its join on any more), has failed.
void Run::joinThrough(const std::vector<std::size_t>& newcomers, const Address& contact) {
    for (std::size_t i : newcomers) {
        LabNode& n = nodes_[i];
        n.contact = contact.key();
        n.greeting = n.node->ChatSequence.load();
        n.joinStartMs = ms();
        n.node->requestJoin(contact.ip, contact.port);
    }
    std::vector<std::size_t> pending = newcomers;
    QuietWatch watch(activity());
    const auto deadline = Clock::now() + milliseconds(o_.joinTimeoutMs);
    for (;;) {
        std::erase_if(pending, [&](std::size_t i) {
            LabNode& n = nodes_[i];
            if (!n.joined()) return false;
            n.joinEndMs = ms();
            n.join = "joined";
            n.inOverlay = true;
            n.joinState = n.node->JoinState.load();
            return true;
        });
        if (pending.empty()) break;
        if (watch.quiet(activity(), milliseconds(o_.quietMs)) || Clock::now() >= deadline) break;
        std::this_thread::sleep_for(milliseconds(1));
    }
    for (std::size_t i : pending) {
        LabNode& n = nodes_[i];
        n.join = "failed";
        n.joinGivenUpMs = ms();
        n.joinState = n.node->JoinState.load();
    }
}

void Run::hold() {
    std::printf("palaver-lab: holding until every live node lists %d members\n", o_.holdMembers);
    std::fflush(stdout);
    const auto deadline = Clock::now() + milliseconds(o_.holdTimeoutMs);
    bool reached = false;
    while (!(reached = std::all_of(nodes_.begin(), nodes_.end(), [&](const LabNode& n) {
                 return !n.alive() || n.memberCount() >= static_cast<std::size_t>(o_.holdMembers);
             }))) {
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(milliseconds(5));
    }
    hold_ = Json{{"members", o_.holdMembers}, {"reached", reached}, {"end_ms", ms()}};
    waitQuiet();
}

// ---------------------------------------------------------------------------
// Snapshots, lines and churn

void Run::snapshot(const char* name) {
    const std::string relative = std::string("tables/") + name;
    const std::filesystem::path dir = out_ / relative;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const int64_t when = ms();
    int unwritten = 0;
    for (const LabNode& n : nodes_) {
        if (!n.alive()) continue;
        unwritten += n.node->writeStatusReportFile((dir / ("status_" + n.address.key() + ".csv")).string());
    }
    if (unwritten) std::fprintf(stderr, "palaver-lab: %d status reports could not be written into %s\n", unwritten,
                                dir.c_str());
    snapshots_.push_back(Json{{"name", name}, {"dir", relative}, {"ms", when}});
}

// Each line is typed at a live node drawn with the seed; the lab then
// watches the member tables of the nodes alive at that moment until the
// overlay is quiet, noting when each first holds the line.
void Run::typeLines(const char* phase) {
    for (int k = 0; k < o_.lines; ++k) {
        const std::vector<std::size_t> live = aliveNodes();
        LabNode& typist = nodes_[drawFrom(live, typists_)];
        const std::string text = "line " + std::to_string(++lineNumber_) + " from " + typist.address.key();
        const int64_t typed = ms();
        const int32_t sequence = typist.node->sendOwnChat(text);
        const std::string originator = typist.address.key();

        std::vector<std::optional<int64_t>> accepted(live.size());
        std::size_t acceptedBy = 0;
        std::optional<int64_t> lastAccept;
        QuietWatch watch(activity());
        const auto deadline = Clock::now() + milliseconds(o_.settleTimeoutMs);
        bool settled = true;
        for (;;) {
            for (std::size_t j = 0; j < live.size(); ++j) {
                if (accepted[j] || !nodes_[live[j]].holds(originator, sequence)) continue;
                accepted[j] = ms();
                lastAccept = accepted[j];
                ++acceptedBy;
            }
            if (watch.quiet(activity(), milliseconds(o_.quietMs))) break;
            if (Clock::now() >= deadline) {
                settled = false;
                break;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        lines_.push_back(Json{{"originator", originator},
                              {"sequence", sequence},
                              {"text", text},
                              {"phase", phase},
                              {"typed_ms", typed},
                              {"last_accept_ms", orNull(lastAccept)},
                              {"accepted_by", acceptedBy},
                              {"live_nodes", live.size()},
                              {"quiet_ms", settled ? Json(ms()) : Json(nullptr)}});
        progress_.show(phase, static_cast<std::size_t>(k) + 1, static_cast<std::size_t>(o_.lines));
    }
}

// Leaves first, one at a time, each as the disconnect button does it (the
// two notices, then the stop) and each followed by quiet; then the crashes.
void Run::churn() {
    std::vector<std::size_t> order = aliveNodes();
    std::shuffle(order.begin(), order.end(), churn_);
    const std::size_t leaves = static_cast<std::size_t>(o_.leave);
    const std::size_t all = leaves + static_cast<std::size_t>(o_.crash);
    for (std::size_t k = 0; k < all; ++k) {
        LabNode& n = nodes_[order[k]];
        n.fateMs = ms();
        if (k < leaves) {
            n.fate = "left";
            n.node->leaveRing();
            stopNode(n);
            waitQuiet();
        } else {
            n.fate = "crashed";
            n.node->crash();
        }
        progress_.show("churn", k + 1, all);
    }
    waitQuiet();
}

// The shutdown of the window: the stop datagram to the node's own address
// until the receive thread has ended (it writes the closing report), then
// the socket closes. A node that does not stop in time is crashed instead.
bool Run::stopNode(LabNode& n) {
    Node& node = *n.node;
    const auto deadline = Clock::now() + StopTimeout;
    while (node.ReceiverAlive.load()) {
        if (Clock::now() >= deadline) {
            node.crash();
            n.stopForced = true;
            return false;
        }
        node.sendStop();
        for (int i = 0; i < 100 && node.ReceiverAlive.load(); ++i) std::this_thread::sleep_for(milliseconds(1));
    }
    node.stopReceiving();
    node.closeEndpoint();
    return true;
}

void Run::stopAll() {
    const std::vector<std::size_t> live = aliveNodes();
    // One stop datagram to each first, so that the threads end side by side.
    for (std::size_t i : live) nodes_[i].node->sendStop();
    std::size_t done = 0;
    for (std::size_t i : live) {
        stopNode(nodes_[i]);
        progress_.show("stop", ++done, live.size());
    }
}

// ---------------------------------------------------------------------------
// Record and summary

void Run::writeRecord() const {
    Json record;
    record["lab_version"] = PALAVER_LAB_VERSION;
    record["command_line"] = commandLine_;
    record["seed"] = o_.seed;
    record["parameters"] = Json{{"nodes", o_.nodes},
                                {"lines", o_.lines},
                                {"loss", o_.loss},
                                {"leave", o_.leave},
                                {"crash", o_.crash},
                                {"burst", o_.burst},
                                {"first_address", o_.firstAddress},
                                {"port", o_.port},
                                {"contact", contact_ ? contact_->key() : ""},
                                {"network", network_},
                                {"join_timeout_ms", o_.joinTimeoutMs},
                                {"settle_timeout_ms", o_.settleTimeoutMs},
                                {"quiet_ms", o_.quietMs},
                                {"hold_members", o_.holdMembers}};
    Json nodes = Json::array();
    for (const LabNode& n : nodes_) {
        nodes.push_back(Json{{"address", n.address.key()},
                             {"contact", n.contact},
                             {"join_start_ms", orNull(n.joinStartMs)},
                             {"join_end_ms", orNull(n.joinEndMs)},
                             {"join", n.join},
                             {"fate", n.fate},
                             {"fate_ms", orNull(n.fateMs)},
                             {"id", n.id},
                             {"started_ms", orNull(n.startedMs)},
                             {"join_given_up_ms", orNull(n.joinGivenUpMs)},
                             {"join_state", n.joinState},
                             {"stop_forced", n.stopForced}});
    }
    record["nodes"] = nodes;
    record["lines"] = lines_;
    record["phases"] = phases_;
    record["snapshots"] = snapshots_;
    record["hold"] = hold_;
    record["end_ms"] = ms();
    std::ofstream file(out_ / "run.json");
    file << record.dump(2) << "\n";
}

void Run::printSummary() const {
    int joined = 0;
    int failed = 0;
    int left = 0;
    int crashed = 0;
    int forced = 0;
    int inRing = 0;
    for (const LabNode& n : nodes_) {
        joined += n.join == "joined";
        failed += n.join == "failed";
        inRing += n.join == "failed" && n.joinState == JoinedAsNewcomer;
        left += n.fate == "left";
        crashed += n.fate == "crashed";
        forced += n.stopForced;
    }
    int reachedAll = 0;
    double acceptedShare = 0;
    for (const Json& line : lines_) {
        reachedAll += line["accepted_by"] == line["live_nodes"];
        acceptedShare += line["accepted_by"].get<double>() / line["live_nodes"].get<double>();
    }
    std::printf("palaver-lab run: %d nodes on %s network, loss %g %%, seed %llu, folder %s\n", o_.nodes,
                network_ == "namespace" ? "a private" : "the host's", o_.loss,
                static_cast<unsigned long long>(o_.seed), o_.out.c_str());
    std::printf("joins: %d joined, %d failed%s%s\n", joined, failed, contact_ ? "" : " (and the first node)",
                joined == 0 && failed > 0 ? "; no join completed" : "");
    if (inRing > 0) {
        std::printf("       %d of the failed joins reached the ring (JoinState 1) but their greeting never came back\n",
                    inRing);
    }
    std::printf("lines: %zu typed, %d reached every live node", lines_.size(), reachedAll);
    if (!lines_.empty()) {
        std::printf("; a line reached %.1f %% of the live nodes on average",
                    100.0 * acceptedShare / static_cast<double>(lines_.size()));
    }
    std::printf("\n");
    if (left + crashed > 0) std::printf("churn: %d left, %d crashed\n", left, crashed);
    if (forced > 0) std::printf("stop: %d nodes did not stop in time and were ended without a report\n", forced);
    std::printf("phases:");
    for (const Json& p : phases_) {
        std::printf(" %s %.2f s", p["name"].get<std::string>().c_str(),
                    static_cast<double>(p["end_ms"].get<int64_t>() - p["start_ms"].get<int64_t>()) / 1000.0);
    }
    const Json& last = phases_.back();
    std::printf("\nlab: %.2f s wall, %.2f s CPU (%.2f s of it watching the nodes), peak resident %.1f MiB\n",
                static_cast<double>(ms()) / 1000.0, static_cast<double>(last["cpu_ms"].get<int64_t>()) / 1000.0,
                static_cast<double>(last["lab_thread_cpu_ms"].get<int64_t>()) / 1000.0,
                static_cast<double>(last["peak_rss_kib"].get<int64_t>()) / 1024.0);
}

int Run::execute() {
    beginPhase("start");
    if (const int status = setUp(); status != 0) return status;
    if (!startNodes()) {
        stopAll();
        return 1;
    }
    endPhase();

    beginPhase("build");
    build();
    endPhase();

    beginPhase("snapshot_built");
    snapshot("built");
    endPhase();

    if (o_.lines > 0) {
        beginPhase("lines");
        typeLines("lines");
        endPhase();
    }
    if (o_.leave + o_.crash > 0) {
        beginPhase("churn");
        churn();
        endPhase();

        beginPhase("snapshot_churned");
        snapshot("churned");
        endPhase();

        if (o_.lines > 0) {
            beginPhase("lines_churned");
            typeLines("lines_churned");
            endPhase();
        }
    }
    beginPhase("stop");
    stopAll();
    endPhase();

    writeRecord();
    printSummary();
    return 0;
}

}  // namespace

int runExperiment(const RunOptions& options, const std::vector<std::string>& commandLine) {
    Run run(options, commandLine);
    return run.execute();
}

}  // namespace palaver::lab
