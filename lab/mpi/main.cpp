// palaver-lab-mpi: `mpirun -n R palaver-lab-mpi run ...` plays one run, with
// palaver-lab run's options and scenario files, on nodes spread over R
// ranks (see spread.h). Every rank reads the same command line; rank 0
// checks the run folder, prints and decides, the others serve their nodes.
// The ranks share the network they were started in (the nodes bind on the
// run's loopback addresses there, or each rank on its host's address). The
// serving ranks' nodes write their files into a staging folder of their own,
// sent to rank 0 at the end (gather.h); with --shared-out, into the run
// folder itself, which every rank then sees.
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "run/engine.h"
#include "lab.h"
#include "mpi/address_plan.h"
#include "net/rules.h"
#include "mpi/ranks.h"
#include "run/run.h"
#include "run/scenario.h"
#include "mpi/spread.h"

namespace {

using namespace palaver::lab;

// Keeps a serving rank's standard output and error shut while the command
// line is read, so that a bad argument or --help is printed once, by rank 0.
class Hush {
public:
    explicit Hush(bool on) {
        if (!on) return;
        std::fflush(stdout);
        std::fflush(stderr);
        out_ = ::dup(STDOUT_FILENO);
        err_ = ::dup(STDERR_FILENO);
        std::FILE* null = std::fopen("/dev/null", "w");
        if (null) {
            ::dup2(::fileno(null), STDOUT_FILENO);
            ::dup2(::fileno(null), STDERR_FILENO);
            std::fclose(null);
        }
    }
    ~Hush() { lift(); }
    Hush(const Hush&) = delete;
    Hush& operator=(const Hush&) = delete;
    void lift() {
        std::fflush(stdout);
        std::fflush(stderr);
        if (out_ >= 0) ::dup2(out_, STDOUT_FILENO), ::close(out_);
        if (err_ >= 0) ::dup2(err_, STDERR_FILENO), ::close(err_);
        out_ = err_ = -1;
    }

private:
    int out_ = -1;
    int err_ = -1;
};

// Every rank's `text` (at most 255 bytes), on every rank by rank.
std::vector<std::string> allgatherText(MPI_Comm comm, int ranks, const std::string& text) {
    std::array<char, 256> mine{};
    text.copy(mine.data(), mine.size() - 1);
    std::vector<char> all(mine.size() * static_cast<std::size_t>(ranks));
    MPI_Allgather(mine.data(), static_cast<int>(mine.size()), MPI_CHAR, all.data(), static_cast<int>(mine.size()),
                  MPI_CHAR, comm);
    std::vector<std::string> texts;
    for (int r = 0; r < ranks; ++r) {
        const char* at = all.data() + static_cast<std::size_t>(r) * mine.size();
        texts.emplace_back(at, strnlen(at, mine.size() - 1));
    }
    return texts;
}

// Every rank's `text` (at most 255 bytes), on rank 0 by rank; empty
// elsewhere.
std::vector<std::string> gatherText(MPI_Comm comm, int rank, int ranks, const std::string& text) {
    std::array<char, 256> mine{};
    text.copy(mine.data(), mine.size() - 1);
    std::vector<char> all(rank == 0 ? mine.size() * static_cast<std::size_t>(ranks) : 1);
    MPI_Gather(mine.data(), static_cast<int>(mine.size()), MPI_CHAR, all.data(), static_cast<int>(mine.size()),
               MPI_CHAR, 0, comm);
    std::vector<std::string> texts;
    if (rank != 0) return texts;
    for (int r = 0; r < ranks; ++r) {
        const char* at = all.data() + static_cast<std::size_t>(r) * mine.size();
        texts.emplace_back(at, strnlen(at, mine.size() - 1));
    }
    return texts;
}

// Where the nodes bind (address_plan.h); node i at port --port + i under the host
// plan, so that ranks sharing one host never share a port.
struct RankOptions {
    std::string name;  // "" until chosen: loopback on one host, host on several
    std::string bindAddress;
    bool sharedOut = false;  // the run folder is on a filesystem every rank sees
};

std::string checkPlan(const RankOptions& plan, const Scenario& scenario) {
    if (plan.name == "host") {
        if (scenario.port + scenario.nodes - 1 > 65535) {
            return "--address-plan host: " + std::to_string(scenario.nodes) + " ports from " +
                   std::to_string(scenario.port) + " run past 65535";
        }
    } else if (!plan.bindAddress.empty()) {
        return "--bind-address: goes with --address-plan host";
    }
    return "";
}

// The network namespace of this process, with its host: ranks that show
// the same text share one network.
std::string networkOfThisProcess() {
    std::array<char, 128> link{};
    const ssize_t n = ::readlink("/proc/self/ns/net", link.data(), link.size() - 1);
    return hostName() + " " + (n > 0 ? std::string(link.data(), static_cast<std::size_t>(n)) : std::string("?"));
}

// The ranks that load the loss and partition rules: the lowest of each
// network (rank 0 first), by rank.
std::vector<int> ruleHoldersOf(const std::vector<std::string>& networks) {
    std::vector<int> holders;
    for (std::size_t r = 0; r < networks.size(); ++r) {
        if (std::find(networks.begin(), networks.begin() + static_cast<std::ptrdiff_t>(r), networks[r]) ==
            networks.begin() + static_cast<std::ptrdiff_t>(r)) {
            holders.push_back(static_cast<int>(r));
        }
    }
    return holders;
}

int runOnRanks(const Scenario& given, const std::string& out, const std::vector<std::string>& words, RankOptions plan,
               Hush& hush) {
    hush.lift();
    MPI_Comm comm = MPI_COMM_WORLD;
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(comm, &rank);
    MPI_Comm_size(comm, &ranks);
    // Every rank chooses the same plan from the same host names, and finds
    // its own address under the host plan.
    const std::vector<std::string> hosts = allgatherText(comm, ranks, hostName());
    plan.name = mpi::choosePlan(plan.name, !plan.bindAddress.empty(), hosts);
    std::string bindError;
    if (plan.name == "host" && plan.bindAddress.empty()) {
        const std::string toward = mpi::hostToward(rank, hosts);
        if (toward.empty()) {
            bindError = "every rank runs on host " + hosts[0] +
                        ", with no other host to find its address toward: give it with --bind-address (or use "
                        "--address-plan loopback)";
        } else {
            plan.bindAddress = mpi::addressToward(toward, bindError);
        }
    }
    const std::vector<std::string> bindErrors = gatherText(comm, rank, ranks, bindError);
    // Rank 0 decides whether the run goes ahead and with how many nodes.
    std::array<int64_t, 2> go{0, given.nodes};
    if (rank == 0) {
        std::string reason;
        for (std::size_t r = 0; r < bindErrors.size() && reason.empty(); ++r) {
            if (!bindErrors[r].empty()) {
                reason = "--address-plan host: rank " + std::to_string(r) + " on host " + hosts[r] + ": " + bindErrors[r];
            }
        }
        if (reason.empty()) reason = checkPlan(plan, given);
        if (reason.empty()) reason = checkOutFolder(out);
        if (reason.empty() && !given.contact.empty()) {
            reason = "--contact: the ranks start their own overlay; an outside contact is not supported here";
        }
        if (!reason.empty()) {
            std::fprintf(stderr, "palaver-lab-mpi: %s\n", reason.c_str());
            go[0] = 2;
        }
    }
    MPI_Bcast(go.data(), 2, MPI_INT64_T, 0, comm);
    if (go[0] != 0) return static_cast<int>(go[0]);
    const std::vector<std::string> binds = gatherText(comm, rank, ranks, plan.bindAddress);
    // Loss and partitions: the lowest rank of each network loads the rules
    // there (every datagram to a node passes the input hook of the node's
    // own network). Refused before anything starts where one may not.
    std::vector<int> holders;
    if (given.needsNetworkRules()) {
        holders = ruleHoldersOf(allgatherText(comm, ranks, networkOfThisProcess()));
        const bool holds = std::find(holders.begin(), holders.end(), rank) != holders.end();
        const std::vector<std::string> denied = gatherText(comm, rank, ranks, holds ? checkRulesMayGoHere() : "");
        int refused = 0;
        for (std::size_t r = 0; r < denied.size() && refused == 0; ++r) {
            if (denied[r].empty()) continue;
            std::fprintf(stderr, "palaver-lab-mpi: rank %zu on host %s may not apply loss and partitions: %s\n", r,
                         hosts[r].c_str(), denied[r].c_str());
            refused = 2;
        }
        MPI_Bcast(&refused, 1, MPI_INT, 0, comm);
        if (refused != 0) return refused;
    }
    const bool holdsRules = std::find(holders.begin(), holders.end(), rank) != holders.end();
    const auto count = static_cast<std::size_t>(go[1]);
    if (rank != 0) {
        std::filesystem::path staging;
        if (!plan.sharedOut) {
            std::error_code ec;
            staging = std::filesystem::temp_directory_path(ec) /
                      ("palaver-lab-mpi-rank" + std::to_string(rank) + "-" + std::to_string(::getpid()));
        }
        const int served = mpi::serve(count, comm, staging, holdsRules);
        std::error_code ec;
        if (!staging.empty()) std::filesystem::remove_all(staging, ec);
        return served;
    }

    // The ranks share the network they were started in: no namespace of
    // rank 0's own, which the others could not reach.
    Scenario scenario = given;
    scenario.hostNetwork = true;
    scenario.rulesInPlace = given.needsNetworkRules();
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::absolute(out, ec);
    AddressPlan addressOf;
    if (plan.name == "host") {
        addressOf = [&](std::size_t i) {
            const int r = mpi::rankOfNode(i, count, ranks);
            return Address{binds[static_cast<std::size_t>(r)], scenario.port + static_cast<int>(i)};
        };
    }
    int status = 1;
    try {
        status = runScenario(
            scenario, ec ? out : folder.string(), words,
            [&](std::size_t n, std::chrono::steady_clock::time_point start) {
                std::vector<int> others;
                for (int r : holders) {
                    if (r != 0) others.push_back(r);
                }
                return std::make_unique<mpi::RankNodes>(n, comm, hosts, start, others);
            },
            addressOf);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "palaver-lab-mpi: the run stopped: %s\n", e.what());
        status = 1;
    }
    if (scenario.rulesInPlace) {
        // The network outlives the run: its rules go with it.
        const std::string removed = removeRuleset();
        if (!removed.empty()) std::fprintf(stderr, "palaver-lab-mpi: the loss rules stay in place: %s\n", removed.c_str());
    }
    mpi::quitServing(comm);
    if (!plan.sharedOut && ranks > 1) {
        std::size_t files = 0;
        const std::string problems = mpi::gatherFiles(comm, ec ? std::filesystem::path(out) : folder, files);
        std::printf("files: %zu from ranks 1 to %d written into the run folder\n", files, ranks - 1);
        if (!problems.empty()) {
            std::fprintf(stderr, "palaver-lab-mpi: gathering the ranks' files: %s\n", problems.c_str());
            status = 1;
        }
    }
    return status;
}

// Reads the command line (every rank the same) and plays the run.
int command(int argc, char** argv, int rank) {
    const std::vector<std::string> words(argv, argv + argc);
    Hush hush(rank != 0);
    CLI::App app{"palaver-lab-mpi: one palaver-lab run with its nodes spread over the ranks of an MPI job"};
    app.set_version_flag("--version", std::string("palaver-lab-mpi ") + PALAVER_LAB_VERSION);
    app.require_subcommand(1);
    RankOptions plan;
    Action run = addRunCommand(app, [&](const Scenario& scenario, const std::string& out) {
        return runOnRanks(scenario, out, words, plan, hush);
    });
    CLI::App* runCommand = app.get_subcommand("run");
    runCommand
        ->add_option("--address-plan", plan.name,
                     "where the nodes bind: loopback (node i at the i-th consecutive address from --first-address, "
                     "as palaver-lab run; for ranks on one machine) or host (every node of a rank at its host's "
                     "address, node i at port --port + i - 1); by default loopback when every rank is on one host, "
                     "host otherwise")
        ->check(CLI::IsMember({"loopback", "host"}));
    runCommand
        ->add_option("--bind-address", plan.bindAddress,
                     "this rank's host address for the host plan (default: the one its host reaches rank 0's host "
                     "by); implies --address-plan host")
        ->check(CLI::ValidIPV4);
    runCommand->add_flag("--shared-out", plan.sharedOut,
                         "the run folder is on a filesystem every rank sees: the nodes write there in place "
                         "(without it the other ranks' files are sent to rank 0 at the end)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return app.exit(CLI::CallForHelp());
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "palaver-lab-mpi: %s\n", e.what());
        return 2;
    }
    return run();
}

}  // namespace

int main(int argc, char** argv) {
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int status = 1;
    try {
        status = command(argc, argv, rank);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "palaver-lab-mpi: rank %d: %s\n", rank, e.what());
    } catch (...) {
        std::fprintf(stderr, "palaver-lab-mpi: rank %d: stopped by an unknown exception\n", rank);
    }
    MPI_Finalize();
    return status;
}
