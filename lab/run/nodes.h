// The one interface through which the step executor drives nodes: act on
// node i, read its counters and tables. LocalNodes runs them as palaver::Node
// objects of this process; another implementation may run them elsewhere
// (other processes or machines) without a second executor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "node.h"

namespace palaver::lab {

// Where a node runs: the rank of the process that holds it (0 when one
// process holds them all) and the name of that process's host.
struct NodeSite {
    int rank = 0;
    std::string host;
};

struct NodeCounters {
    uint64_t sent = 0;
    uint64_t received = 0;
    int32_t joinState = 0;
    int32_t chatSequence = 0;
    bool running = false;  // its receive thread runs
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

    virtual NodeCounters counters(std::size_t i) const = 0;
    // Sums over every node and every past life: all of them stand still
    // when the overlay is quiet.
    virtual uint64_t activity() const = 0;
    // Its member table holds `originator` with at least `sequence`.
    virtual bool holds(std::size_t i, const std::string& originator, int32_t sequence) const = 0;
    virtual std::size_t memberCount(std::size_t i) const = 0;
    // Its status report text (neighbour table and members).
    virtual std::string table(std::size_t i) const = 0;
    virtual NodeSite site(std::size_t i) const = 0;
};

class LocalNodes : public NodeHost {
public:
    explicit LocalNodes(std::size_t count);
    int start(std::size_t i, const std::string& ip, int port, const std::string& dir, uint32_t seed, int32_t& id,
              std::string& error) override;
    void join(std::size_t i, const std::string& ip, int port) override;
    int32_t type(std::size_t i, const std::string& text) override;
    void leaveRing(std::size_t i) override;
    void crash(std::size_t i) override;
    bool stop(std::size_t i) override;
    void nudgeStop(std::size_t i) override;
    NodeCounters counters(std::size_t i) const override;
    uint64_t activity() const override;
    bool holds(std::size_t i, const std::string& originator, int32_t sequence) const override;
    std::size_t memberCount(std::size_t i) const override;
    std::string table(std::size_t i) const override;
    NodeSite site(std::size_t i) const override;

private:
    std::vector<std::unique_ptr<Node>> nodes_;
    uint64_t retired_ = 0;  // activity of ended lives
};

// This machine's host name ("" when it has none).
std::string hostName();

}  // namespace palaver::lab
