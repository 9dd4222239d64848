#include "mpi/ranks.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "mpi/gather.h"
#include "net/network.h"
#include "net/rules.h"
#include "mpi/spread.h"

namespace palaver::lab::mpi {

namespace {

// What each rank gives of itself in a Usage gather: CPU ms, peak RSS KiB,
// the cores it may run on, its host's cores.
constexpr int UsageFigures = 4;

void send(MPI_Comm comm, int dest, int tag, const Message& m) {
    const std::vector<char> bytes = encode(m);
    MPI_Send(bytes.data(), static_cast<int>(bytes.size()), MPI_BYTE, dest, tag, comm);
}

Message reply() {
    Message m;
    m.op = Op::Reply;
    return m;
}

Message failure(const std::string& reason) {
    Message m;
    m.op = Op::Error;
    m.texts.push_back(reason);
    return m;
}

// The loss and partition rules of a rank that holds them for its network:
// its own record of their drops, stamped from the run's zero.
struct RankRules {
    std::unique_ptr<DropLog> log;
    std::string logReason;
    bool loaded = false;
    bool closed = false;
    std::vector<DropRecord> records;
    uint64_t overruns = 0;
    std::optional<uint64_t> counted;
    std::string counterReason;

    void close() {
        if (closed) return;
        closed = true;
        if (log) {
            log->close();
            records = log->records();
            overruns = log->overruns();
        }
        counted = loaded ? dropCounter(counterReason) : std::optional<uint64_t>(0);
    }
};

Message rulesRequest(RankRules* rules, const Message& q, int rank) {
    Message r = reply();
    if (!rules) return failure("rank " + std::to_string(rank) + " holds no rules for its network");
    if (q.op == Op::Rules) {
        std::string error;
        const auto set = q.texts.size() == 1 ? decodeRules(q.texts[0], error) : std::nullopt;
        if (!set) return failure("rules: " + (error.empty() ? std::string("wants the rules") : error));
        RuleSet local = *set;
        // Logged only where this rank's log listens.
        if (!rules->log) local.logGroup = 0;
        const std::string reason = applyRuleset(local);
        rules->loaded = rules->loaded || reason.empty();
        r.texts.push_back(reason);
        return r;
    }
    if (q.values[0] == 0) rules->close();
    const auto from = static_cast<std::size_t>(std::max<int64_t>(0, q.values[0]));
    r.values = {static_cast<int64_t>(rules->records.size()),
                rules->counted ? static_cast<int64_t>(*rules->counted) : -1,
                static_cast<int64_t>(rules->overruns),
                rules->log ? 1 : 0,
                0,
                0};
    r.texts = {encodeDrops(rules->records, from, AcceptsPerReply), rules->counterReason, rules->logReason};
    return r;
}

// Carries out one request on this rank's own nodes (or its network's
// rules, when it holds them); with a staging folder, they write there
// instead of into the run folder.
Message carryOut(LocalNodes& nodes, RankRules* rules, const Message& q, std::size_t count, int rank, int ranks,
                 const std::filesystem::path& staging) {
    Message r = reply();
    // Requests to the rank rather than to one of its nodes.
    switch (q.op) {
    case Op::Rules:
    case Op::Drops:
        return rulesRequest(rules, q, rank);
    case Op::Clock:
        r.values[0] = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
        return r;
    case Op::Zero: {
        const std::chrono::steady_clock::time_point zero(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(q.values[0])));
        nodes.setZero(zero);
        if (rules && !rules->log && rules->logReason.empty()) {
            // Bound before any rule drops, its stamps from the run's zero.
            rules->log = std::make_unique<DropLog>(zero);
            rules->logReason = rules->log->open(DropLogGroup);
            if (!rules->logReason.empty()) {
                rules->log.reset();
                rules->logReason = "rank " + std::to_string(rank) + ": " + rules->logReason;
            }
        }
        return r;
    }
    case Op::Accepts: {
        const std::vector<AcceptStamp> stamps = nodes.accepts().value_or(std::vector<AcceptStamp>{});
        const auto from = static_cast<std::size_t>(std::max<int64_t>(0, q.values[0]));
        r.values[0] = static_cast<int64_t>(stamps.size());
        r.texts.push_back(encodeAccepts(stamps, from, AcceptsPerReply));
        return r;
    }
    default:
        break;
    }
    const auto i = static_cast<std::size_t>(q.node);
    if (i >= count || rankOfNode(i, count, ranks) != rank) {
        return failure("node " + std::to_string(i + 1) + " is not held by rank " + std::to_string(rank));
    }
    const auto needTexts = [&](std::size_t n) { return q.texts.size() == n; };
    switch (q.op) {
    case Op::Start: {
        if (!needTexts(2)) return failure("start: wants an address and a folder");
        int32_t id = 0;
        std::string error;
        std::string dir = q.texts[1];
        if (!staging.empty()) {
            const std::filesystem::path local = stagedFolder(staging, dir);
            std::error_code ec;
            std::filesystem::create_directories(local, ec);
            if (ec) return failure("start: cannot make " + local.string() + ": " + ec.message());
            dir = local.string();
        }
        r.values[0] = nodes.start(i, q.texts[0], static_cast<int>(q.values[0]), dir,
                                  static_cast<uint32_t>(q.values[1]), id, error);
        r.values[1] = id;
        r.texts.push_back(error);
        return r;
    }
    case Op::Join:
        if (!needTexts(1)) return failure("join: wants the contact's address");
        nodes.join(i, q.texts[0], static_cast<int>(q.values[0]));
        return r;
    case Op::Type:
        if (!needTexts(1)) return failure("type: wants the line");
        r.values[0] = nodes.type(i, q.texts[0]);
        return r;
    case Op::LeaveRing:
        nodes.leaveRing(i);
        return r;
    case Op::Crash:
        nodes.crash(i);
        return r;
    case Op::Stop:
        r.values[0] = nodes.stop(i) ? 1 : 0;
        return r;
    case Op::NudgeStop:
        nodes.nudgeStop(i);
        return r;
    case Op::Counters: {
        const NodeCounters c = nodes.counters(i, q.values[0] != 0);
        r.values = {static_cast<int64_t>(c.sent), static_cast<int64_t>(c.received), c.joinState, c.chatSequence,
                    c.running ? 1 : 0, c.cpuMs};
        return r;
    }
    case Op::Holds:
        if (!needTexts(1)) return failure("holds: wants the originator");
        r.values[0] = nodes.holds(i, q.texts[0], static_cast<int32_t>(q.values[0])) ? 1 : 0;
        return r;
    case Op::MemberCount:
        r.values[0] = static_cast<int64_t>(nodes.memberCount(i));
        return r;
    case Op::Table:
        r.texts.push_back(nodes.table(i));
        return r;
    default:
        break;
    }
    return failure("a reply is not a request");
}

}  // namespace

void patiently(const std::function<bool()>& done) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (std::chrono::steady_clock::now() - start < std::chrono::microseconds(50)) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
}

void patiently(MPI_Request& request) {
    patiently([&] {
        int done = 0;
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
        return done != 0;
    });
    // Complete already (MPI_Test has freed it): returns at once.
    MPI_Wait(&request, MPI_STATUS_IGNORE);
}

std::optional<Message> receive(MPI_Comm comm, int source, int tag, std::string& error) {
    MPI_Status status;
    patiently([&] {
        int waiting = 0;
        MPI_Iprobe(source, tag, comm, &waiting, &status);
        return waiting != 0;
    });
    int size = 0;
    MPI_Get_count(&status, MPI_BYTE, &size);
    if (size < 0 || static_cast<std::size_t>(size) > MaxMessageBytes) {
        // Take it off the queue without keeping it, so the next one can come.
        char none = 0;
        MPI_Recv(&none, 0, MPI_BYTE, status.MPI_SOURCE, tag, comm, MPI_STATUS_IGNORE);
        error = "a message of " + std::to_string(size) + " bytes is past the bound";
        return std::nullopt;
    }
    std::vector<char> bytes(static_cast<std::size_t>(size));
    MPI_Recv(bytes.data(), size, MPI_BYTE, status.MPI_SOURCE, tag, comm, MPI_STATUS_IGNORE);
    return decode(bytes.data(), bytes.size(), error);
}

RankNodes::RankNodes(std::size_t count, MPI_Comm comm, std::vector<std::string> hosts,
                     std::chrono::steady_clock::time_point start, std::vector<int> ruleHolders)
    : count_(count),
      comm_(comm),
      ranks_(1),
      hosts_(std::move(hosts)),
      ruleHolders_(std::move(ruleHolders)),
      own_(count, start) {
    MPI_Comm_size(comm_, &ranks_);
    clockOffsetUs_.assign(static_cast<std::size_t>(ranks_), 0);
    clockErrorUs_.assign(static_cast<std::size_t>(ranks_), 0);
    for (int r = 1; r < ranks_; ++r) setClock(r, start);
    // A launcher that binds each rank to a core (mpirun does by default for
    // up to two ranks) leaves all of a rank's receive threads one core.
    for (const ProcessUsage& p : gatherUsage()) {
        if (p.cpus > 0 && p.cpus < p.hostCpus) {
            std::fprintf(stderr,
                         "palaver-lab-mpi: rank %d on host %s may run on %d of its %d cores, which all its nodes' "
                         "receive threads share (mpirun --bind-to none lets them use every core)\n",
                         p.rank, p.host.c_str(), p.cpus, p.hostCpus);
        }
    }
}

int RankNodes::rankOf(std::size_t i) const { return rankOfNode(i, count_, ranks_); }

namespace {
int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

// The rank's clock read between two readings of this one: the exchange
// with the shortest round trip places it best (its reading lies somewhere
// in that trip; the middle is taken, half the trip is the error bound).
void RankNodes::setClock(int rank, std::chrono::steady_clock::time_point start) {
    constexpr int Exchanges = 16;
    int64_t bestTrip = -1;
    int64_t offset = 0;
    Message q;
    q.op = Op::Clock;
    for (int k = 0; k < Exchanges; ++k) {
        const int64_t before = nowNs();
        const Message r = callRank(rank, q);
        const int64_t after = nowNs();
        if (bestTrip < 0 || after - before < bestTrip) {
            bestTrip = after - before;
            offset = before + (after - before) / 2 - r.values[0];
        }
    }
    clockOffsetUs_[static_cast<std::size_t>(rank)] = offset / 1000;
    clockErrorUs_[static_cast<std::size_t>(rank)] = (bestTrip + 1999) / 2000;
    Message zero;
    zero.op = Op::Zero;
    zero.values[0] =
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count() - offset;
    callRank(rank, zero);
}

namespace {

// A rank's records of `op` (stamps, drops), fetched in pieces: each request
// asks from the count so far, each reply gives the total and the next
// piece in text 0 of its `texts`, for `decode`. `first` sees the first
// reply.
template <typename Record, typename Ask, typename Decode, typename First>
std::vector<Record> fetchPieces(int rank, Op op, std::size_t texts, const char* what, Ask ask, Decode decode,
                                First first) {
    std::vector<Record> theirs;
    int64_t total = 0;
    do {
        Message q;
        q.op = op;
        q.values[0] = static_cast<int64_t>(theirs.size());
        const Message answer = ask(q);
        if (q.values[0] == 0) first(answer);
        total = answer.values[0];
        std::string error;
        const std::size_t before = theirs.size();
        if (answer.texts.size() != texts || !decode(answer.texts[0], theirs, error)) {
            throw std::runtime_error("rank " + std::to_string(rank) + " sent " + what + " that are not whole: " + error);
        }
        if (theirs.size() == before && static_cast<int64_t>(theirs.size()) < total) {
            throw std::runtime_error("rank " + std::to_string(rank) + " sent none of the " + std::to_string(total) +
                                     " " + what + " it holds");
        }
    } while (static_cast<int64_t>(theirs.size()) < total);
    return theirs;
}

}  // namespace

// Rank 0's own stamps and every serving rank's, fetched in pieces. A stamp
// of a node the rank does not hold is refused with the rest of that rank's.
std::optional<std::vector<AcceptStamp>> RankNodes::accepts() const {
    std::vector<AcceptStamp> all = own_.accepts().value_or(std::vector<AcceptStamp>{});
    for (int r = 1; r < ranks_; ++r) {
        const std::vector<AcceptStamp> theirs = fetchPieces<AcceptStamp>(
            r, Op::Accepts, 1, "acceptance stamps", [&](const Message& q) { return callRank(r, q); }, decodeAccepts,
            [](const Message&) {});
        for (const AcceptStamp& a : theirs) {
            if (a.node >= count_ || rankOf(a.node) != r) {
                throw std::runtime_error("rank " + std::to_string(r) + " sent a stamp of node " +
                                         std::to_string(a.node + 1) + ", which it does not hold");
            }
        }
        all.insert(all.end(), theirs.begin(), theirs.end());
    }
    return all;
}

std::string RankNodes::applyRulesElsewhere(const RuleSet& rules) {
    Message q;
    q.op = Op::Rules;
    q.texts = {encodeRules(rules)};
    for (int r : ruleHolders_) {
        const Message answer = callRank(r, q);
        if (!answer.texts.empty() && !answer.texts[0].empty()) {
            return "rank " + std::to_string(r) + " on host " + hosts_[static_cast<std::size_t>(r)] + ": " +
                   answer.texts[0];
        }
    }
    return "";
}

// The first reply of each holder carries its counter, overruns and whether
// it recorded at all.
DropTally RankNodes::dropsElsewhere() {
    DropTally tally;
    tally.counted = 0;
    for (int r : ruleHolders_) {
        ++tally.networks;
        const auto first = [&](const Message& answer) {
            if (answer.values[1] < 0) {
                tally.counted.reset();
                tally.counterError = "rank " + std::to_string(r) + ": " +
                                     (answer.texts.size() > 1 ? answer.texts[1] : std::string("no reason"));
            } else if (tally.counted) {
                tally.counted = *tally.counted + static_cast<uint64_t>(answer.values[1]);
            }
            tally.overruns += static_cast<uint64_t>(std::max<int64_t>(0, answer.values[2]));
            if (answer.values[3] == 0) {
                if (!tally.reason.empty()) tally.reason += "; ";
                tally.recorded = false;
                tally.reason += answer.texts.size() > 2 ? answer.texts[2] : "rank " + std::to_string(r);
            }
        };
        const std::vector<DropRecord> theirs = fetchPieces<DropRecord>(
            r, Op::Drops, 3, "drop records", [&](const Message& q) { return callRank(r, q); }, decodeDrops, first);
        tally.records.insert(tally.records.end(), theirs.begin(), theirs.end());
    }
    return tally;
}

std::vector<ProcessUsage> RankNodes::processes() const { return gatherUsage(); }

// Every rank's CPU time and peak memory in one gather.
std::vector<ProcessUsage> RankNodes::gatherUsage() const {
    const ProcessUsage mine = ownUsage();
    std::vector<int64_t> figures(UsageFigures * static_cast<std::size_t>(ranks_), 0);
    if (ranks_ > 1) {
        int64_t command = static_cast<int64_t>(Command::Usage);
        MPI_Request request;
        MPI_Ibcast(&command, 1, MPI_INT64_T, 0, comm_, &request);
        patiently(request);
    }
    const std::array<int64_t, UsageFigures> own{mine.cpuMs, mine.peakRssKib, mine.cpus, mine.hostCpus};
    MPI_Gather(own.data(), UsageFigures, MPI_INT64_T, figures.data(), UsageFigures, MPI_INT64_T, 0, comm_);
    std::vector<ProcessUsage> out;
    for (int r = 0; r < ranks_; ++r) {
        const auto k = static_cast<std::size_t>(r);
        ProcessUsage u;
        u.rank = r;
        u.host = k < hosts_.size() ? hosts_[k] : "";
        u.nodes = firstNodeOf(r + 1, count_, ranks_) - firstNodeOf(r, count_, ranks_);
        u.cpuMs = figures[UsageFigures * k];
        u.peakRssKib = figures[UsageFigures * k + 1];
        u.cpus = static_cast<int>(figures[UsageFigures * k + 2]);
        u.hostCpus = static_cast<int>(figures[UsageFigures * k + 3]);
        u.clockOffsetUs = clockOffsetUs_[k];
        u.clockErrorUs = clockErrorUs_[k];
        out.push_back(u);
    }
    return out;
}

Message RankNodes::call(std::size_t i, Message request) const {
    request.node = static_cast<int32_t>(i);
    return callRank(rankOf(i), request);
}

Message RankNodes::callRank(int rank, const Message& request) const {
    send(comm_, rank, RequestTag, request);
    std::string error;
    const auto answer = receive(comm_, rank, ReplyTag, error);
    if (!answer) throw std::runtime_error("rank " + std::to_string(rank) + " answered badly: " + error);
    if (answer->op == Op::Error) {
        throw std::runtime_error("rank " + std::to_string(rank) + ": " +
                                 (answer->texts.empty() ? std::string("no reason") : answer->texts[0]));
    }
    return *answer;
}

int RankNodes::start(std::size_t i, const std::string& ip, int port, const std::string& dir, uint32_t seed,
                     int32_t& id, std::string& error) {
    if (rankOf(i) == 0) return own_.start(i, ip, port, dir, seed, id, error);
    Message q;
    q.op = Op::Start;
    q.values[0] = port;
    q.values[1] = seed;
    q.texts = {ip, dir};
    const Message r = call(i, q);
    // As on this rank: the identity only of a node that started.
    if (r.values[0] == 0) id = static_cast<int32_t>(r.values[1]);
    if (!r.texts.empty()) error = r.texts[0];
    return static_cast<int>(r.values[0]);
}

void RankNodes::join(std::size_t i, const std::string& ip, int port) {
    if (rankOf(i) == 0) return own_.join(i, ip, port);
    Message q;
    q.op = Op::Join;
    q.values[0] = port;
    q.texts = {ip};
    call(i, q);
}

int32_t RankNodes::type(std::size_t i, const std::string& text) {
    if (rankOf(i) == 0) return own_.type(i, text);
    Message q;
    q.op = Op::Type;
    q.texts = {text};
    return static_cast<int32_t>(call(i, q).values[0]);
}

void RankNodes::leaveRing(std::size_t i) {
    if (rankOf(i) == 0) return own_.leaveRing(i);
    Message q;
    q.op = Op::LeaveRing;
    call(i, q);
}

void RankNodes::crash(std::size_t i) {
    if (rankOf(i) == 0) return own_.crash(i);
    Message q;
    q.op = Op::Crash;
    call(i, q);
}

bool RankNodes::stop(std::size_t i) {
    if (rankOf(i) == 0) return own_.stop(i);
    Message q;
    q.op = Op::Stop;
    return call(i, q).values[0] != 0;
}

void RankNodes::nudgeStop(std::size_t i) {
    if (rankOf(i) == 0) return own_.nudgeStop(i);
    Message q;
    q.op = Op::NudgeStop;
    call(i, q);
}

NodeCounters RankNodes::counters(std::size_t i, bool withCpu) const {
    if (rankOf(i) == 0) return own_.counters(i, withCpu);
    Message q;
    q.op = Op::Counters;
    q.values[0] = withCpu ? 1 : 0;
    const Message r = call(i, q);
    NodeCounters c;
    c.sent = static_cast<uint64_t>(r.values[0]);
    c.received = static_cast<uint64_t>(r.values[1]);
    c.joinState = static_cast<int32_t>(r.values[2]);
    c.chatSequence = static_cast<int32_t>(r.values[3]);
    c.running = r.values[4] != 0;
    c.cpuMs = r.values[5];
    return c;
}

// Every rank's own sum, added up by one reduction.
uint64_t RankNodes::activity() const {
    uint64_t mine = own_.activity();
    if (ranks_ == 1) return mine;
    int64_t command = static_cast<int64_t>(Command::Activity);
    MPI_Request request;
    MPI_Ibcast(&command, 1, MPI_INT64_T, 0, comm_, &request);
    patiently(request);
    uint64_t total = 0;
    MPI_Ireduce(&mine, &total, 1, MPI_UINT64_T, MPI_SUM, 0, comm_, &request);
    patiently(request);
    return total;
}

bool RankNodes::holds(std::size_t i, const std::string& originator, int32_t sequence) const {
    if (rankOf(i) == 0) return own_.holds(i, originator, sequence);
    Message q;
    q.op = Op::Holds;
    q.values[0] = sequence;
    q.texts = {originator};
    return call(i, q).values[0] != 0;
}

std::size_t RankNodes::memberCount(std::size_t i) const {
    if (rankOf(i) == 0) return own_.memberCount(i);
    Message q;
    q.op = Op::MemberCount;
    return static_cast<std::size_t>(call(i, q).values[0]);
}

std::string RankNodes::table(std::size_t i) const {
    if (rankOf(i) == 0) return own_.table(i);
    Message q;
    q.op = Op::Table;
    const Message r = call(i, q);
    return r.texts.empty() ? std::string() : r.texts[0];
}

NodeSite RankNodes::site(std::size_t i) const {
    const int rank = rankOf(i);
    return NodeSite{rank, static_cast<std::size_t>(rank) < hosts_.size() ? hosts_[static_cast<std::size_t>(rank)] : ""};
}

void quitServing(MPI_Comm comm) {
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    if (ranks == 1) return;
    int64_t command = static_cast<int64_t>(Command::Quit);
    MPI_Request request;
    MPI_Ibcast(&command, 1, MPI_INT64_T, 0, comm, &request);
    patiently(request);
}

namespace {

// Pieces of a file in one message: well under the bound of a message.
constexpr std::size_t FilePiece = std::size_t{16} << 20;

// Sends every file under `staging` to rank 0, then the closing message.
void sendFiles(MPI_Comm comm, const std::filesystem::path& staging) {
    std::string problem;
    int64_t sent = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(staging, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        std::ifstream in(it->path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            problem = "cannot read " + it->path().string();
            continue;
        }
        const std::string staged = it->path().lexically_relative(staging).string();
        std::size_t at = 0;
        do {
            Message m;
            m.op = Op::File;
            m.values[0] = static_cast<int64_t>(at);
            m.texts = {staged, content.substr(at, FilePiece)};
            send(comm, 0, FileTag, m);
            at += FilePiece;
        } while (at < content.size());
        ++sent;
    }
    if (ec) problem = "cannot walk " + staging.string() + ": " + ec.message();
    Message done;
    done.op = Op::FilesDone;
    done.values[0] = sent;
    done.texts = {problem};
    send(comm, 0, FileTag, done);
}

}  // namespace

std::string gatherFiles(MPI_Comm comm, const std::filesystem::path& runFolder, std::size_t& files) {
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    std::string problems;
    auto note = [&](const std::string& what) { problems += (problems.empty() ? "" : "; ") + what; };
    for (int r = 1; r < ranks; ++r) {
        for (;;) {
            std::string error;
            const auto m = receive(comm, r, FileTag, error);
            if (!m) {
                note("rank " + std::to_string(r) + ": " + error);
                continue;
            }
            if (m->op == Op::FilesDone) {
                if (!m->texts.empty() && !m->texts[0].empty()) note("rank " + std::to_string(r) + ": " + m->texts[0]);
                break;
            }
            if (m->op != Op::File || m->texts.size() != 2 || m->values[0] < 0) {
                note("rank " + std::to_string(r) + " sent a message that is no file");
                continue;
            }
            const auto target = gatheredTarget(runFolder, m->texts[0]);
            if (!target) {
                note("rank " + std::to_string(r) + " sent " + m->texts[0] + ", which is outside the run folder");
                continue;
            }
            std::error_code ec;
            std::filesystem::create_directories(target->parent_path(), ec);
            std::ofstream out(*target, std::ios::binary | (m->values[0] == 0 ? std::ios::trunc : std::ios::app));
            out << m->texts[1];
            if (!out) note("cannot write " + target->string());
            if (m->values[0] == 0) ++files;
        }
    }
    return problems;
}

int serve(std::size_t count, MPI_Comm comm, const std::filesystem::path& staging, bool holdsRules) {
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(comm, &rank);
    MPI_Comm_size(comm, &ranks);
    const std::size_t own = firstNodeOf(rank + 1, count, ranks) - firstNodeOf(rank, count, ranks);
    const std::string limit = raiseOpenFileLimit(3 * own + 64);
    if (!limit.empty()) std::fprintf(stderr, "palaver-lab-mpi: rank %d: %s\n", rank, limit.c_str());
    // Stamps count from the run's zero, which rank 0 sets on this rank's
    // clock before any node starts (Op::Zero); until then, from the clock's
    // own epoch, so that a stamp taken without it stands out.
    auto held = std::make_unique<LocalNodes>(count, std::chrono::steady_clock::time_point{});
    LocalNodes& nodes = *held;
    // Declared after the nodes: ends first, and takes its rules out of the
    // network, which outlives the run.
    std::unique_ptr<RankRules> rules = holdsRules ? std::make_unique<RankRules>() : nullptr;
    struct TakeOut {
        bool on;
        ~TakeOut() {
            if (!on) return;
            const std::string reason = removeRuleset();
            if (!reason.empty()) std::fprintf(stderr, "palaver-lab-mpi: the loss rules stay in place: %s\n", reason.c_str());
        }
    } takeOut{holdsRules};
    // Busy for a moment after each request (the executor's requests come in
    // runs, each one a round trip after the last), then short sleeps while
    // rank 0 has nothing to ask. The moment is kept short: rank 0 polls the
    // overlay every 2 ms, and a rank that stayed busy between its polls
    // would take a core from the nodes' receive threads.
    auto lastWork = std::chrono::steady_clock::now();
    for (;;) {
        int64_t command = 0;
        MPI_Request collective;
        MPI_Ibcast(&command, 1, MPI_INT64_T, 0, comm, &collective);
        for (int done = 0;;) {
            MPI_Test(&collective, &done, MPI_STATUS_IGNORE);
            if (done) break;
            int waiting = 0;
            MPI_Iprobe(0, RequestTag, comm, &waiting, MPI_STATUS_IGNORE);
            if (waiting) {
                std::string error;
                const auto q = receive(comm, 0, RequestTag, error);
                send(comm, 0, ReplyTag,
                     q ? carryOut(nodes, rules.get(), *q, count, rank, ranks, staging) : failure(error));
                lastWork = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastWork < std::chrono::microseconds(100)) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        MPI_Wait(&collective, MPI_STATUS_IGNORE);  // done already: returns at once
        lastWork = std::chrono::steady_clock::now();
        if (command == static_cast<int64_t>(Command::Quit)) {
            if (staging.empty()) return 0;
            // Every node's files closed before they travel.
            held.reset();
            sendFiles(comm, staging);
            std::error_code ec;
            std::filesystem::remove_all(staging, ec);
            return 0;
        }
        if (command == static_cast<int64_t>(Command::Usage)) {
            const ProcessUsage mine = ownUsage();
            const std::array<int64_t, UsageFigures> own{mine.cpuMs, mine.peakRssKib, mine.cpus, mine.hostCpus};
            MPI_Gather(own.data(), UsageFigures, MPI_INT64_T, nullptr, UsageFigures, MPI_INT64_T, 0, comm);
            continue;
        }
        if (command != static_cast<int64_t>(Command::Activity)) {
            std::fprintf(stderr, "palaver-lab-mpi: rank %d: unknown command %lld from rank 0\n", rank,
                         static_cast<long long>(command));
            return 1;
        }
        uint64_t mine = nodes.activity();
        MPI_Request reduced;
        MPI_Ireduce(&mine, nullptr, 1, MPI_UINT64_T, MPI_SUM, 0, comm, &reduced);
        patiently(reduced);
    }
}

}  // namespace palaver::lab::mpi
