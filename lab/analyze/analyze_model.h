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

    // Alive when a line was typed at `ms` (no time: alive unless it left or
    // crashed): started by then and not yet ended.
    bool aliveAt(std::optional<int64_t> ms) const;
};

struct TypedLine {
    std::string originator;
    int32_t sequence = 0;
    std::string text;
    std::string phase;  // the step that typed it (lines, lines_churned, ...)
    std::optional<int64_t> typedMs;
    int life = 1;  // the typist's life
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

struct PhaseInfo {
    std::string name;
    std::optional<int64_t> startMs, endMs, cpuMs, peakRssKib;
    std::optional<double> loadAverage;      // the machine's 1-minute load average at the phase's end
    std::optional<int64_t> labThreadCpuMs;  // the lab's own thread, so far (like cpuMs)
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
    nlohmann::json drops;  // run.json's record of the kernel's drops, null without one
    nlohmann::json parameters = nlohmann::json::object();
    nlohmann::json commandLine = nlohmann::json::array();
    std::optional<int64_t> seed;
    std::vector<NodeInfo> nodes;                             // ordered by address, then life
    std::unordered_map<std::string, std::size_t> nodeIndex;  // address -> its last life
    std::vector<RunEvent> events;                            // in time order
    std::vector<TypedLine> lines;
    std::vector<Snapshot> snapshots;  // run.json's in order, then "closing"
    std::vector<PhaseInfo> phases;
    nlohmann::json verdict;         // run.json's verdict, null without one
    std::optional<int64_t> stopMs;  // when the stop began: the closing reports' time
    std::size_t badLines = 0;
    std::size_t badFiles = 0;  // logs holding at least one bad line
};

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

struct Analysis {
    RunData run;
    std::vector<Trace> traces;  // typed lines first in run.json order, then the rest
    std::vector<TopologySummary> topology;
    std::vector<LineSummary> lineSummaries;    // all, then per step in the order the lines were typed
    std::optional<std::size_t> finalSnapshot;  // index into run.snapshots: the last with tables
    std::size_t joinsCompleted = 0, joinsFailed = 0;
};

// Replays every log with the member-table rule and computes the figures.
Analysis analyzeRun(RunData run);

}  // namespace palaver::lab
