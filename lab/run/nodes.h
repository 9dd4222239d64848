// The one interface through which the step executor drives nodes: act on
// node i, read its counters and tables. LocalNodes runs them as palaver::Node
// objects of this process; another implementation may run them elsewhere
// (other processes or machines) without a second executor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/droplog.h"
#include "node.h"
#include "net/rules.h"

namespace palaver::lab {

// Where a node runs: the rank of the process that holds it (0 when one
// process holds them all) and the name of that process's host.
struct NodeSite {
    int rank = 0;
    std::string host;
};

// One process that holds nodes (an MPI rank): where it runs and what it has
// used so far. Its clock's offset from the driving process's clock, and the
// uncertainty of that figure, say how far its stamps (acceptances, drops)
// can be trusted against the others'.
struct ProcessUsage {
    int rank = 0;
    std::string host;
    std::size_t nodes = 0;      // the nodes it holds
    int64_t cpuMs = 0;          // user + system time of the whole process
    int64_t peakRssKib = 0;     // its peak resident memory
    int64_t clockOffsetUs = 0;  // driver's clock minus its clock
    int64_t clockErrorUs = 0;   // half the round trip of the best exchange
    int cpus = 0;               // the cores it may run on (its affinity), of
    int hostCpus = 0;           // the cores its host has online
};

// This process's own CPU time and peak memory.
ProcessUsage ownUsage();

// What the loss and partition rules dropped in the networks of other
// processes that hold nodes (one set of rules in each such network).
struct DropTally {
    int networks = 0;                 // other networks that held the rules
    std::vector<DropRecord> records;  // their kernels' records, on the driver's clock
    std::optional<uint64_t> counted;  // the sum of their rules' counters; none when one could not be read
    std::string counterError;         // why not
    bool recorded = true;             // every one of them recorded its drops
    std::string reason;               // why one did not
    uint64_t overruns = 0;
};

struct NodeCounters {
    uint64_t sent = 0;
    uint64_t received = 0;
    int32_t joinState = 0;
    int32_t chatSequence = 0;
    bool running = false;  // its receive thread runs
    // The CPU time of the life's receive thread (user and system), in ms:
    // read from /proc while it runs, afterwards its last reading before it
    // ended. -1 when it was never read or not asked for.
    int64_t cpuMs = -1;
};

// The CPU time (user + system, in ms) of thread `tid` of this process, from
// /proc/self/task/<tid>/stat; no value when the thread does not run (tid 0,
// ended) or its counters cannot be read.
std::optional<int64_t> threadCpuMs(int64_t tid);
// The clock ticks of utime + stime in the text of a /proc stat file; no value
// when it is not one.
std::optional<uint64_t> statCpuTicks(std::string_view stat);

// A chat line accepted by a node, stamped by the lab's clock the moment the
// node accepted it.
struct AcceptStamp {
    int64_t ms = 0;  // since the run began
    std::size_t node = 0;
    int life = 1;            // the node's life (1, 2, ...)
    std::string originator;  // as the datagram carried it
    int32_t sequence = 0;
    int32_t ttl = 0;  // of the accepted copy
};

class NodeHost {
public:
    virtual ~NodeHost() = default;

    // Starts a life of node i at ip:port with files in `dir`, its identity
    // drawn from `seed`. Returns 0 and sets `id`, else the reason in `error`.
    virtual int start(std::size_t i, const std::string& ip, int port, const std::string& dir, uint32_t seed,
                      int32_t& id, std::string& error) = 0;
    virtual void join(std::size_t i, const std::string& ip, int port) = 0;
    // Types a chat line; returns the sequence number it took.
    virtual int32_t type(std::size_t i, const std::string& text) = 0;
    // The disconnect button: the two notices to the ring neighbours.
    virtual void leaveRing(std::size_t i) = 0;
    virtual void crash(std::size_t i) = 0;
    // The shutdown: the stop datagram until the receive thread has ended,
    // then the socket closes. False when it did not end in time (it is then
    // crashed instead).
    virtual bool stop(std::size_t i) = 0;
    // One stop datagram, so that several nodes stop side by side.
    virtual void nudgeStop(std::size_t i) = 0;

    // `withCpu`: also read its receive thread's CPU time (a file read, not
    // for the polls of every pass).
    virtual NodeCounters counters(std::size_t i, bool withCpu) const = 0;
    // Sums over every node and every past life: all of them stand still
    // when the overlay is quiet.
    virtual uint64_t activity() const = 0;
    // Its member table holds `originator` with at least `sequence`.
    virtual bool holds(std::size_t i, const std::string& originator, int32_t sequence) const = 0;
    virtual std::size_t memberCount(std::size_t i) const = 0;
    // Its status report text (neighbour table and members).
    virtual std::string table(std::size_t i) const = 0;
    // Every chat line accepted so far by every life, in the order they were
    // stamped; complete once every node has stopped. No value where the
    // host cannot stamp them.
    virtual std::optional<std::vector<AcceptStamp>> accepts() const = 0;
    virtual NodeSite site(std::size_t i) const = 0;
    // Every process that holds nodes, when they are more than the one that
    // drives the run (or it is an MPI job of one rank); empty otherwise.
    virtual std::vector<ProcessUsage> processes() const { return {}; }
    // Where nodes run in other networks than the driver's: loads `rules`
    // into each of them as well. "" when done (or there are none), else
    // the reason.
    virtual std::string applyRulesElsewhere(const RuleSet& /*rules*/) { return ""; }
    // The drops of those networks; once no node sends any more.
    virtual DropTally dropsElsewhere() { return {}; }
};

class LocalNodes : public NodeHost {
public:
    // `start`: the zero of the acceptance stamps.
    LocalNodes(std::size_t count, std::chrono::steady_clock::time_point start);
    int start(std::size_t i, const std::string& ip, int port, const std::string& dir, uint32_t seed, int32_t& id,
              std::string& error) override;
    void join(std::size_t i, const std::string& ip, int port) override;
    int32_t type(std::size_t i, const std::string& text) override;
    void leaveRing(std::size_t i) override;
    void crash(std::size_t i) override;
    bool stop(std::size_t i) override;
    void nudgeStop(std::size_t i) override;
    NodeCounters counters(std::size_t i, bool withCpu) const override;
    uint64_t activity() const override;
    bool holds(std::size_t i, const std::string& originator, int32_t sequence) const override;
    std::size_t memberCount(std::size_t i) const override;
    std::string table(std::size_t i) const override;
    std::optional<std::vector<AcceptStamp>> accepts() const override;
    NodeSite site(std::size_t i) const override;
    // Moves the zero of the acceptance stamps (before any node starts: a
    // process whose clock is set against another's).
    void setZero(std::chrono::steady_clock::time_point start) { start_ = start; }

private:
    // Called on the receive threads without the node lock: a small lock of
    // its own around one append.
    void stamp(std::size_t i, int life, std::string_view originator, int32_t sequence, int32_t ttl);
    // Takes a reading of node i's receive thread's CPU time into lastCpuMs_.
    void readCpu(std::size_t i);

    std::chrono::steady_clock::time_point start_;
    mutable std::mutex acceptsMutex_;
    std::vector<AcceptStamp> accepts_;
    std::vector<int> lives_;
    // Each node's last reading of its current life's receive-thread CPU
    // time (-1: none yet), kept for once the thread has ended.
    std::vector<int64_t> lastCpuMs_;
    // Declared after what the nodes' accept hooks write into, so that the
    // nodes (and their receive threads) end first.
    std::vector<std::unique_ptr<Node>> nodes_;
    uint64_t retired_ = 0;  // activity of ended lives
};

// This machine's host name ("" when it has none).
std::string hostName();

}  // namespace palaver::lab
