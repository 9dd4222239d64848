// The step executor: plays a scenario on real nodes and leaves their files,
// run.json and the verdict in the run folder.
#pragma once

#include <cstddef>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "run/nodes.h"
#include "run/run.h"

#include "run/scenario.h"

namespace palaver::lab {

// The exit status: 0 when the run went through and every expectation held,
// 1 when one failed or the run could not go on, 2 when the scenario asks for
// what this machine cannot give (a namespace for its network changes).
int runScenario(const Scenario& scenario, const std::string& out, const std::vector<std::string>& commandLine);

// Makes the NodeHost that runs `count` nodes; runScenario's own is LocalNodes.
// `start` is the run's zero, that of the acceptance stamps.
using NodeHostFactory =
    std::function<std::unique_ptr<NodeHost>(std::size_t count, std::chrono::steady_clock::time_point start)>;

// Node i's address; runScenario's own plan is the scenario's consecutive
// addresses, all at its port.
using AddressPlan = std::function<Address(std::size_t node)>;

// The same run with the nodes held by what `makeNodes` gives (nodes spread
// over other processes, for one) and, when `addressOf` is set, at the
// addresses it gives.
int runScenario(const Scenario& scenario, const std::string& out, const std::vector<std::string>& commandLine,
                const NodeHostFactory& makeNodes, const AddressPlan& addressOf = nullptr);

}  // namespace palaver::lab
