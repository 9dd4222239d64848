#include "sweep/figures.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>

#include "analyze/analyze_report.h"
#include "sweep/plan.h"

namespace palaver::lab::sweep {

namespace fs = std::filesystem;

namespace {

constexpr int CacheVersion = 3;

void put(Figures& f, const char* name, const std::optional<double>& v) {
    if (v && std::isfinite(*v)) f[name] = *v;
}

// An expectation's outcome, whichever way the record spells it.
std::optional<bool> passed(const nlohmann::json& e) {
    if (e.is_boolean()) return e.get<bool>();
    if (!e.is_object()) return std::nullopt;
    for (const char* key : {"pass", "passed", "ok", "holds", "held"}) {
        if (e.contains(key) && e[key].is_boolean()) return e[key].get<bool>();
    }
    if (e.contains("verdict") && e["verdict"].is_string()) {
        const std::string v = e["verdict"].get<std::string>();
        if (v == "pass" || v == "passed") return true;
        if (v == "fail" || v == "failed") return false;
    }
    return std::nullopt;
}

std::string expectationName(const nlohmann::json& e, std::size_t index) {
    if (e.is_object()) {
        for (const char* key : {"name", "id", "expect", "text"}) {
            if (e.contains(key) && e[key].is_string() && !e[key].get<std::string>().empty()) return e[key].get<std::string>();
        }
    }
    return std::to_string(index + 1);
}

// The scenario's expectations as run.json's verdict records them: each
// check's outcome, and whether all passed.
void addExpectations(Figures& f, const nlohmann::json& runJson) {
    if (!runJson.is_object() || !runJson.contains("verdict") || !runJson["verdict"].is_object()) return;
    const nlohmann::json& verdict = runJson["verdict"];
    if (!verdict.contains("checks") || !verdict["checks"].is_array() || verdict["checks"].empty()) return;
    const nlohmann::json& checks = verdict["checks"];
    for (std::size_t i = 0; i < checks.size(); ++i) {
        if (const auto p = passed(checks[i])) f["expect:" + expectationName(checks[i], i)] = *p ? 1 : 0;
    }
    if (verdict.contains("passed") && verdict["passed"].is_boolean()) f["verdict_passed"] = verdict["passed"].get<bool>() ? 1 : 0;
}

}  // namespace

const std::vector<FigureInfo>& standardFigures() {
    static const std::vector<FigureInfo> figures = {
        {"reliability_mean", "reliability, mean over typed lines", false},
        {"reliability_worst", "reliability of the worst typed line", false},
        {"complete_lines", "share of typed lines that reached every live node", false},
        {"joins_completed", "joins completed (the first node counts)", false},
        {"joins_failed", "joins failed", false},
        {"join_success", "share of the newcomers' joins that completed", false},
        {"mean_hops", "mean hops of a delivery", false},
        {"max_hops", "most hops of a delivery", false},
        {"rmr", "redundancy (rmr)", false},
        {"shortest_mean", "mean shortest distance of a delivery", false},
        {"stretch", "stretch (hops / shortest path)", false},
        {"churned_reliability_mean", "reliability after the churn, mean", false},
        {"churned_reliability_worst", "reliability after the churn, worst line", false},
        {"built_ring_intact", "ring intact after the build (share of runs)", false},
        {"ring_intact", "ring intact in the last snapshot (share of runs)", false},
        {"ring_cycles", "ring cycles in the last snapshot", false},
        {"components", "weakly connected components", false},
        {"unreachable_pairs", "unreachable pairs", false},
        {"diameter", "diameter", false},
        {"mean_distance", "mean distance", false},
        {"back_mismatch", "back links that mirror no next", false},
        {"dangling_next", "next links to no live node", false},
        {"in_degree_max", "largest random in-degree", false},
        {"misses_dropped", "missed deliveries: copies dropped by the kernel", false},
        {"misses_partitioned", "missed deliveries: partitioned", false},
        {"misses_cut_off", "missed deliveries: cut off", false},
        {"misses_ended", "missed deliveries: the node ended", false},
        {"misses_joined_later", "missed deliveries: not yet joined", false},
        {"misses_unknown", "missed deliveries: cause unknown", false},
        {"misses_unexplained", "missed deliveries: unexplained", false},
        {"join_failed_at_join_request", "failed joins broken off at the join request", false},
        {"join_failed_at_join_referral", "failed joins broken off at the join referral", false},
        {"join_failed_at_successor_request", "failed joins broken off at the successor request", false},
        {"join_failed_at_successor_accept", "failed joins broken off at the successor accept", false},
        {"join_failed_at_predecessor_request", "failed joins broken off at the predecessor request", false},
        {"join_failed_at_predecessor_accept", "failed joins broken off at the predecessor accept", false},
        {"join_failed_at_walk", "failed joins broken off at the walk", false},
        {"join_failed_at_walk_reply", "failed joins broken off at the walk reply", false},
        {"join_failed_at_greeting", "failed joins broken off at the greeting", false},
        {"join_failed_at_none", "failed joins whose every step happened after all", false},
        {"run_seconds", "length of the run (s)", true},
        {"verdict_passed", "every expectation held (share of runs)", false},
    };
    return figures;
}

Figures runFigures(const Analysis& a, const nlohmann::json& runJson) {
    Figures f;
    f["joins_completed"] = static_cast<double>(a.joinsCompleted);
    f["joins_failed"] = static_cast<double>(a.joinsFailed);
    // Over the newcomers: the first node has no join to finish.
    std::size_t joined = 0;
    std::size_t failed = 0;
    for (const NodeInfo& n : a.run.nodes) {
        joined += n.join == "joined";
        failed += n.join == "failed";
    }
    if (joined + failed > 0) f["join_success"] = static_cast<double>(joined) / static_cast<double>(joined + failed);
    for (const LineSummary& l : a.lineSummaries) {
        if (l.lines == 0) continue;
        if (l.phase.empty()) {
            f["reliability_mean"] = l.reliabilityMean;
            f["reliability_worst"] = l.reliabilityMin;
            f["complete_lines"] = static_cast<double>(l.complete) / static_cast<double>(l.lines);
            put(f, "mean_hops", l.meanHops);
            if (l.maxHops) f["max_hops"] = *l.maxHops;
            put(f, "rmr", l.rmr);
            put(f, "shortest_mean", l.shortestMean);
            put(f, "stretch", l.stretch);
        } else if (l.phase == "lines_churned") {
            f["churned_reliability_mean"] = l.reliabilityMean;
            f["churned_reliability_worst"] = l.reliabilityMin;
        }
    }
    // Cause counts: every cause and step, 0 where none happened, so that
    // the means count the runs without any.
    auto figureName = [](const std::string& prefix, std::string words) {
        std::replace(words.begin(), words.end(), ' ', '_');
        return prefix + words;
    };
    for (const std::string& cause : missCauses()) f[figureName("misses_", cause)] = 0;
    for (const Miss& m : a.misses) f[figureName("misses_", m.cause)] += 1;
    if (a.run.hasRunJson) {
        for (const std::string& step : joinSteps()) f[figureName("join_failed_at_", step)] = 0;
        for (const JoinFailure& j : a.failedJoins) f[figureName("join_failed_at_", j.step)] += 1;
    }
    for (const TopologySummary& t : a.topology) {
        if (t.snapshot == "built") f["built_ring_intact"] = t.ringIntact ? 1 : 0;
    }
    if (!a.topology.empty()) {
        const TopologySummary& t = a.topology.back();
        f["ring_intact"] = t.ringIntact ? 1 : 0;
        f["ring_cycles"] = static_cast<double>(t.ringCycles);
        f["components"] = static_cast<double>(t.components);
        f["unreachable_pairs"] = static_cast<double>(t.unreachablePairs);
        f["diameter"] = t.diameter;
        f["mean_distance"] = t.meanDistance;
        f["back_mismatch"] = static_cast<double>(t.backMismatch);
        f["dangling_next"] = static_cast<double>(t.danglingNext);
        f["in_degree_max"] = static_cast<double>(t.inDegreeMax);
    }
    if (runJson.is_object() && runJson.contains("end_ms") && runJson["end_ms"].is_number()) {
        f["run_seconds"] = runJson["end_ms"].get<double>() / 1000.0;
    }
    addExpectations(f, runJson);
    return f;
}

Figures analyzeRunFolder(const fs::path& runDir, bool pictures) {
    const auto runText = readText(runDir / "run.json");
    if (!runText) throw AnalyzeError((runDir / "run.json").string() + ": cannot read");
    const fs::path cachePath = runDir / "figures.json";
    if (const auto cached = readText(cachePath)) {
        try {
            const nlohmann::json j = nlohmann::json::parse(*cached);
            if (j.value("version", 0) == CacheVersion && j.value("run_json_bytes", std::size_t{0}) == runText->size() &&
                fs::exists(runDir / "report" / "report.html")) {
                return j.at("figures").get<Figures>();
            }
        } catch (const nlohmann::json::exception&) {
            // A broken cache is made again.
        }
    }
    nlohmann::json runJson;
    try {
        runJson = nlohmann::json::parse(*runText);
    } catch (const nlohmann::json::exception& e) {
        throw AnalyzeError((runDir / "run.json").string() + ": not valid JSON (" + e.what() + ")");
    }
    const Analysis a = analyzeRun(loadRun({runDir.string()}));
    Figures f = runFigures(a, runJson);
    ReportOptions ro;
    ro.pictures = pictures;
    {
        // Writing a report uses lgamma, whose sign goes to a global: one
        // report at a time, while the analyses go side by side.
        static std::mutex reportMutex;
        const std::lock_guard<std::mutex> lock(reportMutex);
        writeReport(a, (runDir / "report").string(), ro);
    }
    const nlohmann::json cache = {{"version", CacheVersion}, {"run_json_bytes", runText->size()}, {"figures", f}};
    const fs::path temp = cachePath.string() + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << cache.dump(1) << "\n";
    }
    std::error_code ec;
    fs::rename(temp, cachePath, ec);
    return f;
}

}  // namespace palaver::lab::sweep
