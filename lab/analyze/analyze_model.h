// The analyzer's model of a run: what the nodes' own files and the lab's
// run.json say, the per-line traces replayed from the datagram logs, and the
// topology figures of each snapshot of the neighbour tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace palaver::lab {

// A problem that stops the analysis; its text is one line for the user.
struct AnalyzeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One node's neighbour table as its status report shows it.
struct StatusTable {
    std::string self;
    std::string next;
    std::string back;
    std::vector<std::string> random;  // the filled random entries only
    int latestTtl = 0;
    int members = 0;
};

// Reads a status report; no value when the text holds no "MY IP@PORT" line
// (a crashed node leaves its closing report empty).
std::optional<StatusTable> parseStatusReport(std::string_view text);

// One life of a node: a node restarted at its address has several, each with
// its own identity, log and closing report (DIR/life<k>/ for k >= 2).
struct NodeInfo {
    std::string address;  // "ip@port"
    int life = 1;
    int number = 0;  // run.json's node number; 0 without it
    std::optional<int64_t> startedMs;
    std::string state = "alive";  // alive, left, crashed
    std::optional<int64_t> fateMs;
    std::string join;  // first, joined, failed; "" without run.json
    std::string contact;
    std::string logPath;                 // "" when the node left no log
    std::optional<StatusTable> closing;  // from a non-empty closing report
    std::size_t logLines = 0;            // datagram lines in the log
    std::size_t badLines = 0;            // log lines that are not datagrams
    std::size_t chatCopies = 0;          // chat datagrams received
    std::size_t accepted = 0;            // chat lines accepted
    std::size_t ringNotices = 0;         // leave notices (D, d) received
    std::size_t ownGreetings = 0;        // its own greetings its log shows
    // The join datagrams and walk replies it received (types of
    // HandshakeTypes), each with the address it carried, in log order.
    std::map<char, std::vector<std::string>> handshake;
    std::map<std::string, int> walkTtl;  // walks it received: originator -> the lowest TTL
    // From run.json: its join's start, end, when the lab gave it up and why
    // ("timeout", "quiet", "ended").
    std::optional<int64_t> joinStartMs, joinEndMs, joinGivenUpMs;
    std::vector<std::string> joinGivenUpBy;

    // Alive when a line was typed at `ms` (no time: alive unless it left or
    // crashed): started by then and not yet ended.
    bool aliveAt(std::optional<int64_t> ms) const;
};

// The datagram types of a join and of the walk's reply: join request,
// referral, successor request and accept, predecessor request and accept,
// walk reply.
inline constexpr std::string_view HandshakeTypes = "NnXxBbl";

struct TypedLine {
    std::string originator;
    int32_t sequence = 0;
    std::string text;
    std::string phase;  // the step that typed it (lines, lines_churned, ...)
    std::optional<int64_t> typedMs;
    int life = 1;                    // the typist's life
    std::optional<int64_t> quietMs;  // when the overlay went quiet after it
};

struct Snapshot {
    std::string name;  // built, churned, ..., closing
    std::optional<int64_t> ms;
    std::map<std::string, StatusTable> tables;  // live nodes only
};

// A change of the network or a node's fate, marked on the health time axis.
struct RunEvent {
    int64_t ms = 0;
    std::string kind;       // network, crashed, left, restarted
    std::string label;      // what changed: "partition west | east", a node's address, ...
    bool impaired = false;  // network: datagrams are dropped until the next change
};

// One datagram the loss or partition rules dropped, from drops.csv.
struct DroppedDatagram {
    int64_t ms = 0;
    std::string rule;                 // loss, partition
    std::string source, destination;  // ip@port; the ip alone for a packet that was no whole UDP packet
    char type = '?';                  // '?' also for a packet that held no datagram
    int ttl = 0;
    std::string originator;           // chat and walk datagrams, else ""
    std::optional<int32_t> sequence;  // chat datagrams
};

// The partitions in force from `ms` until the next change of the network.
struct NetworkState {
    int64_t ms = 0;
    std::vector<std::pair<std::string, std::string>> partitions;  // group names
};

struct PhaseInfo {
    std::string name;
    std::optional<int64_t> startMs, endMs, cpuMs, peakRssKib;
    std::optional<double> loadAverage;      // the machine's 1-minute load average at the phase's end
    std::optional<int64_t> labThreadCpuMs;  // the lab's own thread, so far (like cpuMs)
};

// One step of a scenario's timeline as run.json records it.
struct StepInfo {
    std::string name, action, group;
    std::string waited;  // what its trigger waited for: "quiet", "members" or "bound"; "" for a time
    std::optional<int64_t> startMs, actionMs, endMs;
};

// When each life of each node accepted each chat line, from accepts.csv:
// (node address, its life, originator address, sequence) -> ms since the
// run began.
using AcceptKey = std::tuple<std::string, int, std::string, int32_t>;

struct RunData {
    std::vector<std::string> dirs;
    bool hasRunJson = false;
    bool hasAccepts = false;  // an accepts.csv was read
    std::map<AcceptKey, int64_t> acceptMs;
    nlohmann::json drops;      // run.json's record of the kernel's drops, null without one
    bool hasDropFile = false;  // a drops.csv was read
    std::vector<DroppedDatagram> dropRecords;
    std::map<std::string, std::vector<std::string>> groups;  // run.json's groups: name -> addresses
    std::vector<NetworkState> network;                       // in time order
    nlohmann::json parameters = nlohmann::json::object();
    nlohmann::json commandLine = nlohmann::json::array();
    std::optional<int64_t> seed;
    std::vector<NodeInfo> nodes;                             // ordered by address, then life
    std::unordered_map<std::string, std::size_t> nodeIndex;  // address -> its last life
    std::vector<RunEvent> events;                            // in time order
    std::vector<TypedLine> lines;
    std::vector<Snapshot> snapshots;  // run.json's in order, then "closing"
    std::vector<PhaseInfo> phases;
    std::string scenarioSource;     // run.json's scenario file, "flags" for a run of flags; "" without one
    std::vector<StepInfo> steps;    // run.json's steps, in order
    nlohmann::json verdict;         // run.json's verdict, null without one
    std::optional<int64_t> stopMs;  // when the stop began: the closing reports' time
    std::size_t badLines = 0;
    std::size_t badFiles = 0;  // logs holding at least one bad line
};

// A text field of one of run.json's objects; "" when it is missing, is no
// text, or `object` is no object.
std::string stringField(const nlohmann::json& object, const char* name);

// Reads one or several folders that belong to one overlay. Throws
// AnalyzeError for a missing folder, a folder without logs or a broken
// run.json.
RunData loadRun(const std::vector<std::string>& dirs);

// One chat line as the logs show it.
struct Trace {
    std::string originator;
    int32_t sequence = 0;
    std::string text;
    int life = 0;       // the originator's life; 0 when no log or run.json tells
    std::string kind;   // typed, greeting
    std::string phase;  // run.json's phase of a typed line, else ""
    std::optional<int64_t> typedMs;
    int hopBase = 0;  // TTL of the originator's own copy
    std::size_t alive = 0;
    std::vector<std::pair<std::size_t, int>> accepts;  // node index, hops
    std::size_t deliveredAlive = 0;
    std::size_t copies = 0;
    double reliability = 0;
    std::optional<double> meanHops;
    std::optional<int> maxHops;
    std::optional<double> rmr;
    std::optional<double> shortestMean;
    std::optional<double> stretch;
    std::size_t unreachable = 0;  // accepting nodes with no path in the snapshot
    std::string snapshot;         // the snapshot its paths were taken in
    std::vector<int> shortest;    // shortest distance of each accepting node
    // Delivery times from accepts.csv, in ms after the line was typed (after
    // its first acceptance when no typing time is known).
    std::size_t stamped = 0;  // acceptances with a stamp
    std::optional<int64_t> reach50, reach90, reach100;
    std::optional<int64_t> lastAcceptMs;                // since the run began
    std::vector<std::pair<int, int64_t>> timedAccepts;  // hops, ms after typing
};

// The time by which `share` (0 < share <= 1) of the stamped acceptances
// had happened: the ceil(share * n)-th smallest of `sorted`.
std::optional<int64_t> reachTime(const std::vector<int64_t>& sorted, double share);

// Directed graph of a snapshot: each node to its next, back and random peers.
struct Graph {
    std::vector<std::string> names;
    std::unordered_map<std::string, int> index;
    std::vector<std::vector<int>> out;  // distinct targets
    std::vector<char> live;             // has a table in the snapshot
    int vertex(const std::string& name);
    std::vector<int> distancesFrom(int source) const;  // -1 = unreachable
};
Graph buildGraph(const Snapshot& snapshot);

struct TopologySummary {
    std::string snapshot;
    std::optional<int64_t> ms;  // when it was taken
    std::size_t live = 0;
    bool ringIntact = false;
    std::size_t ringCycles = 0;  // cycles of next links among live nodes
    std::size_t longestCycle = 0;
    std::size_t danglingNext = 0;  // next names no live node (or the node itself)
    std::size_t backMismatch = 0;  // next's back is not the node
    std::vector<std::string> brokenLinks;
    std::size_t components = 0;  // weakly connected, live nodes
    std::size_t unreachablePairs = 0;
    int diameter = 0;
    double meanDistance = 0;
    double meanOutDegree = 0;
    std::optional<double> predictedDistance;     // ln N / ln(d - 1)
    std::vector<std::size_t> inDegreeHistogram;  // live nodes by random in-degree
    double inDegreeMean = 0, inDegreeStdDev = 0;
    std::size_t inDegreeMax = 0, inDegreeZero = 0;
};
TopologySummary summarizeTopology(const Snapshot& snapshot);

// Random in-degree of every live node of a snapshot.
std::map<std::string, std::size_t> randomInDegrees(const Snapshot& snapshot);

// Over the typed lines of one phase ("" = all typed lines).
struct LineSummary {
    std::string phase;
    std::size_t lines = 0;
    std::size_t complete = 0;  // reliability 1
    double reliabilityMean = 0, reliabilityMin = 0;
    std::optional<double> meanHops, maxHopsMean, rmr, shortestMean, stretch;
    std::optional<int> maxHops;
};

// Why a live node did not accept a typed line. Causes, checked in this
// order: "joined later" (its join had not completed when the line was
// typed), "ended" (it crashed or left before the line's flood was over),
// "partitioned" (a partition in force kept it from the originator's side),
// "dropped" (the kernel dropped copies sent toward it), "cut off" (no node
// that points at it accepted the line: each had ended or missed it too),
// "unknown" (the folder lacks what would decide it: no run.json, no drops.csv
// under loss rules, no snapshot) and "unexplained" (all of that was known and
// none of it holds: a fault worth a look).
struct Miss {
    std::size_t trace = 0;  // index into Analysis::traces
    std::size_t node = 0;   // index into RunData::nodes
    std::string cause;
    std::string detail;
    std::vector<std::size_t> drops;  // indexes into RunData::dropRecords: the copies dropped toward it
};

// Where a join that did not complete broke off: the first step of the join
// (join request, join referral, successor request, successor accept,
// predecessor request, predecessor accept, walk, walk reply, greeting; "none"
// when every step happened after all) that its receiver's log does not show,
// and why: "dropped" (the kernel dropped its datagram), "ended" (the node
// that was to send or take it had crashed or left), "given up" (the lab gave
// the join up at its timeout while the overlay was still busy: the step may
// still have been to come), "unknown" or "unexplained" as for a miss.
struct JoinFailure {
    std::size_t node = 0;  // index into RunData::nodes
    std::string step;
    std::string cause;
    std::string detail;
};

// The causes in the order the report lists them (unexplained first).
const std::vector<std::string>& missCauses();
const std::vector<std::string>& joinSteps();

struct Analysis {
    RunData run;
    std::vector<Trace> traces;  // typed lines first in run.json order, then the rest
    std::vector<TopologySummary> topology;
    std::vector<LineSummary> lineSummaries;    // all, then per step in the order the lines were typed
    std::optional<std::size_t> finalSnapshot;  // index into run.snapshots: the last with tables
    std::size_t joinsCompleted = 0, joinsFailed = 0;
    std::vector<Miss> misses;              // typed lines in trace order, nodes in address order
    std::vector<JoinFailure> failedJoins;  // in node order
    std::vector<std::string> causeLimits;  // what the folder cannot decide, one sentence each
};

// Gives every miss of a typed line and every failed join its cause (called
// by analyzeRun).
void explainMisses(Analysis& analysis);
void explainFailedJoins(Analysis& analysis);

// Replays every log with the member-table rule and computes the figures.
Analysis analyzeRun(RunData run);

}  // namespace palaver::lab
