#include "analyze/analyze_model.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <numeric>
#include <set>
#include <sstream>
#include <tuple>

#include "datagram.h"
#include "analyze/lab_csv.h"

namespace palaver::lab {

namespace fs = std::filesystem;

namespace {

std::string readWholeFile(const fs::path& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

// "ip@port" as every file name and report writes it; "" for an empty entry.
std::string normalAddress(std::string_view text) {
    std::string ip;
    int32_t port = 0;
    if (splitAddress(text, ip, port) < 2 || ip.empty() || port <= 0) return std::string();
    return formatAddress(ip, port, false);
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::optional<int64_t> optionalInt(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(name);
    if (it == object.end() || !it->is_number()) return std::nullopt;
    return it->get<int64_t>();
}

std::optional<double> optionalNumber(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(name);
    if (it == object.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

}  // namespace

std::string stringField(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return std::string();
    auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::string();
    return it->get<std::string>();
}

namespace {

// Reads every status_<ip>@<port>.csv of a folder into `tables`; a report
// without a table (crashed node) is left out.
void readStatusFolder(const fs::path& dir, std::map<std::string, StatusTable>& tables) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (!startsWith(name, "status_") || name.size() < 12 || name.substr(name.size() - 4) != ".csv") continue;
        auto table = parseStatusReport(readWholeFile(entry.path()));
        if (!table) continue;
        std::string address = normalAddress(name.substr(7, name.size() - 11));
        if (address.empty()) address = table->self;
        tables[address] = *table;
    }
}

}  // namespace

std::optional<StatusTable> parseStatusReport(std::string_view text) {
    StatusTable t;
    bool seenSelf = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        std::size_t comma = line.find(',');
        if (comma == std::string_view::npos) continue;
        std::string_view kind = line.substr(0, comma);
        std::string_view rest = line.substr(comma + 1);
        std::string_view value = rest.substr(0, rest.find(','));
        if (kind == "MY IP@PORT") {
            t.self = normalAddress(value);
            seenSelf = true;
        } else if (kind == "NEXT IP@PORT") {
            t.next = normalAddress(value);
        } else if (kind == "Back IP@PORT") {
            t.back = normalAddress(value);
        } else if (startsWith(kind, "Random[")) {
            std::string peer = normalAddress(value);
            if (!peer.empty()) t.random.push_back(peer);
        } else if (kind == "latestTtl") {
            t.latestTtl = std::atoi(std::string(value).c_str());
        } else if (kind == "Member cnt") {
            t.members = std::atoi(std::string(value).c_str());
        }
    }
    if (!seenSelf) return std::nullopt;
    return t;
}

bool NodeInfo::aliveAt(std::optional<int64_t> ms) const {
    if (ms && startedMs && *startedMs > *ms) return false;
    if (state == "alive") return true;
    if (!fateMs) return false;
    if (!ms) return false;
    return *fateMs > *ms;
}

namespace {

using LifeKey = std::pair<std::string, int>;  // address, life

// The life a folder's files belong to: 1 for the run folder itself, k for
// its life<k> sub-folder; 0 for any other folder.
int lifeOfFolder(const std::string& name) {
    if (!startsWith(name, "life") || name.size() == 4 || name.size() > 8) return 0;
    int k = 0;
    for (char c : name.substr(4)) {
        if (c < '0' || c > '9') return 0;
        k = k * 10 + (c - '0');
    }
    return k >= 2 ? k : 0;
}

// Reads the logs and closing reports of one folder as the files of life
// `life`; returns the number of logs.
std::size_t readNodeFiles(const fs::path& dir, int life, std::map<LifeKey, NodeInfo>& nodes) {
    std::size_t logs = 0;
    std::error_code ec;
    std::map<std::string, std::optional<StatusTable>> closing;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file()) continue;
        std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.substr(name.size() - 4) == ".txt" && name.find('@') != std::string::npos) {
            std::string address = normalAddress(name.substr(0, name.size() - 4));
            if (address.empty()) continue;
            NodeInfo& info = nodes[{address, life}];
            info.address = address;
            info.life = life;
            info.logPath = entry.path().string();
            ++logs;
        } else if (startsWith(name, "status_") && name.size() > 11 && name.substr(name.size() - 4) == ".csv") {
            std::string address = normalAddress(name.substr(7, name.size() - 11));
            if (address.empty()) continue;
            closing[address] = parseStatusReport(readWholeFile(entry.path()));
        }
    }
    for (auto& [address, table] : closing) {
        NodeInfo& info = nodes[{address, life}];
        info.address = address;
        info.life = life;
        info.closing = table;
    }
    return logs;
}

std::string groupPair(const nlohmann::json& pair) {
    std::string text;
    if (!pair.is_array()) return text;
    for (const auto& g : pair) {
        if (!text.empty()) text += " | ";
        text += g.is_string() ? g.get<std::string>() : g.dump();
    }
    return text;
}

// What a network change left in place, in a few words: "partition west |
// east", "loss 5 %", "loss 100 % between a | b", or "no loss, no partition".
std::string networkLabel(const nlohmann::json& change) {
    std::string text;
    if (!change.is_object()) return text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    auto percent = [](const nlohmann::json& v) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "loss %g %%", v.get<double>());
        return std::string(buf);
    };
    for (const auto& p : change.value("partitions", nlohmann::json::array())) add("partition " + groupPair(p));
    auto loss = change.find("loss");
    if (loss != change.end() && loss->is_number() && loss->get<double>() > 0) add(percent(*loss));
    for (const auto& b : change.value("loss_between", nlohmann::json::array())) {
        auto share = b.is_object() ? b.find("loss") : b.end();
        if (share == b.end() || !share->is_number() || share->get<double>() <= 0) continue;
        add(percent(*share) + " between " + groupPair(b.value("groups", nlohmann::json::array())));
    }
    for (const auto& t : change.value("loss_types", nlohmann::json::array())) {
        auto share = t.is_object() ? t.find("loss") : t.end();
        if (share == t.end() || !share->is_number() || share->get<double>() <= 0) continue;
        std::string text = percent(*share) + " of " + t.value("types", std::string("?"));
        if (t.contains("groups")) text += " between " + groupPair(t["groups"]);
        add(text);
    }
    return text.empty() ? "no loss, no partition" : text;
}

// A whole decimal number; no value for anything else.
std::optional<int64_t> wholeNumber(std::string_view text) {
    int64_t v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

// accepts.csv: one row per acceptance.
void readAccepts(const fs::path& path, std::map<AcceptKey, int64_t>& out) {
    readLabCsv(path, {"node", "life", "originator", "sequence", "ms"}, [&](auto cell, const std::string& place) {
        const std::string node = normalAddress(cell("node"));
        const std::string originator = normalAddress(cell("originator"));
        const auto life = wholeNumber(cell("life"));
        const auto sequence = wholeNumber(cell("sequence"));
        const auto ms = wholeNumber(cell("ms"));
        if (node.empty() || originator.empty()) throw AnalyzeError(place + "an address is not ip@port");
        if (!life || *life < 1 || !sequence || *sequence < INT32_MIN || *sequence > INT32_MAX || !ms) {
            throw AnalyzeError(place + "life, sequence and ms must be whole numbers (life from 1)");
        }
        out[{node, static_cast<int>(std::min<int64_t>(*life, INT32_MAX)), originator, static_cast<int32_t>(*sequence)}] =
            *ms;
    });
}

// drops.csv: one row per datagram the kernel dropped. A packet that was no
// whole UDP packet names its ends by ip alone.
void readDrops(const fs::path& path, std::vector<DroppedDatagram>& out) {
    readLabCsv(path, {"ms", "rule", "source", "destination", "type", "ttl", "originator", "sequence"},
               [&](auto cell, const std::string& place) {
                   DroppedDatagram d;
                   const auto ms = wholeNumber(cell("ms"));
                   const auto ttl = wholeNumber(cell("ttl"));
                   const std::string_view type = cell("type");
                   // A packet that held no datagram (no whole UDP packet, or
                   // an empty one) has neither type nor ttl.
                   const bool noDatagram = type.empty() && cell("ttl").empty();
                   if (!ms || (type.size() != 1 && !noDatagram) || (!ttl && !cell("ttl").empty())) {
                       throw AnalyzeError(place + "ms must be a whole number, type one character and ttl a number");
                   }
                   d.ms = *ms;
                   d.rule = std::string(cell("rule"));
                   auto end = [](std::string_view text) {
                       const std::string address = normalAddress(text);
                       return address.empty() ? std::string(text) : address;
                   };
                   d.source = end(cell("source"));
                   d.destination = end(cell("destination"));
                   d.type = noDatagram ? '?' : type[0];
                   d.ttl = static_cast<int>(std::clamp<int64_t>(ttl.value_or(0), INT32_MIN, INT32_MAX));
                   d.originator = normalAddress(cell("originator"));
                   const auto sequence = wholeNumber(cell("sequence"));
                   if (sequence && *sequence >= INT32_MIN && *sequence <= INT32_MAX) {
                       d.sequence = static_cast<int32_t>(*sequence);
                   }
                   out.push_back(std::move(d));
               });
}

}  // namespace

std::optional<int64_t> reachTime(const std::vector<int64_t>& sorted, double share) {
    if (sorted.empty() || !(share > 0)) return std::nullopt;
    const double wanted = std::ceil(std::min(share, 1.0) * static_cast<double>(sorted.size()) - 1e-9);
    const auto k = static_cast<std::size_t>(std::max(1.0, wanted));
    return sorted[std::min(k, sorted.size()) - 1];
}

RunData loadRun(const std::vector<std::string>& dirs) {
    RunData run;
    run.dirs = dirs;
    std::map<LifeKey, NodeInfo> nodes;
    std::map<std::string, Snapshot> snapshots;
    std::vector<std::string> snapshotOrder;

    for (const std::string& dirText : dirs) {
        fs::path dir(dirText);
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) throw AnalyzeError(dirText + ": no such folder");
        std::size_t logs = readNodeFiles(dir, 1, nodes);
        if (logs == 0) throw AnalyzeError(dirText + ": no datagram logs (<ip>@<port>.txt) in this folder");
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            int life = entry.is_directory() ? lifeOfFolder(entry.path().filename().string()) : 0;
            if (life) readNodeFiles(entry.path(), life, nodes);
        }

        if (fs::exists(dir / "accepts.csv", ec)) {
            readAccepts(dir / "accepts.csv", run.acceptMs);
            run.hasAccepts = true;
        }
        if (fs::exists(dir / "drops.csv", ec)) {
            readDrops(dir / "drops.csv", run.dropRecords);
            run.hasDropFile = true;
        }
        fs::path runJson = dir / "run.json";
        if (!fs::exists(runJson, ec)) continue;
        nlohmann::json j;
        try {
            j = nlohmann::json::parse(readWholeFile(runJson));
        } catch (const nlohmann::json::exception& e) {
            throw AnalyzeError(runJson.string() + ": not valid JSON (" + e.what() + ")");
        }
        if (!j.is_object()) throw AnalyzeError(runJson.string() + ": not a JSON object");
        if (!run.hasRunJson) {
            run.parameters = j.value("parameters", nlohmann::json::object());
            if (!run.parameters.is_object()) run.parameters = nlohmann::json::object();
            run.commandLine = j.value("command_line", nlohmann::json::array());
            run.seed = optionalInt(j, "seed");
            if (j.contains("verdict") && j["verdict"].is_object()) run.verdict = j["verdict"];
            if (j.contains("scenario") && j["scenario"].is_object()) run.scenarioSource = stringField(j["scenario"], "source");
            for (const auto& st : j.value("steps", nlohmann::json::array())) {
                run.steps.push_back({stringField(st, "name"), stringField(st, "do"), stringField(st, "group"),
                                     stringField(st, "waited"), optionalInt(st, "start_ms"), optionalInt(st, "action_ms"),
                                     optionalInt(st, "end_ms")});
            }
            if (j.contains("drops") && j["drops"].is_object()) run.drops = j["drops"];
        }
        run.hasRunJson = true;
        for (const auto& n : j.value("nodes", nlohmann::json::array())) {
            std::string address = normalAddress(stringField(n, "address"));
            if (address.empty()) continue;
            int life = static_cast<int>(optionalInt(n, "life").value_or(1));
            if (life < 1) life = 1;
            NodeInfo& info = nodes[{address, life}];
            info.address = address;
            info.life = life;
            info.number = static_cast<int>(optionalInt(n, "node").value_or(0));
            info.startedMs = optionalInt(n, "started_ms");
            std::string fate = stringField(n, "fate");
            info.state = fate.empty() ? "alive" : fate;
            info.fateMs = optionalInt(n, "fate_ms");
            info.join = stringField(n, "join");
            info.contact = normalAddress(stringField(n, "contact"));
            info.joinStartMs = optionalInt(n, "join_start_ms");
            info.joinEndMs = optionalInt(n, "join_end_ms");
            info.joinGivenUpMs = optionalInt(n, "join_given_up_ms");
            for (const auto& by : n.value("join_given_up_by", nlohmann::json::array())) {
                if (by.is_string()) info.joinGivenUpBy.push_back(by.get<std::string>());
            }
            if (info.fateMs && (info.state == "left" || info.state == "crashed")) {
                run.events.push_back({*info.fateMs, info.state, address});
            }
            if (life > 1 && info.startedMs) run.events.push_back({*info.startedMs, "restarted", address});
        }
        for (const auto& l : j.value("lines", nlohmann::json::array())) {
            TypedLine line;
            line.originator = normalAddress(stringField(l, "originator"));
            line.sequence = static_cast<int32_t>(optionalInt(l, "sequence").value_or(0));
            line.text = stringField(l, "text");
            line.phase = stringField(l, "phase");
            line.typedMs = optionalInt(l, "typed_ms");
            line.life = static_cast<int>(optionalInt(l, "life").value_or(1));
            line.quietMs = optionalInt(l, "quiet_ms");
            run.lines.push_back(line);
        }
        for (const auto& p : j.value("phases", nlohmann::json::array())) {
            PhaseInfo phase{stringField(p, "name"), optionalInt(p, "start_ms"), optionalInt(p, "end_ms"),
                            optionalInt(p, "cpu_ms"), optionalInt(p, "peak_rss_kib"), optionalNumber(p, "load_average"),
                            optionalInt(p, "lab_thread_cpu_ms")};
            if (phase.name == "stop" && phase.startMs) run.stopMs = phase.startMs;
            run.phases.push_back(phase);
        }
        for (const auto& c : j.value("network_changes", nlohmann::json::array())) {
            std::string step = stringField(c, "step");
            if (auto ms = optionalInt(c, "ms")) {
                const std::string what = networkLabel(c);
                std::string label = step;
                if (!label.empty()) label += ": ";
                label += what;
                run.events.push_back({*ms, "network", label, what != "no loss, no partition"});
                NetworkState state{*ms, {}};
                for (const auto& p : c.value("partitions", nlohmann::json::array())) {
                    if (p.is_array() && p.size() == 2 && p[0].is_string() && p[1].is_string()) {
                        state.partitions.emplace_back(p[0].get<std::string>(), p[1].get<std::string>());
                    }
                }
                run.network.push_back(std::move(state));
            }
        }
        const nlohmann::json groups = j.value("groups", nlohmann::json::object());
        if (groups.is_object()) {
            for (const auto& [name, members] : groups.items()) {
                if (!members.is_array()) continue;
                for (const auto& m : members) {
                    if (m.is_string()) run.groups[name].push_back(normalAddress(m.get<std::string>()));
                }
            }
        }
        for (const auto& s : j.value("snapshots", nlohmann::json::array())) {
            std::string name = stringField(s, "name");
            if (name.empty()) continue;
            if (!snapshots.count(name)) snapshotOrder.push_back(name);
            Snapshot& snap = snapshots[name];
            snap.name = name;
            if (!snap.ms) snap.ms = optionalInt(s, "ms");
            readStatusFolder(dir / stringField(s, "dir"), snap.tables);
        }
    }
    std::stable_sort(run.events.begin(), run.events.end(),
                     [](const RunEvent& x, const RunEvent& y) { return x.ms < y.ms; });
    std::stable_sort(run.network.begin(), run.network.end(),
                     [](const NetworkState& x, const NetworkState& y) { return x.ms < y.ms; });

    for (auto& [key, info] : nodes) {
        run.nodeIndex[key.first] = run.nodes.size();  // the lives come in order: the last one stays
        run.nodes.push_back(std::move(info));
    }
    for (const std::string& name : snapshotOrder) run.snapshots.push_back(std::move(snapshots[name]));
    // The closing reports of the nodes still running at the end.
    Snapshot closing;
    closing.name = "closing";
    closing.ms = run.stopMs;
    for (const NodeInfo& n : run.nodes) {
        if (n.state == "alive" && n.closing) closing.tables[n.address] = *n.closing;
    }
    run.snapshots.push_back(std::move(closing));
    return run;
}

// ---------------------------------------------------------------------------
// Graph

int Graph::vertex(const std::string& name) {
    auto [it, inserted] = index.emplace(name, static_cast<int>(names.size()));
    if (inserted) {
        names.push_back(name);
        out.emplace_back();
        live.push_back(0);
    }
    return it->second;
}

std::vector<int> Graph::distancesFrom(int source) const {
    std::vector<int> dist(names.size(), -1);
    if (source < 0 || static_cast<std::size_t>(source) >= names.size()) return dist;
    std::vector<int> queue;
    queue.reserve(names.size());
    dist[static_cast<std::size_t>(source)] = 0;
    queue.push_back(source);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        int v = queue[head];
        for (int w : out[static_cast<std::size_t>(v)]) {
            if (dist[static_cast<std::size_t>(w)] < 0) {
                dist[static_cast<std::size_t>(w)] = dist[static_cast<std::size_t>(v)] + 1;
                queue.push_back(w);
            }
        }
    }
    return dist;
}

Graph buildGraph(const Snapshot& snapshot) {
    Graph g;
    for (const auto& [address, t] : snapshot.tables) g.live[static_cast<std::size_t>(g.vertex(address))] = 1;
    for (const auto& [address, t] : snapshot.tables) {
        int v = g.vertex(address);
        std::vector<std::string> targets{t.next, t.back};
        targets.insert(targets.end(), t.random.begin(), t.random.end());
        for (const std::string& target : targets) {
            if (target.empty() || target == address) continue;
            int w = g.vertex(target);
            auto& edges = g.out[static_cast<std::size_t>(v)];
            if (std::find(edges.begin(), edges.end(), w) == edges.end()) edges.push_back(w);
        }
    }
    return g;
}

std::map<std::string, std::size_t> randomInDegrees(const Snapshot& snapshot) {
    std::map<std::string, std::size_t> in;
    for (const auto& [address, t] : snapshot.tables) in[address];
    for (const auto& [address, t] : snapshot.tables) {
        for (const std::string& peer : t.random) {
            auto it = in.find(peer);
            if (it != in.end()) ++it->second;
        }
    }
    return in;
}

TopologySummary summarizeTopology(const Snapshot& snapshot) {
    TopologySummary s;
    s.snapshot = snapshot.name;
    s.ms = snapshot.ms;
    const auto& tables = snapshot.tables;
    s.live = tables.size();
    if (s.live == 0) return s;
    auto isLive = [&](const std::string& a) { return tables.count(a) > 0; };

    // Ring: next links among live nodes and their back mirrors.
    for (const auto& [v, t] : tables) {
        bool ownNext = t.next == v && s.live > 1;
        if (!isLive(t.next) || ownNext) {
            ++s.danglingNext;
            s.brokenLinks.push_back(v + " next " + (t.next.empty() ? "(empty)" : t.next) + ": not a live node");
        }
        bool mirrored = isLive(t.back) && tables.at(t.back).next == v;
        if (!mirrored) {
            ++s.backMismatch;
            std::string why = isLive(t.back) ? "its next is " + tables.at(t.back).next : "not a live node";
            std::string link = v + " back " + (t.back.empty() ? "(empty)" : t.back);
            s.brokenLinks.push_back(link.append(": ").append(why));
        }
    }
    // Cycles of the next function among live nodes.
    std::map<std::string, int> colour;  // 1 on the current path, 2 done
    for (const auto& [start, unused] : tables) {
        if (colour[start]) continue;
        std::vector<std::string> path;
        std::string at = start;
        while (isLive(at) && colour[at] == 0) {
            colour[at] = 1;
            path.push_back(at);
            at = tables.at(at).next;
        }
        if (isLive(at) && colour[at] == 1) {
            auto from = std::find(path.begin(), path.end(), at);
            std::size_t length = static_cast<std::size_t>(path.end() - from);
            ++s.ringCycles;
            s.longestCycle = std::max(s.longestCycle, length);
        }
        for (const std::string& p : path) colour[p] = 2;
    }
    s.ringIntact = s.ringCycles == 1 && s.longestCycle == s.live && s.danglingNext == 0 && s.backMismatch == 0;

    // Distances and components.
    Graph g = buildGraph(snapshot);
    std::vector<int> parent(g.names.size());
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](int x) {
        while (parent[static_cast<std::size_t>(x)] != x) {
            parent[static_cast<std::size_t>(x)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(x)])];
            x = parent[static_cast<std::size_t>(x)];
        }
        return x;
    };
    double degreeSum = 0;
    double distanceSum = 0;
    std::size_t pairs = 0;
    for (std::size_t v = 0; v < g.names.size(); ++v) {
        if (!g.live[v]) continue;
        degreeSum += static_cast<double>(g.out[v].size());
        for (int w : g.out[v]) {
            if (g.live[static_cast<std::size_t>(w)]) parent[static_cast<std::size_t>(find(static_cast<int>(v)))] = find(w);
        }
        std::vector<int> dist = g.distancesFrom(static_cast<int>(v));
        for (std::size_t w = 0; w < g.names.size(); ++w) {
            if (!g.live[w] || w == v) continue;
            if (dist[w] < 0) {
                ++s.unreachablePairs;
            } else {
                distanceSum += dist[w];
                ++pairs;
                s.diameter = std::max(s.diameter, dist[w]);
            }
        }
    }
    std::set<int> roots;
    for (std::size_t v = 0; v < g.names.size(); ++v) {
        if (g.live[v]) roots.insert(find(static_cast<int>(v)));
    }
    s.components = roots.size();
    s.meanDistance = pairs ? distanceSum / static_cast<double>(pairs) : 0;
    s.meanOutDegree = degreeSum / static_cast<double>(s.live);
    if (s.live > 1 && s.meanOutDegree > 2) {
        s.predictedDistance = std::log(static_cast<double>(s.live)) / std::log(s.meanOutDegree - 1);
    }

    // Random in-degree.
    auto in = randomInDegrees(snapshot);
    double sum = 0, squares = 0;
    for (const auto& [address, d] : in) {
        if (s.inDegreeHistogram.size() <= d) s.inDegreeHistogram.resize(d + 1, 0);
        ++s.inDegreeHistogram[d];
        s.inDegreeMax = std::max(s.inDegreeMax, d);
        if (d == 0) ++s.inDegreeZero;
        sum += static_cast<double>(d);
        squares += static_cast<double>(d) * static_cast<double>(d);
    }
    double n = static_cast<double>(in.size());
    s.inDegreeMean = sum / n;
    s.inDegreeStdDev = std::sqrt(std::max(0.0, squares / n - s.inDegreeMean * s.inDegreeMean));
    return s;
}

// ---------------------------------------------------------------------------
// Replay

namespace {

struct LineTally {
    std::string originator;
    int32_t sequence = 0;
    std::string text;
    std::size_t copies = 0;
    std::vector<std::pair<std::size_t, int>> accepts;  // node, TTL
    std::optional<int> ownTtl;
    int ownLife = 0;  // the life of the originator whose log holds its own copy
};

// The text of a chat datagram behind its fixed fields, without the closing tick.
std::string_view chatText(std::string_view datagram) {
    constexpr std::size_t offset = 8 + AddressFieldWidth + 1 + SequenceFieldWidth + 1;
    if (datagram.size() <= offset) return std::string_view();
    std::string_view text = datagram.substr(offset);
    if (!text.empty() && text.back() == Tick) text.remove_suffix(1);
    return text;
}

void appendKey(std::string& key, std::string_view originator, int32_t sequence, std::string_view text) {
    key.assign(originator);
    key.push_back('\0');
    key.append(std::to_string(sequence));
    key.push_back('\0');
    key.append(text);
}

// One node's log through the chat handler's member-table rule.
void replayLog(RunData& run, std::size_t nodeId, std::string& buffer, std::vector<LineTally>& tallies,
               std::unordered_map<std::string, std::size_t>& lineIndex) {
    NodeInfo& node = run.nodes[nodeId];
    buffer = readWholeFile(node.logPath);
    std::string_view all(buffer);
    std::unordered_map<std::string, int32_t> lastSequence;
    std::unordered_map<std::size_t, bool> seenHere;  // line -> seen at this node
    std::string key;
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        bool last = end == std::string_view::npos;
        if (last) end = all.size();
        std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        if (last && line == "thread end") break;
        ++node.logLines;
        static constexpr std::string_view known = "!NnXxBbDdLlS";
        if (line.empty() || known.find(line[0]) == std::string_view::npos) {
            ++node.badLines;
            continue;
        }
        if (line[0] == 'D' || line[0] == 'd') ++node.ringNotices;
        if (HandshakeTypes.find(line[0]) != std::string_view::npos) {
            const DatagramFields h = parseDatagram(line, "");
            node.handshake[line[0]].push_back(normalAddress(h.addressText));
            continue;
        }
        if (line[0] == 'L') {
            const DatagramFields w = parseDatagram(line, "");
            const std::string originator = normalAddress(w.addressText);
            auto [seen, first] = node.walkTtl.emplace(originator, w.ttl);
            if (!first) seen->second = std::min(seen->second, w.ttl);
            continue;
        }
        if (line[0] != 'S') continue;
        DatagramFields f = parseDatagram(line, "");
        if (!hasUsableAddress(f)) {
            ++node.badLines;  // the node ignores a chat it could not answer to
            continue;
        }
        ++node.chatCopies;
        if (f.ttl == 1 && chatText(line) == "Hello" && normalAddress(f.addressText) == node.address) ++node.ownGreetings;
        appendKey(key, f.addressText, f.sequence, chatText(line));
        auto [it, inserted] = lineIndex.emplace(key, tallies.size());
        if (inserted) {
            LineTally t;
            t.originator = normalAddress(f.addressText);
            t.sequence = f.sequence;
            t.text = std::string(chatText(line));
            tallies.push_back(std::move(t));
        }
        LineTally& tally = tallies[it->second];
        ++tally.copies;
        bool firstHere = seenHere.emplace(it->second, true).second;
        if (firstHere && tally.originator == node.address && !tally.ownTtl) {
            tally.ownTtl = f.ttl;
            tally.ownLife = node.life;
        }

        auto member = lastSequence.find(f.addressText);
        bool accepted = false;
        if (member == lastSequence.end()) {
            lastSequence.emplace(f.addressText, f.sequence);
            accepted = true;
        } else if (f.sequence > member->second) {
            member->second = f.sequence;
            accepted = true;
        }
        if (accepted) {
            tally.accepts.emplace_back(nodeId, f.ttl);
            ++node.accepted;
        }
    }
}

template <typename Get>
std::optional<double> meanOf(const std::vector<const Trace*>& traces, Get get) {
    double sum = 0;
    std::size_t n = 0;
    for (const Trace* t : traces) {
        std::optional<double> v = get(*t);
        if (v) {
            sum += *v;
            ++n;
        }
    }
    if (n == 0) return std::nullopt;
    return sum / static_cast<double>(n);
}

LineSummary summarizeLines(const std::string& phase, const std::vector<const Trace*>& traces) {
    LineSummary s;
    s.phase = phase;
    s.lines = traces.size();
    if (traces.empty()) return s;
    s.reliabilityMin = 1;
    double sum = 0;
    for (const Trace* t : traces) {
        sum += t->reliability;
        s.reliabilityMin = std::min(s.reliabilityMin, t->reliability);
        if (t->reliability >= 1.0) ++s.complete;
        if (t->maxHops) s.maxHops = std::max(s.maxHops.value_or(0), *t->maxHops);
    }
    s.reliabilityMean = sum / static_cast<double>(traces.size());
    s.meanHops = meanOf(traces, [](const Trace& t) { return t.meanHops; });
    s.maxHopsMean = meanOf(traces, [](const Trace& t) -> std::optional<double> {
        if (!t.maxHops) return std::nullopt;
        return static_cast<double>(*t.maxHops);
    });
    s.rmr = meanOf(traces, [](const Trace& t) { return t.rmr; });
    s.shortestMean = meanOf(traces, [](const Trace& t) { return t.shortestMean; });
    s.stretch = meanOf(traces, [](const Trace& t) { return t.stretch; });
    return s;
}

}  // namespace

Analysis analyzeRun(RunData run) {
    Analysis a;
    a.run = std::move(run);
    RunData& r = a.run;

    std::vector<LineTally> tallies;
    std::unordered_map<std::string, std::size_t> lineIndex;
    std::string buffer;
    for (std::size_t i = 0; i < r.nodes.size(); ++i) {
        if (r.nodes[i].logPath.empty()) continue;
        replayLog(r, i, buffer, tallies, lineIndex);
        r.badLines += r.nodes[i].badLines;
        if (r.nodes[i].badLines) ++r.badFiles;
    }

    // Typed lines of run.json first, in its order; a line that no log holds
    // still gets its row.
    std::vector<std::optional<std::size_t>> tallyOfLine;
    std::vector<char> tallyUsed(tallies.size(), 0);
    std::string key;
    for (const TypedLine& line : r.lines) {
        appendKey(key, line.originator, line.sequence, line.text);
        auto it = lineIndex.find(key);
        std::optional<std::size_t> id;
        if (it != lineIndex.end()) id = it->second;
        tallyOfLine.push_back(id);
        if (id) tallyUsed[*id] = 1;
    }

    std::map<std::string, Graph> graphs;
    std::map<std::pair<std::string, std::string>, std::vector<int>> distances;
    auto snapshotFor = [&](const Trace& t) -> const Snapshot* {
        auto byName = [&](const std::string& name) -> const Snapshot* {
            for (const Snapshot& s : r.snapshots) {
                if (s.name == name && !s.tables.empty()) return &s;
            }
            return nullptr;
        };
        if (!r.hasRunJson) return byName("closing");
        if (t.kind != "typed") return nullptr;
        if (t.phase == "lines" && byName("built")) return byName("built");
        if (t.phase == "lines_churned" && byName("churned")) return byName("churned");
        const Snapshot* best = nullptr;
        for (const Snapshot& s : r.snapshots) {
            if (s.ms && t.typedMs && *s.ms <= *t.typedMs && !s.tables.empty()) best = &s;
        }
        return best;
    };

    auto finish = [&](Trace t, const LineTally* tally) {
        if (tally) {
            t.copies = tally->copies;
            if (t.kind.empty()) {
                int base = tally->ownTtl.value_or(-1);
                if (base < 0) {
                    int least = 1 << 30;
                    for (const auto& [node, ttl] : tally->accepts) least = std::min(least, ttl);
                    base = (tally->text == "Hello" && least >= 1) ? 1 : 0;
                }
                t.kind = base == 1 ? "greeting" : "typed";
                t.hopBase = base == 1 ? 1 : 0;
            }
            for (const auto& [node, ttl] : tally->accepts) t.accepts.emplace_back(node, ttl - t.hopBase);
        }
        for (const NodeInfo& n : r.nodes) {
            if (!r.hasRunJson ? !n.logPath.empty() : n.aliveAt(t.typedMs)) ++t.alive;
        }
        for (const auto& [node, hops] : t.accepts) {
            const NodeInfo& n = r.nodes[node];
            if (!r.hasRunJson ? !n.logPath.empty() : n.aliveAt(t.typedMs)) ++t.deliveredAlive;
        }
        t.reliability = t.alive ? static_cast<double>(t.deliveredAlive) / static_cast<double>(t.alive) : 0;
        if (!t.accepts.empty()) {
            double sum = 0;
            int most = 0;
            for (const auto& [node, hops] : t.accepts) {
                sum += hops;
                most = std::max(most, hops);
            }
            t.meanHops = sum / static_cast<double>(t.accepts.size());
            t.maxHops = most;
        }
        if (t.accepts.size() >= 2) {
            t.rmr = (static_cast<double>(t.copies) - 1) / (static_cast<double>(t.accepts.size()) - 1) - 1;
        }
        if (r.hasAccepts) {
            std::vector<std::pair<int64_t, int>> stamps;  // ms, hops
            for (const auto& [node, hops] : t.accepts) {
                const NodeInfo& n = r.nodes[node];
                auto it = r.acceptMs.find(AcceptKey{n.address, n.life, t.originator, t.sequence});
                if (it != r.acceptMs.end()) stamps.emplace_back(it->second, hops);
            }
            std::sort(stamps.begin(), stamps.end());
            if (!stamps.empty()) {
                const int64_t zero = t.typedMs.value_or(stamps.front().first);
                std::vector<int64_t> after;
                for (const auto& [ms, hops] : stamps) {
                    after.push_back(ms - zero);
                    t.timedAccepts.emplace_back(hops, ms - zero);
                }
                t.stamped = stamps.size();
                t.reach50 = reachTime(after, 0.5);
                t.reach90 = reachTime(after, 0.9);
                t.reach100 = reachTime(after, 1.0);
                t.lastAcceptMs = stamps.back().first;
            }
        }
        if (const Snapshot* snap = snapshotFor(t)) {
            t.snapshot = snap->name;
            auto g = graphs.find(snap->name);
            if (g == graphs.end()) g = graphs.emplace(snap->name, buildGraph(*snap)).first;
            auto source = g->second.index.find(t.originator);
            if (source != g->second.index.end()) {
                auto d = distances.find({snap->name, t.originator});
                if (d == distances.end()) {
                    d = distances.emplace(std::make_pair(snap->name, t.originator),
                                          g->second.distancesFrom(source->second))
                            .first;
                }
                double sum = 0;
                std::size_t reached = 0;
                for (const auto& [node, hops] : t.accepts) {
                    auto v = g->second.index.find(r.nodes[node].address);
                    int dist = v == g->second.index.end() ? -1 : d->second[static_cast<std::size_t>(v->second)];
                    t.shortest.push_back(dist);
                    if (dist < 0) {
                        ++t.unreachable;
                    } else {
                        sum += dist;
                        ++reached;
                    }
                }
                if (reached) t.shortestMean = sum / static_cast<double>(reached);
                if (t.shortestMean && *t.shortestMean > 0 && t.meanHops) t.stretch = *t.meanHops / *t.shortestMean;
            }
        }
        a.traces.push_back(std::move(t));
    };

    for (std::size_t i = 0; i < r.lines.size(); ++i) {
        const TypedLine& line = r.lines[i];
        Trace t;
        t.originator = line.originator;
        t.sequence = line.sequence;
        t.text = line.text;
        t.life = line.life;
        t.kind = "typed";
        t.phase = line.phase;
        t.typedMs = line.typedMs;
        finish(std::move(t), tallyOfLine[i] ? &tallies[*tallyOfLine[i]] : nullptr);
    }
    // The other lines by originator and sequence.
    std::vector<std::size_t> rest;
    for (std::size_t id = 0; id < tallies.size(); ++id) {
        if (!tallyUsed[id]) rest.push_back(id);
    }
    std::sort(rest.begin(), rest.end(), [&](std::size_t x, std::size_t y) {
        return std::tie(tallies[x].originator, tallies[x].sequence, tallies[x].text) <
               std::tie(tallies[y].originator, tallies[y].sequence, tallies[y].text);
    });
    for (std::size_t id : rest) {
        Trace t;
        t.originator = tallies[id].originator;
        t.sequence = tallies[id].sequence;
        t.text = tallies[id].text;
        t.life = tallies[id].ownLife;
        finish(std::move(t), &tallies[id]);
    }

    for (const Snapshot& s : r.snapshots) {
        if (!s.tables.empty()) a.topology.push_back(summarizeTopology(s));
    }
    for (std::size_t i = 0; i < r.snapshots.size(); ++i) {
        if (!r.snapshots[i].tables.empty()) a.finalSnapshot = i;
    }

    std::vector<const Trace*> typed;
    std::map<std::string, std::vector<const Trace*>> byPhase;
    std::vector<std::string> phaseOrder;  // as the steps typed them
    for (const Trace& t : a.traces) {
        if (t.kind != "typed") continue;
        typed.push_back(&t);
        if (t.phase.empty()) continue;
        auto& group = byPhase[t.phase];
        if (group.empty()) phaseOrder.push_back(t.phase);
        group.push_back(&t);
    }
    a.lineSummaries.push_back(summarizeLines("", typed));
    for (const std::string& phase : phaseOrder) a.lineSummaries.push_back(summarizeLines(phase, byPhase[phase]));
    for (const NodeInfo& n : r.nodes) {
        if (n.join == "joined" || n.join == "first") ++a.joinsCompleted;
        if (n.join == "failed") ++a.joinsFailed;
    }
    explainMisses(a);
    explainFailedJoins(a);
    return a;
}

}  // namespace palaver::lab
