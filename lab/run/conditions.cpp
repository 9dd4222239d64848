#include "run/conditions.h"

#include <algorithm>

namespace palaver::lab {

void NetworkConditions::apply(const StepSpec& step) {
    if (step.action == "loss") {
        const std::string a = step.between.empty() ? std::string() : step.between[0];
        const std::string b = step.between.empty() ? std::string() : step.between[1];
        if (!step.types.empty()) {
            std::erase_if(lossTypes_, [&](const TypedLoss& l) { return l.types == step.types && samePair(l.groups, a, b); });
            if (step.percent > 0) lossTypes_.push_back({step.types, {a, b}, step.percent});
        } else if (step.between.empty()) {
            lossAll_ = step.percent;
        } else {
            std::erase_if(lossBetween_, [&](const auto& l) { return samePair(l.first, a, b); });
            if (step.percent > 0) lossBetween_.push_back({{a, b}, step.percent});
        }
    } else if (step.action == "partition") {
        partitions_.push_back({step.groups[0], step.groups[1]});
    } else if (step.action == "heal") {
        if (step.groups.empty()) {
            partitions_.clear();
        } else {
            std::erase_if(partitions_, [&](const Pair& p) { return samePair(p, step.groups[0], step.groups[1]); });
        }
    }
}

std::vector<DropRule> NetworkConditions::drops(const std::function<std::string(const std::string&)>& setOf) const {
    std::vector<DropRule> out;
    const auto bothWays = [&](const Pair& groups, int share, const char* tag, const std::string& types) {
        out.push_back(DropRule{setOf(groups.first), setOf(groups.second), share, tag, types});
        out.push_back(DropRule{setOf(groups.second), setOf(groups.first), share, tag, types});
    };
    for (const Pair& p : partitions_) bothWays(p, 10000, "partition", "");
    for (const auto& [groups, percent] : lossBetween_) {
        const int share = dropShare(percent);
        if (share > 0) bothWays(groups, share, "loss", "");
    }
    for (const TypedLoss& l : lossTypes_) {
        const int share = dropShare(l.percent);
        if (share == 0) continue;
        if (l.groups.first.empty()) {
            out.push_back(DropRule{"", "", share, "loss", l.types});
        } else {
            bothWays(l.groups, share, "loss", l.types);
        }
    }
    if (dropShare(lossAll_) > 0) out.push_back(DropRule{"", "", dropShare(lossAll_), "loss", ""});
    return out;
}

nlohmann::ordered_json NetworkConditions::state() const {
    using Json = nlohmann::ordered_json;
    Json state = Json{{"loss", lossAll_}, {"loss_between", Json::array()}, {"loss_types", Json::array()}, {"partitions", Json::array()}};
    for (const Pair& p : partitions_) state["partitions"].push_back(Json::array({p.first, p.second}));
    for (const auto& [groups, percent] : lossBetween_) {
        if (dropShare(percent) == 0) continue;
        state["loss_between"].push_back(Json{{"groups", Json::array({groups.first, groups.second})}, {"loss", percent}});
    }
    for (const TypedLoss& l : lossTypes_) {
        if (dropShare(l.percent) == 0) continue;
        Json entry{{"types", l.types}, {"loss", l.percent}};
        if (!l.groups.first.empty()) entry["groups"] = Json::array({l.groups.first, l.groups.second});
        state["loss_types"].push_back(entry);
    }
    return state;
}

}  // namespace palaver::lab
