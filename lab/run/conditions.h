// The network conditions that a run's loss, partition and heal steps have
// set so far, and the drop rules and run.json record they stand for. Kept
// apart from the step executor so that what a sequence of steps leaves in
// force can be checked without nodes or nftables.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "net/rules.h"
#include "run/scenario.h"

namespace palaver::lab {

class NetworkConditions {
public:
    // Takes in a loss, partition or heal step. A pair of groups is one pair
    // in either order: loss between [B, A] changes the loss between [A, B],
    // heal [B, A] ends the partition [A, B].
    void apply(const StepSpec& step);

    // The drop rules in force, each group's addresses named by `setOf`
    // (which may make the set); every rule between two groups goes both ways.
    std::vector<DropRule> drops(const std::function<std::string(const std::string&)>& setOf) const;

    // What is in force, as run.json's network_changes record it: loss,
    // loss_between, loss_types, partitions.
    nlohmann::ordered_json state() const;

private:
    using Pair = std::pair<std::string, std::string>;
    static bool samePair(const Pair& p, const std::string& a, const std::string& b) {
        return (p.first == a && p.second == b) || (p.first == b && p.second == a);
    }

    double lossAll_ = 0;  // on all traffic
    std::vector<std::pair<Pair, double>> lossBetween_;
    // Loss of some datagram types, everywhere (no groups) or between two
    // groups: each (types, groups) kept apart from the rest.
    struct TypedLoss {
        std::string types;
        Pair groups;  // both "" for all traffic
        double percent;
    };
    std::vector<TypedLoss> lossTypes_;
    std::vector<Pair> partitions_;
};

}  // namespace palaver::lab
