// A scenario: the nodes and their groups, a timeline of steps, churn models
// and expectations. `palaver-lab run FILE.toml` reads one from a file; the
// run command's flags build the default one in memory. Both are played by
// the same step executor.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "run/run.h"

namespace palaver::lab {

// A fault of a scenario file, with its place ("file:line:column: what").
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct GroupSpec {
    std::string name;
    enum class Kind { Range,
                      Share,
                      Rest } kind = Kind::Range;
    int first = 1, last = 1;           // Range: node numbers, 1-based, inclusive
    double share = 0;                  // Share: percent of `of`, drawn by the seed
    std::string of = "all";            // Share: the group drawn from
    std::vector<std::size_t> members;  // node indices (0-based), filled by resolveGroups
};

// What a step waits for before it acts.
struct Trigger {
    enum class Kind { After,
                      At,
                      Quiet,
                      Members } kind = Kind::After;
    int64_t ms = 0;   // After: after the previous step ended; At: since the run began
    int members = 0;  // Members: every live node of `group` lists at least this many
    std::string group = "all";
    int64_t withinMs = 0;  // Quiet, Members: the bound of the wait
};

struct ChurnModel {
    std::string distribution = "exponential";  // exponential, pareto, weibull
    double meanS = 10;                         // mean session length, seconds
    double shape = 0;                          // pareto (> 1), weibull (> 0)
    double crashShare = 0;                     // percent of session ends that are crashes, the rest leaves
    bool rejoin = false;                       // a node whose session ended comes back as a new node
    double pauseS = 5;                         // mean pause before the rejoin (exponential), seconds
    double durationS = 60;                     // the model runs this long from its step
};

struct StepSpec {
    std::string name;
    std::string action;  // start join lines leave crash depart restart loss partition heal snapshot wait churn
    Trigger trigger;
    std::string group = "all";
    // join
    std::string mode = "one-by-one";  // one-by-one, burst, rate
    double rate = 0;                  // joins or lines per second; 0: each after quiet (lines)
    // lines; leave / crash / restart (count, or share of the group's live nodes)
    int count = 0;
    std::optional<double> share;
    int leave = 0, crash = 0;  // depart
    // loss
    double percent = 0;
    std::vector<std::string> between;  // two groups, or empty for all traffic
    std::string types;                 // datagram type letters it drops, in order, each once; "": every type
    // partition, heal (heal without groups: every partition)
    std::vector<std::string> groups;
    // snapshot
    std::string as;     // the snapshot's name (its folder tables/<as>); "": the step's name
    double everyS = 0;  // 0: once
    std::string until;  // the step whose start ends a periodic snapshot; "": the end of the run
    ChurnModel churn;
    const std::string& snapshotName() const { return as.empty() ? name : as; }
    // Source position in the file, for messages ("" in memory).
    std::string place;
};

struct ExpectSpec {
    std::string name;
    std::string check;               // delivery, joins, ring, dangling_next, components
    std::vector<std::string> steps;  // delivery: the steps whose lines count (empty: all lines)
    std::optional<double> atLeast, atMost;
    std::string snapshot = "end";  // ring, dangling_next, components: a snapshot's name, or "end"
};

struct Scenario {
    std::string source;  // the file, or "flags"
    uint64_t seed = 1;
    int nodes = 10;
    std::string firstAddress = "127.77.0.1";
    int port = 50000;
    std::string contact;  // "IP:PORT" or ""
    bool hostNetwork = false;
    // Set by palaver-lab-mpi, never read from a file: the nodes run in the
    // network this process was started in, shared with the other ranks,
    // and the loss and partition rules go there (with hostNetwork).
    bool rulesInPlace = false;
    int joinTimeoutMs = 3000;
    int settleTimeoutMs = 20000;
    int quietMs = 200;
    double loss = 0;                // loss on all traffic from the start
    std::vector<GroupSpec> groups;  // "all" first
    std::vector<StepSpec> steps;
    std::vector<ExpectSpec> expectations;

    const GroupSpec* group(const std::string& name) const;
    // The scenario changes the network (loss or partitions) at some point.
    bool needsNetworkRules() const;
};

// The default scenario that the run command's flags stand for.
Scenario scenarioFromOptions(const RunOptions& options);

// Reads and checks a scenario file; throws ScenarioError. Each setting
// ("PATH=VALUE": seed, nodes.count, timing.quiet_ms, step.NAME.KEY,
// group.NAME.KEY, expect.NAME.KEY) replaces or adds one value of the file
// before it is checked; a fault in it is reported as "--set PATH=VALUE: ...".
Scenario loadScenario(const std::string& path, const std::vector<std::string>& settings = {});
Scenario parseScenario(const std::string& text, const std::string& sourceName,
                       const std::vector<std::string>& settings = {});

// The scenario as a TOML file that loadScenario reads back to the same.
std::string scenarioToml(const Scenario& scenario);

// Fills each group's members (shares drawn with the seed). Throws
// ScenarioError when a group is empty or larger than the nodes.
void resolveGroups(Scenario& scenario);

}  // namespace palaver::lab
