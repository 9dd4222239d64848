// The step executor. It plays a scenario's timeline on nodes it drives only
// through the NodeHost interface (act on node i, read its counters and
// tables). Every wait is a poll with a short sleep and a bound; while it
// waits, the executor runs what goes on in the background: pending joins
// and lines watched until the overlay is quiet, periodic snapshots and the
// events of churn models.
#include "run/engine.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "analyze/analyze_model.h"
#include "run/churn.h"
#include "run/conditions.h"
#include "net/droplog.h"
#include "net/network.h"
#include "run/nodes.h"
#include "run/quiet.h"
#include "net/rules.h"
#include "run/seeds.h"

namespace palaver::lab {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;
using std::chrono::milliseconds;

Json orNull(const std::optional<int64_t>& value) { return value ? Json(*value) : Json(nullptr); }

template <typename T>
const T& drawFrom(const std::vector<T>& items, std::mt19937_64& random) {
    std::uniform_int_distribution<std::size_t> pick(0, items.size() - 1);
    return items[pick(random)];
}

int64_t cpuMilliseconds(const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// One life of a node: from its start to its leave or crash (or the end of
// the run). A restarted node begins a new life at the same address, with a
// fresh identity and its files in a folder of their own.
struct Life {
    int number = 1;
    std::string dir;  // relative to the run folder: "" for the first life, "life2", ...
    int32_t id = 0;
    std::string contact;
    std::optional<int64_t> startedMs, joinStartMs, joinEndMs, joinGivenUpMs, fateMs;
    std::optional<int64_t> joinDeadlineMs;   // when the join's time runs out
    std::vector<std::string> joinGivenUpBy;  // what held when a failed join was given up
    std::string join = "none";
    int32_t joinState = 0;
    int32_t greeting = 0;
    std::string fate = "alive";
    bool stopForced = false;
    // Its counters once it had ended (left or crashed).
    std::optional<NodeCounters> last;
};

struct Slot {
    Address address;
    std::vector<Life> lives;
    bool inOverlay = false;
    bool alive() const { return !lives.empty() && lives.back().fate == "alive"; }
};

// A progress line on standard error while a terminal is attached.
class Progress {
public:
    Progress() : tty_(::isatty(STDERR_FILENO) == 1) {}
    void show(const std::string& phase, std::size_t done, std::size_t all) {
        if (!tty_) return;
        const auto now = Clock::now();
        if (shown_ && done != all && now - last_ < milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r\033[K%s %zu / %zu", phase.c_str(), done, all);
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

struct PendingJoin {
    std::size_t slot;
    QuietWatch watch;
    Clock::time_point deadline;
};

struct LineWatch {
    std::size_t record;  // index into lines_
    std::string originator;
    int32_t sequence;
    std::vector<std::size_t> live;
    std::vector<char> accepted;
    std::size_t acceptedBy = 0;
    std::optional<int64_t> lastAccept;
    QuietWatch watch;
    Clock::time_point deadline;
};

struct PeriodicSnapshot {
    std::string name;
    std::string until;
    int64_t everyMs;
    int64_t nextMs;
    int taken = 0;
};

struct ChurnEvent {
    int64_t dueMs;
    std::size_t slot;
    std::string what;   // leave, crash, rejoin
    std::size_t churn;  // index into churns_
};

class Engine {
public:
    Engine(Scenario scenario, std::string out, std::vector<std::string> commandLine, NodeHostFactory makeNodes,
           AddressPlan addressOf)
        : s_(std::move(scenario)),
          out_(std::move(out)),
          commandLine_(std::move(commandLine)),
          makeNodes_(std::move(makeNodes)),
          addressOf_(std::move(addressOf)),
          t0_(Clock::now()) {}
    int execute();

private:
    int64_t ms() const { return std::chrono::duration_cast<milliseconds>(Clock::now() - t0_).count(); }
    uint64_t activity() const { return nodes_->activity(); }
    milliseconds quietSpan() const { return milliseconds(s_.quietMs); }

    int setUp();
    void pump();
    void pause();
    bool waitQuiet(int64_t boundMs);
    bool waitMembers(const Trigger& t);
    void waitUntil(int64_t whenMs);
    std::vector<std::size_t> liveOf(const std::string& group) const;
    std::vector<std::size_t> live() const { return liveOf("all"); }

    // Actions.
    bool act(const StepSpec& step, std::size_t index, Json& record);
    bool startLife(std::size_t slot, Json& record);
    void joinGroup(const StepSpec& step, Json& record);
    std::optional<Address> drawContact();
    void pressJoin(std::size_t slot, const Address& contact);
    void waitJoins();
    void typeLines(const StepSpec& step, Json& record);
    void typeOne(std::size_t typist, const std::string& step);
    void waitLines();
    void depart(const StepSpec& step, Json& record);
    void endLife(std::size_t slot, const std::string& fate, bool settle);
    void restart(const StepSpec& step, Json& record);
    bool changeNetwork(const StepSpec& step, Json& record);
    void snapshot(const std::string& name, const std::string& dirName);
    Json health(const std::string& name, const std::string& dirName, bool write);
    void startChurn(const StepSpec& step, std::size_t index, Json& record);
    void runChurnEvent(const ChurnEvent& e);
    void stopAll();
    void writeDrops();
    void writeAccepts();
    void loadRows(const std::string& snapshot);
    void loadEndRows();
    void writeLoad();

    // Record.
    void beginPhase(const std::string& name);
    void endPhase();
    Json verdict();
    void writeRecord(const Json& verdictRecord) const;
    void printSummary() const;
    static void printVerdict(const Json& verdictRecord);

    Scenario s_;
    std::string outText_;
    std::filesystem::path out_;
    std::vector<std::string> commandLine_;
    NodeHostFactory makeNodes_;
    AddressPlan addressOf_;
    Clock::time_point t0_;
    std::unique_ptr<NodeHost> nodes_;
    std::vector<Slot> slots_;
    std::string network_ = "host";
    std::optional<Address> contact_;
    std::mt19937_64 contacts_ = generatorFor(s_.seed, Choice::Contacts);
    std::mt19937_64 typists_ = generatorFor(s_.seed, Choice::Typists);
    std::mt19937_64 churn_ = generatorFor(s_.seed, Choice::Churn);
    Progress progress_;
    bool pumping_ = false;
    bool fatal_ = false;
    std::vector<PendingJoin> joins_;
    std::vector<LineWatch> watches_;
    std::vector<PeriodicSnapshot> periodic_;
    std::vector<ChurnEvent> events_;  // sorted by dueMs
    int lineNumber_ = 0;
    // The loss and partitions in force.
    NetworkConditions conditions_;
    // Every address set the rules have used: a set once made stays in the
    // table, emptied and refilled with each change.
    std::vector<AddressSet> sets_;
    bool rulesLoaded_ = false;
    // The kernel's record of the rules' drops; null when it could not be
    // opened (dropsReason_ says why).
    std::unique_ptr<DropLog> drops_;
    std::string dropsReason_;
    Json dropsRecord_ = nullptr;
    Json acceptsRecord_ = nullptr;
    std::string loadCsv_ = "snapshot,node,life,address,sent,received,cpu_ms\n";
    std::size_t loadCsvRows_ = 0;
    Json loadRecord_ = nullptr;
    Json lines_ = Json::array();
    Json phases_ = Json::array();
    Json steps_ = Json::array();
    Json snapshots_ = Json::array();
    Json network_changes_ = Json::array();
    Json churns_ = Json::array();
    Json hold_ = nullptr;
    Json endHealth_ = nullptr;
    Json phase_;
};

// ---------------------------------------------------------------------------
// Set-up, waits and the background

int Engine::setUp() {
    const std::string limit = raiseOpenFileLimit(3 * static_cast<std::size_t>(s_.nodes) + 64);
    if (!limit.empty()) {
        std::fprintf(stderr, "palaver-lab: %s\n", limit.c_str());
        return 1;
    }
    const bool host = s_.hostNetwork || !s_.contact.empty();
    if (!host) {
        const std::string reason = enterPrivateNetwork();
        if (reason.empty()) {
            network_ = "namespace";
        } else if (s_.needsNetworkRules()) {
            std::fprintf(stderr,
                         "palaver-lab: %s: loss and partitions need a private network namespace and none can be "
                         "made: %s\n",
                         s_.source.c_str(), reason.c_str());
            return 2;
        } else {
            std::fprintf(stderr, "palaver-lab: no private network namespace (%s); the nodes run on the host's network\n",
                         reason.c_str());
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(out_, ec);
    if (ec) {
        std::fprintf(stderr, "palaver-lab: cannot create %s: %s\n", out_.c_str(), ec.message().c_str());
        return 1;
    }
    if (host && s_.rulesInPlace) network_ = "shared";
    if (network_ != "host") {
        // Bound here, inside the nodes' namespace, before any rule drops.
        drops_ = std::make_unique<DropLog>(t0_);
        dropsReason_ = drops_->open(DropLogGroup);
        if (!dropsReason_.empty()) {
            drops_.reset();
            std::fprintf(stderr, "palaver-lab: the dropped datagrams cannot be recorded (%s); the run goes on\n",
                         dropsReason_.c_str());
        }
    } else {
        dropsReason_ = "the nodes ran on the host's network, where the lab drops nothing";
    }
    if (!s_.contact.empty()) contact_ = parseContact(s_.contact);
    slots_.resize(static_cast<std::size_t>(s_.nodes));
    if (addressOf_) {
        for (std::size_t i = 0; i < slots_.size(); ++i) slots_[i].address = addressOf_(i);
    } else {
        const auto ips = consecutiveAddresses(s_.firstAddress, s_.nodes, !host);
        for (std::size_t i = 0; i < slots_.size(); ++i) slots_[i].address = Address{(*ips)[i], s_.port};
    }
    nodes_ = makeNodes_(slots_.size(), t0_);
    return 0;
}

// The background: joins and lines watched until they are through, periodic
// snapshots and churn events that are due. Not re-entered from the actions
// it runs.
void Engine::pump() {
    if (pumping_) return;
    pumping_ = true;
    const uint64_t now = activity();
    std::erase_if(joins_, [&](PendingJoin& p) {
        Slot& slot = slots_[p.slot];
        Life& life = slot.lives.back();
        if (life.fate != "alive") {
            life.join = "failed";
            life.joinGivenUpMs = ms();
            life.joinGivenUpBy = {"ended"};
            return true;
        }
        const NodeCounters c = nodes_->counters(p.slot, false);
        if (c.joinState == JoinedAsNewcomer && nodes_->holds(p.slot, slot.address.key(), life.greeting)) {
            life.joinEndMs = ms();
            life.join = "joined";
            life.joinState = c.joinState;
            slot.inOverlay = true;
            return true;
        }
        const bool quiet = p.watch.quiet(now, Clock::now(), quietSpan());
        const bool late = Clock::now() >= p.deadline;
        if (quiet || late) {
            life.join = "failed";
            life.joinGivenUpMs = ms();
            if (quiet) life.joinGivenUpBy.push_back("quiet");
            if (late) life.joinGivenUpBy.push_back("timeout");
            life.joinState = c.joinState;
            return true;
        }
        return false;
    });
    std::erase_if(watches_, [&](LineWatch& w) {
        for (std::size_t j = 0; j < w.live.size(); ++j) {
            if (w.accepted[j] || !slots_[w.live[j]].alive() ||
                !nodes_->holds(w.live[j], w.originator, w.sequence)) {
                continue;
            }
            w.accepted[j] = 1;
            w.lastAccept = ms();
            ++w.acceptedBy;
        }
        const bool quiet = w.watch.quiet(now, Clock::now(), quietSpan());
        if (!quiet && Clock::now() < w.deadline) return false;
        Json& line = lines_[w.record];
        line["last_accept_ms"] = orNull(w.lastAccept);
        line["accepted_by"] = w.acceptedBy;
        line["quiet_ms"] = quiet ? Json(ms()) : Json(nullptr);
        return true;
    });
    for (PeriodicSnapshot& p : periodic_) {
        if (ms() < p.nextMs) continue;
        ++p.taken;
        snapshot(p.name + "-" + std::to_string(p.taken), p.name + "-" + std::to_string(p.taken));
        p.nextMs += p.everyMs;
        if (p.nextMs <= ms()) p.nextMs = ms() + p.everyMs;
    }
    while (!events_.empty() && events_.front().dueMs <= ms()) {
        const ChurnEvent e = events_.front();
        events_.erase(events_.begin());
        runChurnEvent(e);
    }
    pumping_ = false;
}

void Engine::pause() {
    pump();
    std::this_thread::sleep_for(milliseconds(2));
}

bool Engine::waitQuiet(int64_t boundMs) {
    QuietWatch watch(activity(), Clock::now());
    const auto deadline = Clock::now() + milliseconds(boundMs);
    for (;;) {
        pump();
        if (watch.quiet(activity(), Clock::now(), quietSpan())) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

std::vector<std::size_t> Engine::liveOf(const std::string& group) const {
    std::vector<std::size_t> out;
    if (const GroupSpec* g = s_.group(group)) {
        for (std::size_t i : g->members) {
            if (slots_[i].alive()) out.push_back(i);
        }
    }
    return out;
}

bool Engine::waitMembers(const Trigger& t) {
    std::printf("palaver-lab: holding until every live node of %s lists %d members\n", t.group.c_str(), t.members);
    std::fflush(stdout);
    const auto deadline = Clock::now() + milliseconds(t.withinMs);
    for (;;) {
        const std::vector<std::size_t> nodes = liveOf(t.group);
        if (std::all_of(nodes.begin(), nodes.end(), [&](std::size_t i) {
                return nodes_->memberCount(i) >= static_cast<std::size_t>(t.members);
            })) {
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(3));
        pump();
    }
}

void Engine::waitUntil(int64_t whenMs) {
    while (ms() < whenMs) pause();
}

// ---------------------------------------------------------------------------
// Start, join, restart

bool Engine::startLife(std::size_t i, Json& record) {
    Slot& slot = slots_[i];
    Life life;
    life.number = static_cast<int>(slot.lives.size()) + 1;
    if (life.number > 1) life.dir = "life" + std::to_string(life.number);
    const std::filesystem::path dir = out_ / life.dir;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::string error;
    const auto seed = static_cast<uint32_t>(splitMix(s_.seed * 1000003ull + i + 1000000007ull * (life.number - 1)));
    if (nodes_->start(i, slot.address.ip, slot.address.port, dir.string(), seed, life.id, error) != 0) {
        progress_.clear();
        std::fprintf(stderr, "palaver-lab: cannot start node %zu on %s: %s\n", i + 1, slot.address.key().c_str(),
                     error.c_str());
        record["error"] = error;
        return false;
    }
    life.startedMs = ms();
    slot.inOverlay = false;
    slot.lives.push_back(life);
    return true;
}

std::optional<Address> Engine::drawContact() {
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].alive() && slots_[i].inOverlay) members.push_back(i);
    }
    if (members.empty()) return contact_;
    return slots_[drawFrom(members, contacts_)].address;
}

void Engine::pressJoin(std::size_t i, const Address& contact) {
    Slot& slot = slots_[i];
    Life& life = slot.lives.back();
    life.contact = contact.key();
    life.greeting = nodes_->counters(i, false).chatSequence;
    // The start and the deadline from one reading of the clock, so that
    // run.json's two times are exactly the timeout apart.
    const Clock::time_point started = Clock::now();
    life.joinStartMs = std::chrono::duration_cast<milliseconds>(started - t0_).count();
    nodes_->join(i, contact.ip, contact.port);
    joins_.push_back(PendingJoin{i, QuietWatch(activity(), Clock::now()), started + milliseconds(s_.joinTimeoutMs)});
    life.joinDeadlineMs = std::chrono::duration_cast<milliseconds>(joins_.back().deadline - t0_).count();
}

void Engine::waitJoins() {
    while (!joins_.empty()) pause();
}

// The newcomers of the group: its live nodes not yet in the overlay. When
// no node is in the overlay and there is no outside contact, the first of
// them starts the overlay.
void Engine::joinGroup(const StepSpec& step, Json& record) {
    std::vector<std::size_t> newcomers;
    for (std::size_t i : liveOf(step.group)) {
        if (!slots_[i].inOverlay) newcomers.push_back(i);
    }
    if (!newcomers.empty() && !drawContact()) {
        Slot& first = slots_[newcomers.front()];
        Life& life = first.lives.back();
        life.join = "first";
        life.joinStartMs = life.startedMs;
        life.joinEndMs = life.startedMs;
        first.inOverlay = true;
        newcomers.erase(newcomers.begin());
    }
    record["newcomers"] = newcomers.size();
    if (step.mode == "burst") {
        if (const auto contact = drawContact()) {
            for (std::size_t i : newcomers) pressJoin(i, *contact);
        }
        waitJoins();
    } else if (step.mode == "rate") {
        const int64_t begin = ms();
        for (std::size_t k = 0; k < newcomers.size(); ++k) {
            waitUntil(begin + std::llround(static_cast<double>(k) * 1000.0 / step.rate));
            if (const auto contact = drawContact()) pressJoin(newcomers[k], *contact);
            progress_.show(step.name, k + 1, newcomers.size());
        }
        waitJoins();
    } else {
        for (std::size_t k = 0; k < newcomers.size(); ++k) {
            if (const auto contact = drawContact()) pressJoin(newcomers[k], *contact);
            waitJoins();
            progress_.show(step.name, k + 1, newcomers.size());
        }
    }
    int joined = 0;
    for (std::size_t i : newcomers) joined += slots_[i].lives.back().join == "joined";
    record["joined"] = joined;
}

// Crashed or left nodes of the group come back as new nodes at the same
// address and join through a contact drawn from the overlay.
void Engine::restart(const StepSpec& step, Json& record) {
    std::vector<std::size_t> ended;
    if (const GroupSpec* g = s_.group(step.group)) {
        for (std::size_t i : g->members) {
            if (!slots_[i].lives.empty() && !slots_[i].alive()) ended.push_back(i);
        }
    }
    if (step.count > 0 && ended.size() > static_cast<std::size_t>(step.count)) {
        ended.resize(static_cast<std::size_t>(step.count));
    }
    Json restarted = Json::array();
    for (std::size_t i : ended) {
        if (!startLife(i, record)) continue;
        restarted.push_back(slots_[i].address.key());
        if (const auto contact = drawContact()) {
            pressJoin(i, *contact);
            waitJoins();
        }
    }
    record["restarted"] = restarted;
}

// ---------------------------------------------------------------------------
// Lines

void Engine::typeOne(std::size_t typist, const std::string& step) {
    const std::vector<std::size_t> everyone = live();
    Slot& slot = slots_[typist];
    const std::string text = "line " + std::to_string(++lineNumber_) + " from " + slot.address.key();
    const int64_t typed = ms();
    const int32_t sequence = nodes_->type(typist, text);
    lines_.push_back(Json{{"originator", slot.address.key()},
                          {"sequence", sequence},
                          {"text", text},
                          {"phase", step},
                          {"typed_ms", typed},
                          {"last_accept_ms", nullptr},
                          {"accepted_by", 0},
                          {"live_nodes", everyone.size()},
                          {"quiet_ms", nullptr},
                          {"life", slot.lives.back().number}});
    watches_.push_back(LineWatch{lines_.size() - 1, slot.address.key(), sequence, everyone,
                                 std::vector<char>(everyone.size(), 0), 0, std::nullopt, QuietWatch(activity(), Clock::now()),
                                 Clock::now() + milliseconds(s_.settleTimeoutMs)});
}

void Engine::waitLines() {
    while (!watches_.empty()) pause();
}

// Each line at a live node of the group drawn with the seed; without a
// rate, each line is followed by the overlay's quiet before the next.
void Engine::typeLines(const StepSpec& step, Json& record) {
    const int64_t begin = ms();
    int typed = 0;
    for (int k = 0; k < step.count; ++k) {
        if (step.rate > 0) waitUntil(begin + std::llround(static_cast<double>(k) * 1000.0 / step.rate));
        const std::vector<std::size_t> typists = liveOf(step.group);
        if (typists.empty()) break;
        typeOne(drawFrom(typists, typists_), step.name);
        ++typed;
        if (step.rate <= 0) waitLines();
        progress_.show(step.name, static_cast<std::size_t>(k) + 1, static_cast<std::size_t>(step.count));
    }
    waitLines();
    record["typed"] = typed;
}

// ---------------------------------------------------------------------------
// Leaves and crashes

void Engine::endLife(std::size_t i, const std::string& fate, bool settle) {
    Life& life = slots_[i].lives.back();
    life.fateMs = ms();
    life.fate = fate;
    slots_[i].inOverlay = false;
    if (fate == "left") {
        nodes_->leaveRing(i);
        life.stopForced = !nodes_->stop(i);
        life.last = nodes_->counters(i, true);
        if (settle) waitQuiet(s_.settleTimeoutMs);
    } else {
        nodes_->crash(i);
        life.last = nodes_->counters(i, true);
    }
}

// Leaves first, one at a time, each as the disconnect button does it (the
// two notices, then the stop) and each followed by quiet; then the crashes.
void Engine::depart(const StepSpec& step, Json& record) {
    std::vector<std::size_t> order = liveOf(step.group);
    std::shuffle(order.begin(), order.end(), churn_);
    std::size_t leaves = 0;
    std::size_t crashes = 0;
    auto howMany = [&](int count) -> std::size_t {
        if (step.share) return static_cast<std::size_t>(std::llround(*step.share / 100.0 * static_cast<double>(order.size())));
        return static_cast<std::size_t>(count);
    };
    if (step.action == "leave") leaves = howMany(step.count);
    if (step.action == "crash") crashes = howMany(step.count);
    if (step.action == "depart") {
        leaves = static_cast<std::size_t>(step.leave);
        crashes = static_cast<std::size_t>(step.crash);
    }
    leaves = std::min(leaves, order.size());
    crashes = std::min(crashes, order.size() - leaves);
    Json left = Json::array();
    Json crashed = Json::array();
    for (std::size_t k = 0; k < leaves + crashes; ++k) {
        const bool leave = k < leaves;
        endLife(order[k], leave ? "left" : "crashed", leave);
        (leave ? left : crashed).push_back(slots_[order[k]].address.key());
        progress_.show(step.name, k + 1, leaves + crashes);
    }
    waitQuiet(s_.settleTimeoutMs);
    record["left"] = left;
    record["crashed"] = crashed;
}

// ---------------------------------------------------------------------------
// Network

bool Engine::changeNetwork(const StepSpec& step, Json& record) {
    conditions_.apply(step);
    RuleSet rules;
    // Nodes that share an address (a host plan over several processes) are
    // told apart by their ports too.
    std::set<std::string> ips;
    for (const Slot& slot : slots_) ips.insert(slot.address.ip);
    rules.byPort = ips.size() < slots_.size();
    const auto ruleAddressOf = [&](std::size_t i) {
        return ruleAddress(slots_[i].address.ip, slots_[i].address.port, rules.byPort);
    };
    for (std::size_t i = 0; i < slots_.size(); ++i) rules.own.push_back(ruleAddressOf(i));
    rules.logGroup = drops_ ? DropLogGroup : 0;
    auto setOf = [&](const std::string& group) {
        std::size_t index = 0;
        while (s_.groups[index].name != group) ++index;
        std::string name = "g" + std::to_string(index);
        if (std::none_of(sets_.begin(), sets_.end(), [&](const AddressSet& a) { return a.name == name; })) {
            AddressSet a{name, {}};
            for (std::size_t i : s_.groups[index].members) a.ips.push_back(ruleAddressOf(i));
            sets_.push_back(a);
        }
        return name;
    };
    if (network_ == "shared") {
        // The network may carry other traffic than the nodes': every rule
        // is kept to datagrams between two nodes.
        if (std::none_of(sets_.begin(), sets_.end(), [](const AddressSet& a) { return a.name == "nodes"; })) {
            AddressSet all{"nodes", {}};
            for (std::size_t i = 0; i < slots_.size(); ++i) all.ips.push_back(ruleAddressOf(i));
            sets_.push_back(all);
        }
    }
    rules.drops = conditions_.drops(setOf);
    Json state = conditions_.state();
    if (network_ == "shared") {
        for (DropRule& d : rules.drops) {
            if (d.from.empty()) d.from = "nodes";
            if (d.to.empty()) d.to = "nodes";
        }
    }
    rules.sets = sets_;
    std::string reason = applyRuleset(rules);
    rulesLoaded_ = rulesLoaded_ || reason.empty();
    if (reason.empty()) reason = nodes_->applyRulesElsewhere(rules);
    const int64_t when = ms();
    if (!reason.empty()) {
        progress_.clear();
        std::fprintf(stderr, "palaver-lab: step '%s' (%s): %s\n", step.name.c_str(), step.action.c_str(),
                     reason.c_str());
        record["error"] = reason;
        return false;
    }
    state["ms"] = when;
    state["step"] = step.name;
    state["rules"] = rules.drops.size();
    state["confirmed"] = true;
    network_changes_.push_back(state);
    record["network"] = state;
    return true;
}

// ---------------------------------------------------------------------------
// Snapshots

// The live nodes' tables: written into tables/<dirName>/ when `write`, and
// summed up as the overlay's health.
Json Engine::health(const std::string& name, const std::string& dirName, bool write) {
    const std::filesystem::path dir = out_ / "tables" / dirName;
    std::error_code ec;
    if (write) std::filesystem::create_directories(dir, ec);
    Snapshot snap;
    snap.name = name;
    int unwritten = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].alive()) continue;
        const std::string text = nodes_->table(i);
        if (write) {
            std::ofstream file(dir / ("status_" + slots_[i].address.key() + ".csv"), std::ios::binary);
            file << text;
            unwritten += !file.good();
        }
        if (auto t = parseStatusReport(text)) snap.tables[slots_[i].address.key()] = *t;
    }
    if (unwritten) {
        std::fprintf(stderr, "palaver-lab: %d status reports could not be written into %s\n", unwritten, dir.c_str());
    }
    const TopologySummary t = summarizeTopology(snap);
    return Json{{"live", t.live},
                {"ring_intact", t.ringIntact},
                {"ring_cycles", t.ringCycles},
                {"dangling_next", t.danglingNext},
                {"components", t.components},
                {"unreachable_pairs", t.unreachablePairs}};
}

void Engine::snapshot(const std::string& name, const std::string& dirName) {
    const int64_t when = ms();
    Json h = health(name, dirName, true);
    loadRows(name);
    snapshots_.push_back(Json{{"name", name}, {"dir", "tables/" + dirName}, {"ms", when}, {"health", h}});
}

// ---------------------------------------------------------------------------
// Churn models

void Engine::startChurn(const StepSpec& step, std::size_t index, Json& record) {
    const GroupSpec* g = s_.group(step.group);
    const std::vector<ChurnSession> schedule =
        drawChurnSchedule(step.churn, g->members, s_.seed, static_cast<uint32_t>(index));
    const int64_t begin = ms();
    Json sessions = Json::array();
    const std::size_t churn = churns_.size();
    for (const ChurnSession& c : schedule) {
        sessions.push_back(Json{{"node", slots_[c.node].address.key()},
                                {"start_ms", c.startMs},
                                {"length_ms", c.lengthMs},
                                {"end", c.end.empty() ? Json(nullptr) : Json(c.end)},
                                {"rejoin_ms", orNull(c.rejoinMs)}});
        if (!c.end.empty()) {
            events_.push_back(ChurnEvent{begin + c.startMs + c.lengthMs, c.node, c.end, churn});
        }
        if (c.rejoinMs) events_.push_back(ChurnEvent{begin + *c.rejoinMs, c.node, "rejoin", churn});
    }
    std::stable_sort(events_.begin(), events_.end(),
                     [](const ChurnEvent& a, const ChurnEvent& b) { return a.dueMs < b.dueMs; });
    const ChurnModel& m = step.churn;
    churns_.push_back(Json{{"step", step.name},
                           {"group", step.group},
                           {"model", m.distribution},
                           {"mean_s", m.meanS},
                           {"shape", m.shape},
                           {"crash_share", m.crashShare},
                           {"rejoin", m.rejoin},
                           {"pause_s", m.pauseS},
                           {"duration_s", m.durationS},
                           {"begin_ms", begin},
                           {"sessions", sessions},
                           {"events", Json::array()}});
    record["sessions"] = sessions.size();
}

void Engine::runChurnEvent(const ChurnEvent& e) {
    Slot& slot = slots_[e.slot];
    std::string done = "skipped";
    if (e.what == "rejoin") {
        if (!slot.lives.empty() && !slot.alive()) {
            Json ignored;
            if (startLife(e.slot, ignored)) {
                done = "rejoined";
                if (const auto contact = drawContact()) pressJoin(e.slot, *contact);
            }
        }
    } else if (slot.alive()) {
        // Joins still pending for this node end as failed when the pump next looks.
        endLife(e.slot, e.what == "crash" ? "crashed" : "left", false);
        done = e.what == "crash" ? "crashed" : "left";
    }
    churns_[e.churn]["events"].push_back(
        Json{{"ms", ms()}, {"due_ms", e.dueMs}, {"node", slot.address.key()}, {"event", e.what}, {"done", done}});
}

// ---------------------------------------------------------------------------
// Steps

bool Engine::act(const StepSpec& step, std::size_t index, Json& record) {
    const std::string& a = step.action;
    if (a == "start") {
        std::size_t done = 0;
        const GroupSpec* g = s_.group(step.group);
        for (std::size_t i : g->members) {
            if (!slots_[i].lives.empty()) continue;
            if (!startLife(i, record)) return false;
            progress_.show(step.name, ++done, g->members.size());
        }
        record["started"] = done;
    } else if (a == "join") {
        joinGroup(step, record);
    } else if (a == "lines") {
        typeLines(step, record);
    } else if (a == "leave" || a == "crash" || a == "depart") {
        depart(step, record);
    } else if (a == "restart") {
        restart(step, record);
    } else if (a == "loss" || a == "partition" || a == "heal") {
        return changeNetwork(step, record);
    } else if (a == "snapshot") {
        if (step.everyS > 0) {
            const auto every = static_cast<int64_t>(std::llround(step.everyS * 1000));
            periodic_.push_back(PeriodicSnapshot{step.snapshotName(), step.until, every, ms(), 0});
            pump();
        } else {
            snapshot(step.snapshotName(), step.snapshotName());
        }
    } else if (a == "churn") {
        startChurn(step, index, record);
    }
    return true;
}

void Engine::beginPhase(const std::string& name) { phase_ = Json{{"name", name}, {"start_ms", ms()}}; }

void Engine::endPhase() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    rusage own{};
    ::getrusage(RUSAGE_THREAD, &own);
    phase_["end_ms"] = ms();
    phase_["cpu_ms"] = cpuMilliseconds(usage);
    phase_["peak_rss_kib"] = usage.ru_maxrss;
    phase_["lab_thread_cpu_ms"] = cpuMilliseconds(own);
    // Where other processes hold nodes: each one's CPU time and peak memory
    // so far, read at the same moment.
    const std::vector<ProcessUsage> processes = nodes_ ? nodes_->processes() : std::vector<ProcessUsage>{};
    if (!processes.empty()) {
        Json ranks = Json::array();
        for (const ProcessUsage& p : processes) {
            ranks.push_back(Json{{"rank", p.rank}, {"cpu_ms", p.cpuMs}, {"peak_rss_kib", p.peakRssKib}});
        }
        phase_["ranks"] = ranks;
    }
    // The machine's 1-minute load average at the phase's end: what else
    // competed with the nodes for the cores (timing figures such as the hop
    // count of a line's first copy depend on it).
    double load[1] = {0};
    if (::getloadavg(load, 1) == 1) phase_["load_average"] = load[0];
    phases_.push_back(phase_);
    progress_.clear();
}

void Engine::stopAll() {
    events_.clear();
    periodic_.clear();
    const std::vector<std::size_t> nodes = live();
    // One stop datagram to each first, so that the threads end side by side.
    for (std::size_t i : nodes) nodes_->nudgeStop(i);
    std::size_t done = 0;
    for (std::size_t i : nodes) {
        slots_[i].lives.back().stopForced = !nodes_->stop(i);
        progress_.show("stop", ++done, nodes.size());
    }
}

int Engine::execute() {
    outText_ = out_.string();
    if (const int status = setUp(); status != 0) return status;
    int64_t previousEnd = 0;
    for (std::size_t k = 0; k < s_.steps.size() && !fatal_; ++k) {
        const StepSpec& step = s_.steps[k];
        std::erase_if(periodic_, [&](const PeriodicSnapshot& p) { return p.until == step.name; });
        beginPhase(step.name);
        Json record = Json{{"name", step.name}, {"do", step.action}};
        if (step.action != "loss" && step.action != "partition" && step.action != "heal" && step.action != "wait" &&
            step.action != "snapshot") {
            record["group"] = step.group;
        }
        record["start_ms"] = ms();
        switch (step.trigger.kind) {
        case Trigger::Kind::After:
            waitUntil(previousEnd + step.trigger.ms);
            break;
        case Trigger::Kind::At:
            waitUntil(step.trigger.ms);
            break;
        case Trigger::Kind::Quiet:
            record["waited"] = waitQuiet(step.trigger.withinMs) ? "quiet" : "bound";
            break;
        case Trigger::Kind::Members: {
            const bool reached = waitMembers(step.trigger);
            record["waited"] = reached ? "members" : "bound";
            hold_ = Json{{"members", step.trigger.members}, {"reached", reached}, {"end_ms", ms()}};
            break;
        }
        }
        record["action_ms"] = ms();
        if (!act(step, k, record)) fatal_ = true;
        previousEnd = ms();
        record["end_ms"] = previousEnd;
        steps_.push_back(record);
        endPhase();
    }
    // Whatever is still being watched, before the end's look at the tables.
    if (!fatal_) {
        waitJoins();
        waitLines();
    }
    endHealth_ = health("end", "", false);
    loadEndRows();
    beginPhase("stop");
    stopAll();
    joins_.clear();
    pump();
    writeDrops();
    writeAccepts();
    writeLoad();
    endPhase();

    const Json v = verdict();
    writeRecord(v);
    if (fatal_) return 1;
    printSummary();
    if (!s_.expectations.empty()) printVerdict(v);
    return v["passed"].get<bool>() ? 0 : 1;
}

// drops.csv: what the kernel logged of the rules' drops, and the check of
// its count against the rules' own counter. Runs once no node sends.
void Engine::writeDrops() {
    std::string counterReason;
    // No rule ever loaded: nothing was dropped.
    const std::optional<uint64_t> here = rulesLoaded_ ? dropCounter(counterReason) : std::optional<uint64_t>(0);
    bool known = here.has_value();
    uint64_t counted = here.value_or(0);
    std::vector<DropRecord> records;
    uint64_t overruns = 0;
    bool recorded = drops_ != nullptr;
    std::string reason = dropsReason_;
    if (drops_) {
        drops_->close();
        records = drops_->records();
        overruns = drops_->overruns();
    }
    // The other networks' rules, where nodes run in more than this one: their
    // records go in among these by time, their counters add up.
    const DropTally elsewhere = rulesLoaded_ ? nodes_->dropsElsewhere() : DropTally{};
    if (elsewhere.networks > 0) {
        records.insert(records.end(), elsewhere.records.begin(), elsewhere.records.end());
        std::stable_sort(records.begin(), records.end(),
                         [](const DropRecord& a, const DropRecord& b) { return a.ms < b.ms; });
        overruns += elsewhere.overruns;
        if (!elsewhere.counted) {
            known = false;
            counterReason = elsewhere.counterError;
        }
        counted += elsewhere.counted.value_or(0);
        if (!elsewhere.recorded) {
            recorded = false;
            reason += (reason.empty() ? "" : "; ") + elsewhere.reason;
        }
    }
    std::string text = dropsCsvHeader();
    for (const DropRecord& r : records) text += dropsCsvRow(r);
    std::ofstream file(out_ / "drops.csv", std::ios::binary);
    file << text;
    if (!file.good()) std::fprintf(stderr, "palaver-lab: drops.csv could not be written into %s\n", out_.c_str());
    dropsRecord_ = Json{{"recorded", recorded},
                        {"reason", reason},
                        {"networks", 1 + elsewhere.networks},
                        {"group", recorded ? Json(DropLogGroup) : Json(nullptr)},
                        {"logged", records.size()},
                        {"counted", known ? Json(counted) : Json(nullptr)},
                        {"counter_error", counterReason},
                        {"difference", nullptr},
                        {"overruns", overruns}};
    if (!known) {
        std::fprintf(stderr, "palaver-lab: the rules' drop counter cannot be read (%s): drops.csv is unchecked\n",
                     counterReason.c_str());
    } else if (recorded) {
        const auto difference = static_cast<int64_t>(records.size()) - static_cast<int64_t>(counted);
        dropsRecord_["difference"] = difference;
        if (difference != 0) {
            std::fprintf(stderr,
                         "palaver-lab: drops.csv holds %zu dropped datagrams but the rules counted %llu (%lld; "
                         "%llu times the log's buffer was full)\n",
                         records.size(), static_cast<unsigned long long>(counted), static_cast<long long>(difference),
                         static_cast<unsigned long long>(overruns));
        }
    } else if (counted > 0) {
        std::fprintf(stderr, "palaver-lab: the rules dropped %llu datagrams that drops.csv cannot list (%s)\n",
                     static_cast<unsigned long long>(counted), reason.c_str());
    }
}

// accepts.csv: every chat line each life of each node accepted, with the
// lab's stamp. Runs once every receive thread has ended.
void Engine::writeAccepts() {
    std::optional<std::vector<AcceptStamp>> stamped = nodes_->accepts();
    if (!stamped) {
        // No accepts.csv rather than a partial one: the analyzer then says
        // that the delivery times are not available.
        acceptsRecord_ = Json{{"recorded", false}, {"reason", "the nodes' acceptances were not stamped where they ran"}};
        return;
    }
    std::vector<AcceptStamp> stamps = std::move(*stamped);
    std::stable_sort(stamps.begin(), stamps.end(),
                     [](const AcceptStamp& a, const AcceptStamp& b) { return a.ms < b.ms; });
    std::string text = "node,life,originator,sequence,ttl,ms\n";
    for (const AcceptStamp& a : stamps) {
        std::string originator;
        for (char c : a.originator) {
            const auto u = static_cast<unsigned char>(c);
            originator += (u > 0x20 && u < 0x7f && c != ',' && c != '"') ? c : '?';
        }
        text += slots_[a.node].address.key() + "," + std::to_string(a.life) + "," + originator + "," +
                std::to_string(a.sequence) + "," + std::to_string(a.ttl) + "," + std::to_string(a.ms) + "\n";
    }
    std::ofstream file(out_ / "accepts.csv", std::ios::binary);
    file << text;
    if (!file.good()) std::fprintf(stderr, "palaver-lab: accepts.csv could not be written into %s\n", out_.c_str());
    acceptsRecord_ = Json{{"file", "accepts.csv"}, {"rows", stamps.size()}};
}

// load.csv: each node life's datagrams and receive-thread CPU time at every
// snapshot (its live lives) and at the end (every life: an ended one with
// its counters as it ended, a live one just before the stop).
namespace {
std::string loadRow(const std::string& snapshot, std::size_t slot, int life, const std::string& address,
                    const std::optional<NodeCounters>& c) {
    std::string row = snapshot + "," + std::to_string(slot + 1) + "," + std::to_string(life) + "," + address;
    if (!c) return row + ",,,\n";
    row += "," + std::to_string(c->sent) + "," + std::to_string(c->received) + ",";
    if (c->cpuMs >= 0) row += std::to_string(c->cpuMs);
    return row + "\n";
}
}  // namespace

void Engine::loadRows(const std::string& snapshot) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].alive()) continue;
        loadCsv_ += loadRow(snapshot, i, slots_[i].lives.back().number, slots_[i].address.key(),
                            nodes_->counters(i, true));
        ++loadCsvRows_;
    }
}

void Engine::loadEndRows() {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        for (const Life& life : slots_[i].lives) {
            const std::optional<NodeCounters> c = life.fate == "alive" ? nodes_->counters(i, true) : life.last;
            loadCsv_ += loadRow("end", i, life.number, slots_[i].address.key(), c);
            ++loadCsvRows_;
        }
    }
}

void Engine::writeLoad() {
    std::ofstream file(out_ / "load.csv", std::ios::binary);
    file << loadCsv_;
    if (!file.good()) std::fprintf(stderr, "palaver-lab: load.csv could not be written into %s\n", out_.c_str());
    loadRecord_ = Json{{"file", "load.csv"}, {"rows", loadCsvRows_}};
}

// ---------------------------------------------------------------------------
// Expectations, record and summary

namespace {

std::string percentText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", v);
    return text;
}

std::string boundText(const ExpectSpec& e, bool percent) {
    auto one = [&](double v) { return percent ? percentText(v) : std::to_string(std::llround(v)); };
    if (e.atLeast && e.atMost) return one(*e.atLeast) + " to " + one(*e.atMost);
    if (e.atLeast) return ">= " + one(*e.atLeast);
    if (e.atMost) return "<= " + one(*e.atMost);
    return "";
}

bool within(const ExpectSpec& e, double v) {
    const double slack = 1e-9;
    return (!e.atLeast || v + slack >= *e.atLeast) && (!e.atMost || v - slack <= *e.atMost);
}

}  // namespace

Json Engine::verdict() {
    Json checks = Json::array();
    bool passed = true;
    for (const ExpectSpec& e : s_.expectations) {
        Json c = Json{{"name", e.name}, {"check", e.check}};
        bool pass = false;
        std::string measured = "nothing to measure";
        if (e.check == "delivery") {
            std::optional<double> lowest;
            std::size_t counted = 0;
            for (const Json& line : lines_) {
                if (!e.steps.empty() &&
                    std::find(e.steps.begin(), e.steps.end(), line["phase"].get<std::string>()) == e.steps.end()) {
                    continue;
                }
                const double share = 100.0 * line["accepted_by"].get<double>() /
                                     std::max(1.0, line["live_nodes"].get<double>());
                lowest = lowest ? std::min(*lowest, share) : share;
                ++counted;
            }
            c["expected"] = "every line " + boundText(e, true) + " of the live nodes";
            if (lowest) {
                measured = "lowest " + percentText(*lowest) + " over " + std::to_string(counted) + " lines";
                pass = within(e, *lowest);
                c["value"] = *lowest;
            }
        } else if (e.check == "joins") {
            int joined = 0;
            int tried = 0;
            for (const Slot& slot : slots_) {
                for (const Life& life : slot.lives) {
                    joined += life.join == "joined";
                    tried += life.join == "joined" || life.join == "failed";
                }
            }
            c["expected"] = boundText(e, true) + " of the joins completed";
            if (tried > 0) {
                const double share = 100.0 * joined / tried;
                measured = percentText(share) + " (" + std::to_string(joined) + " of " + std::to_string(tried) + ")";
                pass = within(e, share);
                c["value"] = share;
            }
        } else {
            const Json* h = e.snapshot == "end" ? &endHealth_ : nullptr;
            for (const Json& snap : snapshots_) {
                if (snap["name"] == e.snapshot) h = &snap["health"];
            }
            if (e.check == "ring") {
                c["expected"] = "ring intact at " + e.snapshot;
                if (h && h->is_object()) {
                    pass = (*h)["ring_intact"].get<bool>();
                    measured = pass ? "intact" : "broken (" + std::to_string((*h)["ring_cycles"].get<int>()) + " cycles, " + std::to_string((*h)["dangling_next"].get<int>()) + " dangling next)";
                    c["value"] = pass;
                }
            } else {
                const char* field = e.check == "dangling_next" ? "dangling_next" : "components";
                c["expected"] = std::string(field) + " " + boundText(e, false) + " at " + e.snapshot;
                if (h && h->is_object()) {
                    const double v = (*h)[field].get<double>();
                    measured = std::to_string(std::llround(v));
                    pass = within(e, v);
                    c["value"] = v;
                }
            }
        }
        c["measured"] = measured;
        c["pass"] = pass;
        passed = passed && pass;
        checks.push_back(c);
    }
    return Json{{"passed", passed}, {"checks", checks}};
}

void Engine::printVerdict(const Json& v) {
    std::size_t wide[3] = {5, 8, 8};
    for (const Json& c : v["checks"]) {
        wide[0] = std::max(wide[0], c["name"].get<std::string>().size());
        wide[1] = std::max(wide[1], c["expected"].get<std::string>().size());
        wide[2] = std::max(wide[2], c["measured"].get<std::string>().size());
    }
    auto row = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
        std::printf("  %-*s  %-*s  %-*s  %s\n", static_cast<int>(wide[0]), a.c_str(), static_cast<int>(wide[1]),
                    b.c_str(), static_cast<int>(wide[2]), c.c_str(), d.c_str());
    };
    std::printf("verdict: %s\n", v["passed"].get<bool>() ? "every check passed" : "a check failed");
    row("check", "expected", "measured", "result");
    for (const Json& c : v["checks"]) {
        row(c["name"], c["expected"], c["measured"], c["pass"].get<bool>() ? "pass" : "FAIL");
    }
}

void Engine::writeRecord(const Json& verdictRecord) const {
    Json record;
    record["lab_version"] = PALAVER_LAB_VERSION;
    record["command_line"] = commandLine_;
    record["seed"] = s_.seed;
    int firstLines = 0;
    int leave = 0;
    int crash = 0;
    int burst = 0;
    int holdMembers = 0;
    double loss = 0;
    for (const StepSpec& st : s_.steps) {
        if (st.action == "lines" && firstLines == 0) firstLines = st.count;
        if (st.action == "depart") {
            leave += st.leave;
            crash += st.crash;
        }
        if (st.action == "join" && st.mode == "burst") burst += static_cast<int>(s_.group(st.group)->members.size());
        if (st.action == "loss" && st.between.empty()) loss = std::max(loss, st.percent);
        if (st.trigger.kind == Trigger::Kind::Members) holdMembers = st.trigger.members;
    }
    record["parameters"] = Json{{"nodes", s_.nodes},
                                {"lines", firstLines},
                                {"loss", loss},
                                {"leave", leave},
                                {"crash", crash},
                                {"burst", burst},
                                {"first_address", s_.firstAddress},
                                {"port", s_.port},
                                {"contact", contact_ ? contact_->key() : ""},
                                {"network", network_},
                                {"join_timeout_ms", s_.joinTimeoutMs},
                                {"settle_timeout_ms", s_.settleTimeoutMs},
                                {"quiet_ms", s_.quietMs},
                                {"hold_members", holdMembers}};
    record["scenario"] = Json{{"source", s_.source}, {"toml", scenarioToml(s_)}};
    Json groups = Json::object();
    for (const GroupSpec& g : s_.groups) {
        Json members = Json::array();
        for (std::size_t i : g.members) members.push_back(slots_.empty() ? "" : slots_[i].address.key());
        groups[g.name] = members;
    }
    record["groups"] = groups;
    Json nodes = Json::array();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        const NodeSite site = nodes_ ? nodes_->site(i) : NodeSite{};
        for (const Life& n : slot.lives) {
            const std::string prefix = n.dir.empty() ? "" : n.dir + "/";
            nodes.push_back(Json{{"address", slot.address.key()},
                                 {"contact", n.contact},
                                 {"join_start_ms", orNull(n.joinStartMs)},
                                 {"join_end_ms", orNull(n.joinEndMs)},
                                 {"join", n.join},
                                 {"fate", n.fate},
                                 {"fate_ms", orNull(n.fateMs)},
                                 {"id", n.id},
                                 {"started_ms", orNull(n.startedMs)},
                                 {"join_given_up_ms", orNull(n.joinGivenUpMs)},
                                 {"join_deadline_ms", orNull(n.joinDeadlineMs)},
                                 {"join_given_up_by", n.joinGivenUpBy},
                                 {"join_state", n.joinState},
                                 {"stop_forced", n.stopForced},
                                 {"node", i + 1},
                                 {"life", n.number},
                                 {"rank", site.rank},
                                 {"host", site.host},
                                 {"log", prefix + slot.address.key() + ".txt"},
                                 {"closing_report", prefix + "status_" + slot.address.key() + ".csv"}});
        }
    }
    record["nodes"] = nodes;
    const std::vector<ProcessUsage> processes = nodes_ ? nodes_->processes() : std::vector<ProcessUsage>{};
    if (!processes.empty()) {
        Json ranks = Json::array();
        for (const ProcessUsage& p : processes) {
            ranks.push_back(Json{{"rank", p.rank},
                                 {"host", p.host},
                                 {"nodes", p.nodes},
                                 {"cpu_ms", p.cpuMs},
                                 {"peak_rss_kib", p.peakRssKib},
                                 {"clock_offset_us", p.clockOffsetUs},
                                 {"clock_error_us", p.clockErrorUs},
                                 {"cpus", p.cpus},
                                 {"host_cpus", p.hostCpus}});
        }
        record["ranks"] = ranks;
    }
    record["lines"] = lines_;
    record["phases"] = phases_;
    record["steps"] = steps_;
    record["snapshots"] = snapshots_;
    record["network_changes"] = network_changes_;
    record["churn"] = churns_;
    record["end_health"] = endHealth_;
    record["drops"] = dropsRecord_;
    record["accepts"] = acceptsRecord_;
    record["load"] = loadRecord_;
    record["verdict"] = verdictRecord;
    record["hold"] = hold_;
    record["end_ms"] = ms();
    std::ofstream file(out_ / "run.json");
    file << record.dump(2) << "\n";
}

void Engine::printSummary() const {
    int joined = 0;
    int failed = 0;
    int left = 0;
    int crashed = 0;
    int forced = 0;
    int inRing = 0;
    int restarted = 0;
    for (const Slot& slot : slots_) {
        for (const Life& n : slot.lives) {
            joined += n.join == "joined";
            failed += n.join == "failed";
            inRing += n.join == "failed" && n.joinState == JoinedAsNewcomer;
            left += n.fate == "left";
            crashed += n.fate == "crashed";
            forced += n.stopForced;
            restarted += n.number > 1;
        }
    }
    int reachedAll = 0;
    double acceptedShare = 0;
    for (const Json& line : lines_) {
        reachedAll += line["accepted_by"] == line["live_nodes"];
        acceptedShare += line["accepted_by"].get<double>() / std::max(1.0, line["live_nodes"].get<double>());
    }
    double loss = 0;
    for (const StepSpec& st : s_.steps) {
        if (st.action == "loss" && st.between.empty()) loss = std::max(loss, st.percent);
    }
    std::printf("palaver-lab run: %d nodes on %s network, loss %g %%, seed %llu, folder %s\n", s_.nodes,
                network_ == "namespace" ? "a private" : network_ == "shared" ? "the ranks' shared"
                                                                             : "the host's",
                loss, static_cast<unsigned long long>(s_.seed),
                outText_.c_str());
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
    if (left + crashed > 0) std::printf("churn: %d left, %d crashed, %d restarted\n", left, crashed, restarted);
    if (!network_changes_.empty()) std::printf("network: %zu changes\n", network_changes_.size());
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

}  // namespace

int runScenario(const Scenario& scenario, const std::string& out, const std::vector<std::string>& commandLine) {
    return runScenario(scenario, out, commandLine,
                       [](std::size_t count, std::chrono::steady_clock::time_point start) {
                           return std::make_unique<LocalNodes>(count, start);
                       });
}

int runScenario(const Scenario& scenario, const std::string& out, const std::vector<std::string>& commandLine,
                const NodeHostFactory& makeNodes, const AddressPlan& addressOf) {
    Engine engine(scenario, out, commandLine, makeNodes, addressOf);
    return engine.execute();
}

}  // namespace palaver::lab
