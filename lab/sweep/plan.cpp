#include "sweep/plan.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

namespace palaver::lab::sweep {

namespace fs = std::filesystem;

namespace {

std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out += p;
    return out;
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, by)) parts.push_back(part);
    if (!text.empty() && text.back() == by) parts.emplace_back();
    return parts;
}

std::optional<uint64_t> parseSeed(const std::string& text) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text);
}

void writeAtomically(const fs::path& path, const std::string& text) {
    const fs::path temp = path.string() + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw PlanError(temp.string() + ": cannot write");
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) throw PlanError(path.string() + ": cannot write (" + ec.message() + ")");
}

}  // namespace

std::optional<std::string> readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Varied parseVary(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw PlanError("--vary " + text + ": not NAME=V1,V2,...");
    }
    Varied v;
    v.name = text.substr(0, eq);
    if (v.name.rfind("--", 0) == 0) v.name = v.name.substr(2);
    const std::string list = text.substr(eq + 1);
    if (list.empty()) throw PlanError("--vary " + text + ": no values after '='");
    std::set<std::string> seen;
    for (const std::string& value : split(list, ',')) {
        if (value.empty()) throw PlanError("--vary " + text + ": an empty value in the list");
        if (!seen.insert(value).second) throw PlanError(join({"--vary ", text, ": value ", value, " given twice"}));
        v.values.push_back(value);
    }
    return v;
}

std::vector<uint64_t> parseSeeds(const std::string& text) {
    std::vector<uint64_t> seeds;
    std::set<uint64_t> seen;
    if (text.empty()) throw PlanError("--seeds: no seeds given");
    for (const std::string& part : split(text, ',')) {
        const auto dash = part.find('-');
        std::optional<uint64_t> first;
        std::optional<uint64_t> last;
        if (dash == std::string::npos) {
            first = last = parseSeed(part);
        } else {
            first = parseSeed(part.substr(0, dash));
            last = parseSeed(part.substr(dash + 1));
        }
        if (!first || !last) {
            throw PlanError(join({"--seeds ", text, ": '", part, "' is not a seed or a range A-B of seeds"}));
        }
        if (*last < *first) throw PlanError(join({"--seeds ", text, ": the range ", part, " runs backwards"}));
        if (*last - *first >= 100000) throw PlanError(join({"--seeds ", text, ": more than 100000 seeds in ", part}));
        for (uint64_t s = *first;; ++s) {
            if (!seen.insert(s).second) {
                throw PlanError("--seeds " + text + ": seed " + std::to_string(s) + " given twice");
            }
            seeds.push_back(s);
            if (s == *last) break;
        }
    }
    return seeds;
}

std::string folderValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == '_';
        out += plain ? c : '_';
    }
    if (out.empty() || out == "." || out == "..") out = "_" + out;
    return out;
}

std::vector<Point> expandPoints(const SweepPlan& plan) {
    for (const Varied& v : plan.vary) {
        std::map<std::string, std::string> folders;
        for (const std::string& value : v.values) {
            auto [it, fresh] = folders.emplace(folderValue(value), value);
            if (!fresh) {
                throw PlanError("--vary " + v.name + ": values " + it->second + " and " + value +
                                " would share the folder " + v.name + "=" + it->first);
            }
        }
    }
    std::vector<Point> points(1);
    for (const Varied& v : plan.vary) {
        std::vector<Point> next;
        for (const Point& p : points) {
            for (const std::string& value : v.values) {
                Point q = p;
                q.values.push_back(value);
                q.dir = (q.dir.empty() ? "" : q.dir + "/") + v.name + "=" + folderValue(value);
                next.push_back(std::move(q));
            }
        }
        points = std::move(next);
    }
    for (Point& p : points) {
        if (p.dir.empty()) p.dir = ".";
    }
    return points;
}

std::string taskDir(const Point& p, uint64_t seed) {
    return (p.dir == "." ? std::string() : p.dir + "/") + "seed=" + std::to_string(seed);
}

std::vector<Task> expandTasks(const SweepPlan& plan, const std::vector<Point>& points) {
    std::vector<Task> tasks;
    if (plan.seeds.automatic) return tasks;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (uint64_t seed : plan.seeds.seeds) tasks.push_back({i, seed, taskDir(points[i], seed)});
    }
    return tasks;
}

std::vector<std::string> runArguments(const SweepPlan& plan, const Point& point, uint64_t seed,
                                      const std::string& outDir) {
    std::vector<std::string> args;
    if (!plan.scenario.empty()) args.push_back(plan.scenario);
    args.insert(args.end(), plan.runArgs.begin(), plan.runArgs.end());
    for (std::size_t i = 0; i < plan.vary.size() && i < point.values.size(); ++i) {
        // A scenario file's values change by --set PATH=VALUE, the run's options by their own flag.
        if (plan.scenario.empty()) {
            args.push_back("--" + plan.vary[i].name);
            args.push_back(point.values[i]);
        } else {
            args.push_back("--set");
            args.push_back(plan.vary[i].name + "=" + point.values[i]);
        }
    }
    args.push_back("--seed");
    args.push_back(std::to_string(seed));
    args.push_back("--out");
    args.push_back(outDir);
    return args;
}

nlohmann::json planJson(const SweepPlan& plan) {
    nlohmann::json j;
    j["scenario"] = plan.scenario;
    j["run_arguments"] = plan.runArgs;
    j["vary"] = nlohmann::json::array();
    for (const Varied& v : plan.vary) j["vary"].push_back({{"name", v.name}, {"values", v.values}});
    if (plan.seeds.automatic) {
        j["seeds"] = {{"auto", true},
                      {"target", plan.seeds.target},
                      {"ci_width", plan.seeds.ciWidth},
                      {"min_seeds", plan.seeds.minSeeds},
                      {"max_seeds", plan.seeds.maxSeeds}};
    } else {
        j["seeds"] = {{"auto", false}, {"list", plan.seeds.seeds}};
    }
    j["time_limit_s"] = plan.timeLimitS;
    return j;
}

SweepPlan planFromJson(const nlohmann::json& j) {
    try {
        SweepPlan p;
        p.scenario = j.at("scenario").get<std::string>();
        p.runArgs = j.at("run_arguments").get<std::vector<std::string>>();
        for (const auto& v : j.at("vary")) {
            p.vary.push_back({v.at("name").get<std::string>(), v.at("values").get<std::vector<std::string>>()});
        }
        const auto& s = j.at("seeds");
        p.seeds.automatic = s.at("auto").get<bool>();
        if (p.seeds.automatic) {
            p.seeds.target = s.at("target").get<std::string>();
            p.seeds.ciWidth = s.at("ci_width").get<double>();
            p.seeds.minSeeds = s.at("min_seeds").get<int>();
            p.seeds.maxSeeds = s.at("max_seeds").get<int>();
        } else {
            p.seeds.seeds = s.at("list").get<std::vector<uint64_t>>();
        }
        p.timeLimitS = j.at("time_limit_s").get<int>();
        return p;
    } catch (const nlohmann::json::exception& e) {
        throw PlanError(std::string("the plan in sweep.json is broken: ") + e.what());
    }
}

SweepFile newSweepFile(const SweepPlan& plan) {
    SweepFile f;
    f.plan = plan;
    f.points = expandPoints(plan);
    f.pointSeeds.resize(f.points.size());
    f.stopped.resize(f.points.size());
    f.tasks = expandTasks(plan, f.points);
    if (!plan.seeds.automatic) {
        for (auto& seeds : f.pointSeeds) seeds = plan.seeds.seeds;
    }
    return f;
}

void writeSweepFile(const fs::path& dir, const SweepFile& f) {
    nlohmann::json j;
    j["sweep_version"] = 1;
    j["plan"] = planJson(f.plan);
    j["points"] = nlohmann::json::array();
    for (std::size_t i = 0; i < f.points.size(); ++i) {
        nlohmann::json values = nlohmann::json::object();
        for (std::size_t k = 0; k < f.plan.vary.size(); ++k) values[f.plan.vary[k].name] = f.points[i].values[k];
        j["points"].push_back({{"dir", f.points[i].dir},
                               {"values", values},
                               {"seeds", f.pointSeeds[i]},
                               {"stopped", f.stopped[i].empty() ? nlohmann::json(nullptr) : nlohmann::json(f.stopped[i])}});
    }
    j["tasks"] = nlohmann::json::array();
    for (const Task& t : f.tasks) j["tasks"].push_back({{"point", t.point}, {"seed", t.seed}, {"dir", t.dir}});
    writeAtomically(dir / "sweep.json", j.dump(2) + "\n");
}

SweepFile readSweepFile(const fs::path& dir) {
    const fs::path path = dir / "sweep.json";
    const auto text = readText(path);
    if (!text) throw PlanError(path.string() + ": cannot read");
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(*text);
    } catch (const nlohmann::json::exception& e) {
        throw PlanError(path.string() + ": not valid JSON (" + e.what() + ")");
    }
    if (!j.is_object() || !j.contains("plan")) throw PlanError(path.string() + ": holds no sweep plan");
    SweepFile f = newSweepFile(planFromJson(j["plan"]));
    try {
        const auto& points = j.at("points");
        if (points.size() != f.points.size()) throw PlanError(path.string() + ": its points do not match its plan");
        for (std::size_t i = 0; i < f.points.size(); ++i) {
            f.pointSeeds[i] = points[i].at("seeds").get<std::vector<uint64_t>>();
            const auto& stopped = points[i].at("stopped");
            f.stopped[i] = stopped.is_string() ? stopped.get<std::string>() : "";
        }
    } catch (const nlohmann::json::exception& e) {
        throw PlanError(path.string() + ": broken points (" + e.what() + ")");
    }
    return f;
}

bool runJsonComplete(const fs::path& runDir) {
    const auto text = readText(runDir / "run.json");
    if (!text) return false;
    try {
        const nlohmann::json j = nlohmann::json::parse(*text);
        return j.is_object() && j.contains("end_ms") && j["end_ms"].is_number();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

fs::path resultPath(const fs::path& runDir) {
    fs::path p = runDir.lexically_normal();
    if (p.filename().empty()) p = p.parent_path();
    return p.string() + ".result.json";
}

fs::path logPath(const fs::path& runDir) {
    fs::path p = runDir.lexically_normal();
    if (p.filename().empty()) p = p.parent_path();
    return p.string() + ".log";
}

std::string failureReason(const fs::path& runDir) {
    const auto text = readText(resultPath(runDir));
    if (!text) return "";
    try {
        const nlohmann::json j = nlohmann::json::parse(*text);
        if (j.value("ok", false)) return "";
        return j.value("reason", std::string("failed"));
    } catch (const nlohmann::json::exception&) {
        return "";
    }
}

RunState runState(const fs::path& runDir) {
    std::error_code ec;
    const bool result = fs::exists(resultPath(runDir), ec);
    const std::string failed = result ? failureReason(runDir) : "";
    if (!failed.empty()) return RunState::Failed;
    if (runJsonComplete(runDir)) return RunState::Complete;
    if (result || fs::exists(runDir, ec) || fs::exists(logPath(runDir), ec)) return RunState::CutOff;
    return RunState::Missing;
}

std::string classifyRun(int status, int signal, bool timedOut, int timeLimitS, bool complete,
                        const std::string& lastLine) {
    std::string reason;
    if (timedOut) {
        reason = "stopped after the time limit of " + std::to_string(timeLimitS) + " s";
    } else if (status < 0) {
        reason = "killed by signal " + std::to_string(signal);
    } else if (status != 0 && status != 1) {
        reason = "exit status " + std::to_string(status);
    } else if (!complete) {
        reason = "exit status " + std::to_string(status) + " without a complete run.json";
    } else {
        return "";
    }
    if (!lastLine.empty()) reason += ": " + lastLine;
    return reason;
}

}  // namespace palaver::lab::sweep
