// palaver-lab-mpi: one run's nodes spread over the ranks of an MPI job.
// Rank 0 runs the step executor as palaver-lab run does, on RankNodes: its
// own block of nodes in this process, every other node a request to the
// rank that holds it and that rank's reply. The other ranks serve their
// blocks until rank 0 says the run is over.
#pragma once

#include <mpi.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mpi/message.h"
#include "run/nodes.h"

namespace palaver::lab::mpi {

// Point-to-point tags; the collective commands travel by broadcast.
constexpr int RequestTag = 11;
constexpr int ReplyTag = 12;
constexpr int FileTag = 13;

// What rank 0 broadcasts to the serving ranks.
enum class Command : int64_t {
    Activity = 1,
    Quit = 2,
    Usage = 3,  // every rank's CPU time and peak memory, gathered on rank 0
};

class RankNodes : public NodeHost {
public:
    // `hosts`: each rank's host name, by rank. `start` is the run's zero on
    // this rank's clock: every serving rank's clock is set against it by a
    // few round trips, and its stamps are taken from the same zero.
    // `ruleHolders`: the serving ranks that load the loss and partition
    // rules into networks of their own (the lowest rank of each network
    // other than rank 0's).
    RankNodes(std::size_t count, MPI_Comm comm, std::vector<std::string> hosts,
              std::chrono::steady_clock::time_point start, std::vector<int> ruleHolders = {});
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
    NodeSite site(std::size_t i) const override;
    std::optional<std::vector<AcceptStamp>> accepts() const override;
    std::vector<ProcessUsage> processes() const override;
    std::string applyRulesElsewhere(const RuleSet& rules) override;
    DropTally dropsElsewhere() override;

private:
    int rankOf(std::size_t i) const;
    // What processes() gives; also called from the constructor.
    std::vector<ProcessUsage> gatherUsage() const;
    // Sends `request` to `rank` and returns its reply; throws
    // std::runtime_error when the rank could not carry it out.
    Message callRank(int rank, const Message& request) const;
    // Sets `rank`'s clock against this one and tells it the run's zero.
    void setClock(int rank, std::chrono::steady_clock::time_point start);
    // Sends the request for node i to its rank and returns the reply; throws
    // std::runtime_error when the rank could not carry it out.
    Message call(std::size_t i, Message request) const;

    std::size_t count_;
    MPI_Comm comm_;
    int ranks_;
    std::vector<std::string> hosts_;
    std::vector<int> ruleHolders_;
    std::vector<int64_t> clockOffsetUs_;  // by rank: this clock minus the rank's
    std::vector<int64_t> clockErrorUs_;
    LocalNodes own_;
};

// Rank 0: tells every serving rank that the run is over.
void quitServing(MPI_Comm comm);

// A serving rank (not 0): carries out rank 0's requests on its block of
// `count` nodes until rank 0 says quit. With a `staging` folder its nodes
// write there (see gather.h), and after the quit it sends their files to
// rank 0 and removes the folder. `holdsRules`: it loads the loss and
// partition rules into its network (and records their drops there), and
// takes them out at the end. Returns 0, or 1 when a collective failed.
int serve(std::size_t count, MPI_Comm comm, const std::filesystem::path& staging, bool holdsRules = false);

// Rank 0, after the quit: takes in every serving rank's files and writes
// them into the run folder; counts them in `files`. Returns "" or what
// went wrong (a file outside the run folder is refused, not written).
std::string gatherFiles(MPI_Comm comm, const std::filesystem::path& runFolder, std::size_t& files);

// Waits until `done` holds, or the request has completed: spinning for a
// moment (a reply usually comes within tens of microseconds), then in
// short sleeps, so that a rank waiting on another does not take a core
// from the nodes' receive threads (MPI's own blocking calls spin).
void patiently(const std::function<bool()>& done);
void patiently(MPI_Request& request);

// Receives one message from `source` with `tag`, its length bounded and its
// contents checked; no value and the reason in `error` otherwise.
std::optional<Message> receive(MPI_Comm comm, int source, int tag, std::string& error);

}  // namespace palaver::lab::mpi
