#include "analyze/analyze_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "analyze/node_load.h"
#include "process.h"

namespace palaver::lab {

namespace fs = std::filesystem;

namespace {

std::string number(double v, int digits = 4) {
    if (!std::isfinite(v)) return std::string();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    // Trim trailing zeros: 1.0000 -> 1, 0.2500 -> 0.25.
    std::string s(buf);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s;
}
std::string number(const std::optional<double>& v, int digits = 4) { return v ? number(*v, digits) : std::string(); }
std::string number(const std::optional<int>& v) { return v ? std::to_string(*v) : std::string(); }
std::string number(const std::optional<int64_t>& v) { return v ? std::to_string(*v) : std::string(); }

nlohmann::json optionalJson(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

const char* StateColour(const std::string& state) {
    if (state == "left") return "#bbbbbb";
    if (state == "crashed") return "#d62728";
    return "#1f77b4";
}

// The topology with fixed positions: nodes on a circle in ring order (the
// earliest snapshot's ring, so that left and crashed nodes keep their place),
// next links solid, random links dashed, backs that mirror no next in red.
bool drawTopology(const Analysis& a, const fs::path& dir) {
    if (!a.finalSnapshot) return false;
    const RunData& r = a.run;
    const Snapshot& last = r.snapshots[*a.finalSnapshot];
    std::vector<std::string> order;
    std::set<std::string> placed;
    for (const Snapshot& s : r.snapshots) {
        if (s.tables.empty()) continue;
        std::string at = s.tables.begin()->first;
        while (s.tables.count(at) && !placed.count(at)) {
            order.push_back(at);
            placed.insert(at);
            at = s.tables.at(at).next;
        }
        for (const auto& [address, t] : s.tables) {
            if (placed.insert(address).second) order.push_back(address);
        }
        break;
    }
    for (const NodeInfo& n : r.nodes) {
        if (placed.insert(n.address).second) order.push_back(n.address);
    }
    const double pi = std::acos(-1.0);
    std::size_t count = order.size();
    bool labels = count <= 30;
    double radius = std::max(labels ? 220.0 : 150.0, static_cast<double>(count) * (labels ? 70.0 : 9.0) / (2 * pi));
    std::ostringstream dot;
    dot << "digraph overlay {\n  graph [outputorder=edgesfirst, bgcolor=white, size=\"10,10\"];\n";
    dot << "  node [shape=" << (labels ? "box, style=\"rounded,filled\", fontsize=9, fontcolor=white" : "circle, style=filled, label=\"\", width=0.08")
        << ", color=none];\n  edge [arrowsize=0.4];\n";
    std::map<std::string, std::size_t> id;
    for (std::size_t i = 0; i < count; ++i) {
        id[order[i]] = i;
        double angle = 2 * pi * static_cast<double>(i) / static_cast<double>(std::max<std::size_t>(count, 1));
        std::string state = "alive";
        auto it = r.nodeIndex.find(order[i]);
        if (it != r.nodeIndex.end()) state = r.nodes[it->second].state;
        dot << "  n" << i << " [pos=\"" << number(radius * std::sin(angle), 1) << ","
            << number(radius * std::cos(angle), 1) << "\", fillcolor=\"" << StateColour(state) << "\"";
        if (labels) dot << ", label=\"" << order[i] << "\"";
        dot << "];\n";
    }
    auto vertex = [&](const std::string& address) {
        auto it = id.find(address);
        if (it != id.end()) return it->second;
        id[address] = order.size();
        order.push_back(address);
        dot << "  n" << id[address] << " [pos=\"0,0\", fillcolor=\"#ff7f0e\"];\n";
        return id[address];
    };
    for (const auto& [address, t] : last.tables) {
        std::size_t v = vertex(address);
        for (const std::string& peer : t.random) {
            dot << "  n" << v << " -> n" << vertex(peer) << " [color=\"#2ca02c\", style=dashed, penwidth=0.6];\n";
        }
        if (!t.next.empty()) dot << "  n" << v << " -> n" << vertex(t.next) << " [color=black, penwidth=1.2];\n";
        bool mirrored = last.tables.count(t.back) && last.tables.at(t.back).next == address;
        if (!mirrored && !t.back.empty()) {
            dot << "  n" << v << " -> n" << vertex(t.back) << " [color=red, style=dotted, penwidth=1.2];\n";
        }
    }
    dot << "}\n";
    writeFile(dir / "topology.dot", dot.str());
    bool ok = true;
    for (const char* format : {"svg", "png"}) {
        std::string out = (dir / (std::string("topology.") + format)).string();
        ok = runProgram({"neato", "-n2", std::string("-T") + format, "-o", out, (dir / "topology.dot").string()}).status == 0 &&
             ok;
    }
    return ok;
}

double poisson(double mean, std::size_t k) {
    return std::exp(static_cast<double>(k) * std::log(std::max(mean, 1e-12)) - mean - std::lgamma(static_cast<double>(k) + 1));
}

// Counts the pictures that really loaded, for a browser test to read back.
const char* PageScript =
    "<script>window.addEventListener('load',function(){var i=document.images,n=0;"
    "for(var k=0;k<i.length;k++){if(i[k].complete&&i[k].naturalWidth>0)n++;}"
    "document.body.setAttribute('data-images-loaded',n);"
    "document.body.setAttribute('data-images-total',i.length);});</script>\n";

std::string figure(const std::string& name, const std::string& caption) {
    return "<figure><a href=\"" + name + ".png\"><img src=\"" + name + ".svg\" alt=\"" + html(caption) +
           "\"></a><figcaption>" + html(caption) + " (<a href=\"" + name + ".svg\">SVG</a>, <a href=\"" + name +
           ".png\">PNG</a>)</figcaption></figure>\n";
}

std::string yesNo(bool b) { return b ? "yes" : "no"; }

// A life's tables can be in a snapshot taken between its start and its end.
bool livedAt(const NodeInfo& node, const Snapshot& s) {
    if (!s.ms) return true;
    if (node.startedMs && *s.ms < *node.startedMs) return false;
    return !(node.fateMs && node.state != "alive" && *s.ms >= *node.fateMs);
}

const char* const SeriesColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                     "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"};

// The overlay's health over time: every snapshot's live nodes, ring cycles,
// dangling next links and components (left axis) and unreachable pairs
// (right axis); a band along the top that is green while the ring is intact
// and red while it is not; the network changes as labelled vertical lines
// and the nodes' crashes, leaves and restarts as marks under the zero line.
std::string healthPlot(const Analysis& a) {
    std::vector<const TopologySummary*> points;
    for (const TopologySummary& t : a.topology) {
        if (t.ms) points.push_back(&t);
    }
    std::sort(points.begin(), points.end(), [](const TopologySummary* x, const TopologySummary* y) { return *x->ms < *y->ms; });
    double most = 1, unreachable = 1;
    for (const TopologySummary* t : points) {
        most = std::max(most, static_cast<double>(t->live));
        unreachable = std::max(unreachable, static_cast<double>(t->unreachablePairs));
    }
    double end = points.empty() ? 0 : static_cast<double>(*points.back()->ms);
    for (const RunEvent& e : a.run.events) end = std::max(end, static_cast<double>(e.ms));
    double gap = points.size() > 1 ? (static_cast<double>(*points.back()->ms) - static_cast<double>(*points[points.size() - 2]->ms))
                                   : 1000.0;
    const double yMin = -0.12 * most, yMax = most * 1.3;
    const double y2Max = unreachable * 1.3, y2Min = yMin * y2Max / yMax;
    std::ostringstream p;
    p << "set datafile separator ','\nset grid ytics\nset key outside bottom center horizontal maxrows 3 width -2 font ',10'\n"
      << "set xlabel 'seconds since the run began'\nset ylabel 'nodes, cycles, components'\n"
      << "set y2label 'unreachable pairs'\nset ytics nomirror\nset y2tics\n"
      << "set xrange [0:" << number((end + gap * 0.5) / 1000.0, 3) << "]\n"
      << "set yrange [" << number(yMin, 3) << ":" << number(yMax, 3) << "]\n"
      << "set y2range [" << number(y2Min, 3) << ":" << number(y2Max, 3) << "]\n";
    int object = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        double from = static_cast<double>(*points[i]->ms) / 1000.0;
        double to = i + 1 < points.size() ? static_cast<double>(*points[i + 1]->ms) / 1000.0 : from + gap * 0.5 / 1000.0;
        p << "set object " << ++object << " rect from " << number(from, 3) << ", graph 0.955 to " << number(to, 3)
          << ", graph 1 fc rgb '" << (points[i]->ringIntact ? "#2ca02c" : "#d62728")
          << "' fs solid 0.6 noborder front\n";
    }
    // Shade each span in which the network dropped datagrams (a partition or loss).
    bool impaired = false;
    double impairedSince = 0;
    auto shade = [&](double to) {
        if (!impaired) return;
        p << "set object " << ++object << " rect from " << number(impairedSince, 3) << ", graph 0 to "
          << number(to, 3) << ", graph 0.955 fc rgb '#9467bd' fs solid 0.12 noborder behind\n";
        impaired = false;
    };
    for (const RunEvent& e : a.run.events) {
        if (e.kind != "network") continue;
        double x = static_cast<double>(e.ms) / 1000.0;
        shade(x);
        if (e.impaired) {
            impaired = true;
            impairedSince = x;
        }
    }
    shade((end + gap * 0.5) / 1000.0);
    int label = 0;
    for (const RunEvent& e : a.run.events) {
        if (e.kind != "network") continue;
        double x = static_cast<double>(e.ms) / 1000.0;
        p << "set arrow from " << number(x, 3) << ", graph 0 to " << number(x, 3)
          << ", graph 0.95 nohead dt 2 lw 1.5 lc rgb '#9467bd'\n";
        p << "set label " << ++label << " '" << gnuplotText(e.label) << "' at " << number(x, 3)
          << ", graph 0.94 right rotate by 90 offset -1.6,0 tc rgb '#9467bd' font ',9' noenhanced\n";
    }
    p << "plot 'health.csv' skip 1 using ($2/1000):3 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'live nodes', "
         "'' skip 1 using ($2/1000):5 with linespoints pt 5 ps 0.6 lw 1.5 lc rgb '#ff7f0e' title 'ring cycles', "
         "'' skip 1 using ($2/1000):6 with linespoints pt 9 ps 0.6 lw 1.5 lc rgb '#d62728' title 'dangling next', "
         "'' skip 1 using ($2/1000):7 with linespoints pt 11 ps 0.6 lw 1.5 lc rgb '#8c564b' title 'components', "
         "'' skip 1 using ($2/1000):8 axes x1y2 with linespoints pt 13 ps 0.6 lw 1.5 dt 3 lc rgb '#7f7f7f' "
         "title 'unreachable pairs (right)', "
         "NaN with boxes fs solid 0.6 lc rgb '#2ca02c' title 'ring intact (top band, red: broken)', "
         "NaN with lines dt 2 lw 1.5 lc rgb '#9467bd' title 'network change (shaded: drops)'";
    const char* marks[][3] = {{"crashed", "9", "#d62728"}, {"left", "7", "#7f7f7f"}, {"restarted", "5", "#2ca02c"}};
    for (const auto& m : marks) {
        bool any = std::any_of(a.run.events.begin(), a.run.events.end(), [&](const RunEvent& e) { return e.kind == m[0]; });
        if (!any) continue;
        p << ", 'events.csv' skip 1 using (strcol(2) eq '" << m[0] << "' ? $1/1000 : 1/0):(" << number(yMin * 0.5, 3)
          << ") with points pt " << m[1] << " ps 0.9 lc rgb '" << m[2] << "' title '" << m[0] << "'";
    }
    p << "\n";
    return p.str();
}

// The median of some values; no value for none.
std::optional<double> median(std::vector<double> v) {
    if (v.empty()) return std::nullopt;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The typed lines that have delivery times.
std::vector<const Trace*> timedTypedLines(const Analysis& a) {
    std::vector<const Trace*> out;
    for (const Trace& t : a.traces) {
        if (t.kind == "typed" && t.stamped > 0) out.push_back(&t);
    }
    return out;
}

// Why the delivery times are missing ("" when they are there).
std::string deliveryTimesMissing(const RunData& r) {
    if (r.hasAccepts) return "";
    return r.hasRunJson ? "this run folder has no accepts.csv (written by palaver-lab run since it stamps "
                          "each acceptance)"
                        : "these are node files alone, without the lab's run.json and accepts.csv";
}

// reach.dat: one block per typed line, the share of its live nodes reached
// against ms after typing, as steps; reach_median.dat: the median share over
// the lines at every moment one of them reached a node.
void writeReachData(const std::vector<const Trace*>& lines, const fs::path& dir) {
    std::string blocks;
    std::vector<int64_t> moments;
    for (const Trace* t : lines) {
        const double alive = static_cast<double>(std::max<std::size_t>(t->alive, 1));
        blocks += "0,0\n";
        std::size_t k = 0;
        for (const auto& [hops, ms] : t->timedAccepts) {
            moments.push_back(ms);
            blocks += std::to_string(ms) + "," + number(std::min(1.0, static_cast<double>(++k) / alive)) + "\n";
        }
        blocks += "\n\n";
    }
    std::sort(moments.begin(), moments.end());
    moments.erase(std::unique(moments.begin(), moments.end()), moments.end());
    std::string med = "0,0\n";
    for (int64_t m : moments) {
        std::vector<double> shares;
        for (const Trace* t : lines) {
            std::size_t reached = 0;
            for (const auto& [hops, ms] : t->timedAccepts) reached += ms <= m;
            shares.push_back(std::min(1.0, static_cast<double>(reached) / static_cast<double>(std::max<std::size_t>(t->alive, 1))));
        }
        med += std::to_string(m) + "," + number(median(shares).value_or(0)) + "\n";
    }
    writeFile(dir / "reach.dat", blocks);
    writeFile(dir / "reach_median.dat", med);
}

// The parameters run.json keeps that hold for a scenario file's run too:
// its size, addresses and timing. The others (lines, loss, leave, crash,
// burst, hold_members) are the flags' and are drawn from the steps; the
// scenario section shows the steps themselves.
bool appliesToEveryRun(const std::string& key, const nlohmann::json& value) {
    static const std::set<std::string> every = {"nodes", "first_address", "port", "network",
                                                "join_timeout_ms", "settle_timeout_ms", "quiet_ms"};
    if (key == "contact") return value.is_string() && !value.get<std::string>().empty();
    return every.count(key) > 0;
}

// The scenario's timeline as it ran: each step, what it did and to whom,
// what its trigger waited for and when it began, acted and ended.
std::string scenarioSection(const RunData& r) {
    auto seconds = [](const std::optional<int64_t>& ms) { return ms ? number(*ms / 1000.0, 3) : std::string(); };
    std::string s = "<h2>Scenario</h2>\n<p>File: <code>" + html(r.scenarioSource) + "</code></p>\n";
    if (r.steps.empty()) return s + "<p>run.json records no steps.</p>\n";
    s += "<table>\n" + tableRow({"step", "do", "group", "waited for", "start (s)", "acted (s)", "end (s)"}, true);
    for (const StepInfo& st : r.steps) {
        s += tableRow({st.name, st.action, st.group, st.waited, seconds(st.startMs), seconds(st.actionMs),
                       seconds(st.endMs)});
    }
    return s + "</table>\n";
}

}  // namespace

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string gnuplotText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\'') {
            out += "''";
        } else if (c != '\n' && c != '\r') {
            out += c;
        }
    }
    return out;
}

nlohmann::json runSummary(const Analysis& a) {
    const RunData& r = a.run;
    nlohmann::json s;
    s["dirs"] = r.dirs;
    s["run_json"] = r.hasRunJson;
    s["parameters"] = r.parameters;
    s["seed"] = r.seed ? nlohmann::json(*r.seed) : nlohmann::json(nullptr);
    s["nodes"] = r.nodeIndex.size();  // addresses; a restarted node has several lives
    s["lives"] = r.nodes.size();
    std::size_t alive = 0;
    for (const NodeInfo& n : r.nodes) alive += n.state == "alive";
    s["nodes_alive_at_end"] = alive;
    s["joins_completed"] = a.joinsCompleted;
    s["joins_failed"] = a.joinsFailed;
    s["bad_log_lines"] = r.badLines;
    std::size_t notices = 0;
    for (const NodeInfo& n : r.nodes) notices += n.ringNotices;
    s["leave_notices_received"] = notices;
    s["chat_lines_seen"] = a.traces.size();
    s["lines"] = nlohmann::json::array();
    for (const LineSummary& l : a.lineSummaries) {
        nlohmann::json j;
        j["phase"] = l.phase.empty() ? "all" : l.phase;
        j["lines"] = l.lines;
        j["complete"] = l.complete;
        j["reliability_mean"] = l.lines ? nlohmann::json(l.reliabilityMean) : nlohmann::json(nullptr);
        j["reliability_min"] = l.lines ? nlohmann::json(l.reliabilityMin) : nlohmann::json(nullptr);
        j["mean_hops"] = optionalJson(l.meanHops);
        j["max_hops"] = l.maxHops ? nlohmann::json(*l.maxHops) : nlohmann::json(nullptr);
        j["max_hops_mean"] = optionalJson(l.maxHopsMean);
        j["rmr"] = optionalJson(l.rmr);
        j["shortest_mean"] = optionalJson(l.shortestMean);
        j["stretch"] = optionalJson(l.stretch);
        s["lines"].push_back(j);
    }
    {
        nlohmann::json d;
        const std::vector<const Trace*> timed = timedTypedLines(a);
        d["available"] = r.hasAccepts;
        d["typed_lines_timed"] = timed.size();
        auto med = [&](std::optional<int64_t> Trace::*field) {
            std::vector<double> v;
            for (const Trace* t : timed) {
                if (t->*field) v.push_back(static_cast<double>(*(t->*field)));
            }
            return optionalJson(median(v));
        };
        d["reach50_ms_median"] = med(&Trace::reach50);
        d["reach90_ms_median"] = med(&Trace::reach90);
        d["reach100_ms_median"] = med(&Trace::reach100);
        s["delivery"] = d;
    }
    s["drops"] = r.drops.is_object() ? r.drops : nlohmann::json(nullptr);
    s["causes"] = causeCounts(a);
    s["topology"] = nlohmann::json::array();
    for (const TopologySummary& t : a.topology) {
        nlohmann::json j;
        j["snapshot"] = t.snapshot;
        j["live"] = t.live;
        j["ring_intact"] = t.ringIntact;
        j["ring_cycles"] = t.ringCycles;
        j["longest_cycle"] = t.longestCycle;
        j["dangling_next"] = t.danglingNext;
        j["back_mismatch"] = t.backMismatch;
        j["broken_links"] = t.brokenLinks;
        j["components"] = t.components;
        j["unreachable_pairs"] = t.unreachablePairs;
        j["diameter"] = t.diameter;
        j["mean_distance"] = t.meanDistance;
        j["predicted_distance"] = optionalJson(t.predictedDistance);
        j["mean_out_degree"] = t.meanOutDegree;
        j["in_degree_histogram"] = t.inDegreeHistogram;
        j["in_degree_mean"] = t.inDegreeMean;
        j["in_degree_stddev"] = t.inDegreeStdDev;
        j["in_degree_max"] = t.inDegreeMax;
        j["in_degree_zero"] = t.inDegreeZero;
        s["topology"].push_back(j);
    }
    s["phases"] = nlohmann::json::array();
    for (const PhaseInfo& p : r.phases) {
        auto opt = [](const std::optional<int64_t>& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); };
        s["phases"].push_back({{"name", p.name}, {"start_ms", opt(p.startMs)}, {"end_ms", opt(p.endMs)}, {"cpu_ms", opt(p.cpuMs)}, {"peak_rss_kib", opt(p.peakRssKib)}});
    }
    return s;
}

namespace {

// A typed line's stamped acceptances by hop count: the sum of their ms and how many.
using HopTimes = std::map<int, std::pair<double, std::size_t>>;
// Deliveries of typed lines by hop count: by hops taken and by shortest distance.
using HopCounts = std::map<int, std::pair<std::size_t, std::size_t>>;

// The pictures drawn, with their captions, and the names of those that failed.
struct Pictures {
    std::vector<std::pair<std::string, std::string>> figures;
    std::vector<std::string> failed;

    void add(bool drawn, const std::string& name, const std::string& caption) {
        if (drawn) {
            figures.push_back({name, caption});
        } else {
            failed.push_back(name);
        }
    }
};

void writeMessagesCsv(const Analysis& a, const fs::path& dir) {
    std::string m =
        "originator,sequence,alive,delivered,reliability,mean_hops,max_hops,copies,rmr,shortest_mean,stretch,"
        "kind,phase,typed_ms,unreachable,snapshot,life,text\n";
    for (const Trace& t : a.traces) {
        m += csvField(t.originator) + "," + std::to_string(t.sequence) + "," + std::to_string(t.alive) + "," +
             std::to_string(t.accepts.size()) + "," + number(t.reliability) + "," + number(t.meanHops) + "," +
             number(t.maxHops) + "," + std::to_string(t.copies) + "," + number(t.rmr) + "," +
             number(t.shortestMean) + "," + number(t.stretch) + "," + t.kind + "," + csvField(t.phase) + "," +
             number(t.typedMs) + "," + std::to_string(t.unreachable) + "," + csvField(t.snapshot) + "," +
             (t.life > 0 ? std::to_string(t.life) : "") + "," + csvField(t.text) +
             "\n";
    }
    writeFile(dir / "messages.csv", m);
}

// delivery.csv: per chat line, when it reached half, 90 % and all of the
// nodes that accepted it.
void writeDeliveryCsv(const Analysis& a, const fs::path& dir) {
    std::string dl = "originator,sequence,kind,phase,typed_ms,accepted,stamped,reach50_ms,reach90_ms,reach100_ms,"
                     "last_accept_ms\n";
    for (const Trace& t : a.traces) {
        dl += csvField(t.originator) + "," + std::to_string(t.sequence) + "," + t.kind + "," + csvField(t.phase) + "," +
              number(t.typedMs) + "," + std::to_string(t.accepts.size()) + "," + std::to_string(t.stamped) + "," +
              number(t.reach50) + "," + number(t.reach90) + "," + number(t.reach100) + "," + number(t.lastAcceptMs) +
              "\n";
    }
    writeFile(dir / "delivery.csv", dl);
}

// delivery_hops.csv: every stamped acceptance of a typed line with its hop
// count. The same acceptances feed the per-hop means of the picture.
HopTimes writeDeliveryHopsCsv(const Analysis& a, const fs::path& dir) {
    std::string dh = "originator,sequence,hops,ms\n";
    HopTimes byHops;
    for (const Trace& t : a.traces) {
        if (t.kind != "typed") continue;
        for (const auto& [hops, ms] : t.timedAccepts) {
            dh += csvField(t.originator) + "," + std::to_string(t.sequence) + "," + std::to_string(hops) + "," +
                  std::to_string(ms) + "\n";
            byHops[hops].first += static_cast<double>(ms);
            ++byHops[hops].second;
        }
    }
    writeFile(dir / "delivery_hops.csv", dh);
    return byHops;
}

// Each address's random in-degree in the final snapshot.
std::map<std::string, std::size_t> randomInDegree(const Analysis& a) {
    const RunData& r = a.run;
    std::map<std::string, std::size_t> inDegree;
    if (a.finalSnapshot) {
        for (const auto& [address, t] : r.snapshots[*a.finalSnapshot].tables) {
            for (const std::string& peer : t.random) ++inDegree[peer];
        }
    }
    return inDegree;
}

// nodes.csv, one row per life: its closing table, else the latest
// snapshot taken while it lived.
void writeNodesCsv(const Analysis& a, const LoadData& load, const fs::path& dir) {
    const RunData& r = a.run;
    std::map<std::string, std::size_t> inDegree = randomInDegree(a);
    std::string n =
        "address,state,next,back,random_count,random_in_degree,members,latest_ttl,log_lines,"
        "join,contact,fate_ms,chat_copies,accepted,bad_lines,leave_notices,table_from,node,life,started_ms," +
        std::string(LoadNodesColumns) + "\n";
    for (const NodeInfo& node : r.nodes) {
        const StatusTable* table = node.closing ? &*node.closing : nullptr;
        std::string from = table ? "closing" : "";
        for (auto s = r.snapshots.rbegin(); !table && s != r.snapshots.rend(); ++s) {
            if (!livedAt(node, *s)) continue;
            auto it = s->tables.find(node.address);
            if (it != s->tables.end()) {
                table = &it->second;
                from = s->name;
            }
        }
        // The final snapshot's in-degree belongs to the address's last life.
        bool last = r.nodeIndex.at(node.address) == static_cast<std::size_t>(&node - r.nodes.data());
        n += node.address + "," + node.state + "," + (table ? table->next : "") + "," + (table ? table->back : "") +
             "," + (table ? std::to_string(table->random.size()) : "") + "," +
             (last ? std::to_string(inDegree[node.address]) : "") + "," + (table ? std::to_string(table->members) : "") + "," +
             (table ? std::to_string(table->latestTtl) : "") + "," + std::to_string(node.logLines) + "," +
             node.join + "," + node.contact + "," + number(node.fateMs) + "," + std::to_string(node.chatCopies) +
             "," + std::to_string(node.accepted) + "," + std::to_string(node.badLines) + "," +
             std::to_string(node.ringNotices) + "," + from + "," +
             (node.number ? std::to_string(node.number) : "") + "," + std::to_string(node.life) + "," +
             number(node.startedMs) + "," + loadNodesCells(load, node) + "\n";
    }
    writeFile(dir / "nodes.csv", n);
}

void writeTopologyCsv(const Analysis& a, const fs::path& dir) {
    std::string topo =
        "snapshot,live,ring_intact,ring_cycles,longest_cycle,dangling_next,back_mismatch,components,"
        "unreachable_pairs,diameter,mean_distance,predicted_distance,mean_out_degree,in_degree_mean,"
        "in_degree_stddev,in_degree_max,in_degree_zero\n";
    for (const TopologySummary& t : a.topology) {
        topo += csvField(t.snapshot) + "," + std::to_string(t.live) + "," + yesNo(t.ringIntact) + "," +
                std::to_string(t.ringCycles) + "," + std::to_string(t.longestCycle) + "," +
                std::to_string(t.danglingNext) + "," + std::to_string(t.backMismatch) + "," +
                std::to_string(t.components) + "," + std::to_string(t.unreachablePairs) + "," +
                std::to_string(t.diameter) + "," + number(t.meanDistance) + "," + number(t.predictedDistance) + "," +
                number(t.meanOutDegree) + "," + number(t.inDegreeMean) + "," + number(t.inDegreeStdDev) + "," +
                std::to_string(t.inDegreeMax) + "," + std::to_string(t.inDegreeZero) + "\n";
    }
    writeFile(dir / "topology.csv", topo);
}

// indegree.csv: each snapshot's random in-degree histogram beside the
// Poisson counts of the same mean.
void writeInDegreeCsv(const Analysis& a, const fs::path& dir) {
    std::string indeg = "snapshot,in_degree,nodes,poisson_expected\n";
    for (const TopologySummary& t : a.topology) {
        for (std::size_t k = 0; k < t.inDegreeHistogram.size(); ++k) {
            indeg += csvField(t.snapshot) + "," + std::to_string(k) + "," + std::to_string(t.inDegreeHistogram[k]) + "," +
                     number(poisson(t.inDegreeMean, k) * static_cast<double>(t.live), 2) + "\n";
        }
    }
    writeFile(dir / "indegree.csv", indeg);
}

// The snapshots with a time, in time order.
std::vector<const TopologySummary*> timedSnapshots(const Analysis& a) {
    std::vector<const TopologySummary*> timed;
    for (const TopologySummary& t : a.topology) {
        if (t.ms) timed.push_back(&t);
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const TopologySummary* x, const TopologySummary* y) { return *x->ms < *y->ms; });
    return timed;
}

// health.csv: the timed snapshots as a time series.
void writeHealthCsv(const std::vector<const TopologySummary*>& timed, const fs::path& dir) {
    std::string health = "snapshot,ms,live,ring_intact,ring_cycles,dangling_next,components,unreachable_pairs\n";
    for (const TopologySummary* t : timed) {
        health += csvField(t->snapshot) + "," + std::to_string(*t->ms) + "," + std::to_string(t->live) + "," +
                  (t->ringIntact ? "1" : "0") + "," + std::to_string(t->ringCycles) + "," +
                  std::to_string(t->danglingNext) + "," + std::to_string(t->components) + "," +
                  std::to_string(t->unreachablePairs) + "\n";
    }
    writeFile(dir / "health.csv", health);
}

// steps.csv: the typed lines of each step that typed some.
void writeStepsCsv(const Analysis& a, const fs::path& dir) {
    std::string steps = "step,lines,complete,reliability_mean,reliability_min,mean_hops,max_hops,rmr,stretch\n";
    for (const LineSummary& l : a.lineSummaries) {
        if (l.phase.empty()) continue;
        steps += csvField(l.phase) + "," + std::to_string(l.lines) + "," + std::to_string(l.complete) + "," +
                 number(l.reliabilityMean) + "," + number(l.reliabilityMin) + "," + number(l.meanHops) + "," +
                 number(l.maxHops) + "," + number(l.rmr) + "," + number(l.stretch) + "\n";
    }
    writeFile(dir / "steps.csv", steps);
}

// verdict.csv: run.json's checks.
void writeVerdictCsv(const nlohmann::json& verdict, const fs::path& dir) {
    std::string v = "check,kind,expected,measured,result\n";
    for (const auto& c : verdict.value("checks", nlohmann::json::array())) {
        v += csvField(stringField(c, "name")) + "," + csvField(stringField(c, "check")) + "," +
             csvField(stringField(c, "expected")) + "," + csvField(stringField(c, "measured")) + "," +
             (c.value("pass", false) ? "pass" : "FAIL") + "\n";
    }
    writeFile(dir / "verdict.csv", v);
}

// events.csv: what changed on the way (network changes and the nodes'
// crashes, leaves and restarts).
void writeEventsCsv(const RunData& r, const fs::path& dir) {
    std::string events = "ms,kind,what\n";
    for (const RunEvent& e : r.events) events += std::to_string(e.ms) + "," + e.kind + "," + csvField(e.label) + "\n";
    writeFile(dir / "events.csv", events);
}

// hops.csv: deliveries of typed lines by hop count and by shortest distance.
HopCounts writeHopsCsv(const Analysis& a, const fs::path& dir) {
    HopCounts hops;
    for (const Trace& t : a.traces) {
        if (t.kind != "typed") continue;
        for (const auto& [node, h] : t.accepts) ++hops[h].first;
        for (int d : t.shortest) {
            if (d >= 0) ++hops[d].second;
        }
    }
    std::string h = "hops,deliveries,shortest\n";
    for (const auto& [k, v] : hops) h += std::to_string(k) + "," + std::to_string(v.first) + "," + std::to_string(v.second) + "\n";
    writeFile(dir / "hops.csv", h);
    return hops;
}

// phases.csv: what run.json measured of each phase of the lab.
void writePhasesCsv(const RunData& r, const fs::path& dir) {
    std::string ph = "phase,start_ms,end_ms,duration_ms,cpu_ms,peak_rss_kib,load_average\n";
    for (const PhaseInfo& p : r.phases) {
        std::optional<int64_t> duration;
        if (p.startMs && p.endMs) duration = *p.endMs - *p.startMs;
        ph += csvField(p.name) + "," + number(p.startMs) + "," + number(p.endMs) + "," + number(duration) + "," +
              number(p.cpuMs) + "," + number(p.peakRssKib) + "," + number(p.loadAverage, 3) + "\n";
    }
    writeFile(dir / "phases.csv", ph);
}

void writeSummaryJson(const Analysis& a, const ReportOptions& options, const fs::path& dir) {
    nlohmann::json summary = runSummary(a);
    summary["analysis_ms"] = options.analysisMs;
    if (!a.run.verdict.is_null()) summary["verdict"] = a.run.verdict;
    writeFile(dir / "summary.json", summary.dump(2) + "\n");
}

// ---------------------------------------------------------------------------
// The run's pictures

// The lines every gnuplot picture of a run begins with.
std::string commonPlotLines() { return "set datafile separator ','\nset key top right\nset grid ytics\n"; }

void drawTopologyFigure(const Analysis& a, const fs::path& dir, Pictures& pictures) {
    const RunData& r = a.run;
    pictures.add(drawTopology(a, dir), "topology",
                 "Topology of the last snapshot (" + (a.finalSnapshot ? r.snapshots[*a.finalSnapshot].name : "") +
                     "): next links black, random links green dashed, backs that mirror "
                     "no next red dotted; left nodes grey, crashed red");
}

void drawHopsFigure(const fs::path& dir, Pictures& pictures) {
    pictures.add(plot(dir, "hops", commonPlotLines() + "set style data histograms\nset style histogram clustered gap 1\n"
                                                       "set style fill solid 0.8 border -1\nset boxwidth 0.9\n"
                                                       "set xlabel 'hops'\nset ylabel 'deliveries'\n"
                                                       "plot 'hops.csv' using 2:xtic(1) title 'hops taken (TTL of the accepted "
                                                       "copy)' lc rgb '#1f77b4', '' using 3 title 'shortest path in the snapshot' "
                                                       "lc rgb '#ff7f0e'\n"),
                 "hops", "Hop counts of the deliveries against the shortest paths");
}

// The plot command of reliability.dat: one series per step that typed lines,
// in the order they typed, when run.json tells the steps.
std::string reliabilityPlotCommand(const Analysis& a) {
    if (!a.run.hasRunJson) {
        return "plot 'reliability.dat' using 1:2 with linespoints pt 7 lc rgb '#1f77b4' title 'typed lines'\n";
    }
    std::string series;
    std::size_t k = 0;
    for (const LineSummary& l : a.lineSummaries) {
        if (l.phase.empty()) continue;
        const char* colour = SeriesColours[k % (sizeof SeriesColours / sizeof *SeriesColours)];
        std::string title = l.phase == "lines"           ? "after the build (lines)"
                            : l.phase == "lines_churned" ? "after the churn (lines_churned)"
                                                         : l.phase;
        series += std::string(series.empty() ? "plot 'reliability.dat'" : ", ''") +
                  " using 1:(strcol(3) eq '" + gnuplotText(l.phase) + "' ? $2 : 1/0) with linespoints pt " +
                  std::to_string(5 + 2 * (k % 6)) + " lc rgb '" + colour + "' title '" + gnuplotText(title) +
                  "' noenhanced";
        ++k;
    }
    return (series.empty() ? "plot 'reliability.dat' using 1:2 with linespoints pt 7 title 'typed lines'" : series) + "\n";
}

// reliability.dat and its picture: each typed line's reliability, with its step.
void drawReliabilityFigure(const Analysis& a, const fs::path& dir, Pictures& pictures) {
    std::string rel;
    std::size_t index = 0;
    for (const Trace& t : a.traces) {
        if (t.kind != "typed") continue;
        rel += std::to_string(++index) + "," + number(t.reliability) + "," +
               (t.phase.empty() ? "lines" : t.phase) + "\n";
    }
    if (index == 0) return;
    writeFile(dir / "reliability.dat", rel);
    std::string body = commonPlotLines() + "set key bottom right\nset yrange [0:1.05]\nset xlabel 'typed line'\nset ylabel 'reliability'\n"
                                           "set offsets 0.5,0.5,0,0\n";
    body += reliabilityPlotCommand(a);
    pictures.add(plot(dir, "reliability", body), "reliability", "Reliability of each typed line");
}

// The last snapshot's random in-degree histogram against Poisson.
void drawInDegreeFigure(const Analysis& a, const fs::path& dir, Pictures& pictures) {
    const TopologySummary& t = a.topology.back();
    std::string body = commonPlotLines() + "set style fill solid 0.7 border -1\nset boxwidth 0.8\nset xlabel "
                                           "'random in-degree'\nset ylabel 'nodes'\nset yrange [0:*]\n"
                                           "plot 'indegree.csv' using (strcol(1) eq '" +
                       gnuplotText(t.snapshot) + "' ? $2 : 1/0):3 with boxes lc rgb '#2ca02c' title 'nodes (" +
                       gnuplotText(t.snapshot) +
                       ")' noenhanced, '' using (strcol(1) eq '" + gnuplotText(t.snapshot) +
                       "' ? $2 : 1/0):4 with linespoints pt 7 lc rgb 'black' title 'Poisson, same mean'\n";
    pictures.add(plot(dir, "indegree", body), "indegree", "Random in-degree histogram (how evenly the walks end)");
}

// reach.dat, reach_median.dat and their picture: how fast each typed line spread.
void drawReachFigure(const std::vector<const Trace*>& timed, const fs::path& dir, Pictures& pictures) {
    writeReachData(timed, dir);
    std::string body = commonPlotLines() + "set key bottom right\nset yrange [0:1.05]\nset xrange [0:*]\n"
                                           "set xlabel 'ms after the line was typed'\n"
                                           "set ylabel 'share of the live nodes that had accepted it'\n"
                                           "plot for [i=0:" +
                       std::to_string(timed.size() - 1) +
                       "] 'reach.dat' index i using 1:2 with steps lw 1 lc rgb '#B01f77b4' notitle, "
                       "'reach_median.dat' using 1:2 with steps lw 3 lc rgb 'black' title 'median over the " +
                       std::to_string(timed.size()) +
                       " typed lines', NaN with lines lw 1 lc rgb '#601f77b4' title 'one typed line'\n";
    pictures.add(plot(dir, "reach", body), "reach",
                 "How fast each typed line spread: the share of the live nodes that "
                 "had accepted it against the time since it was typed");
}

// delivery_hops_mean.dat and the picture of delivery time against hop count.
void drawDeliveryHopsFigure(const HopTimes& byHops, const fs::path& dir, Pictures& pictures) {
    std::string means;
    for (const auto& [hops, v] : byHops) {
        means += std::to_string(hops) + "," + number(v.first / static_cast<double>(v.second), 2) + "\n";
    }
    writeFile(dir / "delivery_hops_mean.dat", means);
    const bool fewHops = byHops.empty() || byHops.rbegin()->first <= 20;
    std::string body = commonPlotLines() + "set key top left\nset yrange [0:*]\nset xlabel 'hops (TTL of the accepted copy)'\n"
                                           "set ylabel 'ms after the line was typed'\n" +
                       (fewHops ? "set xtics 1\n" : "") +
                       "plot 'delivery_hops.csv' skip 1 using ($3 + (rand(0) - 0.5) * 0.4):4 with points pt 7 "
                       "ps 0.4 lc rgb '#801f77b4' title 'one acceptance', 'delivery_hops_mean.dat' using 1:2 "
                       "with linespoints pt 5 lw 2 lc rgb 'black' title 'mean at each hop count'\n";
    pictures.add(plot(dir, "delivery_hops", body), "delivery_hops",
                 "Delivery time against hop count, every acceptance of a typed line");
}

void drawPictures(const Analysis& a, const fs::path& dir, std::size_t snapshotsWithTime, const HopCounts& hops,
                  const HopTimes& byHops, Pictures& pictures) {
    drawTopologyFigure(a, dir, pictures);
    if (snapshotsWithTime >= 2) {
        pictures.add(plot(dir, "health", healthPlot(a)), "health",
                     "The overlay's health over time, from every snapshot of the tables, "
                     "with the network changes and the nodes' crashes, leaves and restarts");
    }
    if (!hops.empty()) drawHopsFigure(dir, pictures);
    drawReliabilityFigure(a, dir, pictures);
    if (a.finalSnapshot && !a.topology.empty()) drawInDegreeFigure(a, dir, pictures);
    const std::vector<const Trace*> timed = timedTypedLines(a);
    if (!timed.empty()) {
        drawReachFigure(timed, dir, pictures);
        drawDeliveryHopsFigure(byHops, dir, pictures);
    }
}

// ---------------------------------------------------------------------------
// report.html

std::string verdictSection(const nlohmann::json& verdict) {
    bool passed = verdict.value("passed", false);
    std::string s = std::string("<h2 id=\"verdict\">Verdict: ") + (passed ? "every check passed" : "a check failed") +
                    "</h2>\n<table>\n" + tableRow({"check", "kind", "expected", "measured", "result"}, true);
    for (const auto& c : verdict.value("checks", nlohmann::json::array())) {
        bool pass = c.value("pass", false);
        s += "<tr><td>" + html(stringField(c, "name")) + "</td><td>" + html(stringField(c, "check")) + "</td><td>" +
             html(stringField(c, "expected")) + "</td><td>" + html(stringField(c, "measured")) + "</td><td style=\"color:" +
             (pass ? "#2a7a2a\">pass" : "#c0392b;font-weight:bold\">FAIL") + "</td></tr>\n";
    }
    return s + "</table>\n";
}

std::string foldersLine(const RunData& r) {
    std::string s = "<p>Folders: ";
    for (const std::string& d : r.dirs) s += "<code>" + html(d) + "</code> ";
    s += r.hasRunJson ? "(lab run)" : "(node files only, no run.json: every node with a log counts as alive)";
    return s + "</p>\n";
}

std::string parametersSection(const Analysis& a, const ReportOptions& options, bool scenarioRun) {
    const RunData& r = a.run;
    std::string s = "<h2>Parameters</h2>\n<table>\n" + tableRow({"parameter", "value"}, true);
    if (r.seed) s += tableRow({"seed", std::to_string(*r.seed)});
    for (const auto& [k, v] : r.parameters.items()) {
        if (scenarioRun && !appliesToEveryRun(k, v)) continue;
        s += tableRow({k, v.is_string() ? v.get<std::string>() : v.dump()});
    }
    s += tableRow({"nodes with files or in run.json", std::to_string(r.nodeIndex.size())});
    if (r.nodes.size() != r.nodeIndex.size()) s += tableRow({"their lives (restarts included)", std::to_string(r.nodes.size())});
    if (r.hasRunJson) {
        s += tableRow({"joins completed", std::to_string(a.joinsCompleted)});
        s += tableRow({"joins failed", std::to_string(a.joinsFailed)});
    }
    s += tableRow({"log lines that are not datagrams", std::to_string(r.badLines)});
    s += tableRow({"analysis time without drawing (ms)", number(options.analysisMs, 0)});
    s += "</table>\n";
    if (!r.commandLine.empty()) {
        std::string cl;
        for (const auto& c : r.commandLine) cl += (c.is_string() ? c.get<std::string>() : c.dump()) + " ";
        s += "<p>Command line: <code>" + html(cl) + "</code></p>\n";
    }
    return s;
}

// The typed lines by phase, then the run's events folded away.
std::string typedLinesSection(const Analysis& a) {
    const RunData& r = a.run;
    std::string s = "<h2>Typed lines</h2>\n<table>\n" +
                    tableRow({"phase", "lines", "complete", "reliability mean", "reliability min", "mean hops", "max hops",
                              "rmr", "shortest mean", "stretch"},
                             true);
    for (const LineSummary& l : a.lineSummaries) {
        s += tableRow({l.phase.empty() ? "all" : l.phase, std::to_string(l.lines), std::to_string(l.complete),
                       l.lines ? number(l.reliabilityMean) : "", l.lines ? number(l.reliabilityMin) : "",
                       number(l.meanHops), number(l.maxHops), number(l.rmr), number(l.shortestMean),
                       number(l.stretch)});
    }
    s += "</table>\n";
    if (!r.events.empty()) {
        s += "<details><summary>Network changes and the nodes' fates (" + std::to_string(r.events.size()) +
             ")</summary><table>\n" + tableRow({"ms", "kind", "what"}, true);
        for (const RunEvent& e : r.events) s += tableRow({std::to_string(e.ms), e.kind, e.label});
        s += "</table></details>\n";
    }
    return s;
}

std::string deliveryTimesTable(const Analysis& a) {
    const std::vector<const Trace*> timed = timedTypedLines(a);
    std::string s = "<p>From accepts.csv: each node's acceptance of each line, stamped by the lab's clock; times in ms "
                    "after the line was typed (delivery.csv per line).</p>\n<table>\n" +
                    tableRow({"typed lines with times", "median ms to 50 %", "median ms to 90 %", "median ms to 100 %",
                              "slowest line to 100 %"},
                             true);
    std::vector<double> v50, v90, v100;
    for (const Trace* t : timed) {
        if (t->reach50) v50.push_back(static_cast<double>(*t->reach50));
        if (t->reach90) v90.push_back(static_cast<double>(*t->reach90));
        if (t->reach100) v100.push_back(static_cast<double>(*t->reach100));
    }
    s += tableRow({std::to_string(timed.size()), number(median(v50), 1), number(median(v90), 1),
                   number(median(v100), 1),
                   v100.empty() ? "" : number(*std::max_element(v100.begin(), v100.end()), 1)});
    return s + "</table>\n";
}

std::string dropsLine(const nlohmann::json& d) {
    auto field = [&](const char* key) { return d.contains(key) && !d[key].is_null() ? d[key].dump() : std::string("-"); };
    return "<p>Datagrams the lab's rules dropped: " +
           (d.value("recorded", false) ? html(field("logged")) + " in drops.csv, " + html(field("counted")) +
                                             " counted by the rules (difference " + html(field("difference")) + ")"
                                       : "not recorded (" + html(d.value("reason", std::string())) + "); " +
                                             html(field("counted")) + " counted by the rules") +
           ".</p>\n";
}

std::string deliverySection(const Analysis& a) {
    const RunData& r = a.run;
    std::string s = "<h2 id=\"delivery\">Delivery times</h2>\n";
    if (const std::string missing = deliveryTimesMissing(r); !missing.empty()) {
        s += "<p>Delivery times are not available: " + html(missing) + ".</p>\n";
    } else {
        s += deliveryTimesTable(a);
    }
    if (r.drops.is_object()) s += dropsLine(r.drops);
    return s;
}

// Every snapshot's figures, then the broken ring links of those that have some.
std::string topologySection(const Analysis& a) {
    std::string s = "<h2>Topology</h2>\n<table>\n" +
                    tableRow({"snapshot", "live", "ring intact", "ring cycles", "dangling next", "back mismatch",
                              "components", "unreachable pairs", "diameter", "mean distance", "ln N / ln(d-1)",
                              "mean out-degree", "random in-degree mean / sd / max / zero"},
                             true);
    for (const TopologySummary& t : a.topology) {
        s += tableRow({t.snapshot, std::to_string(t.live), yesNo(t.ringIntact), std::to_string(t.ringCycles),
                       std::to_string(t.danglingNext), std::to_string(t.backMismatch),
                       std::to_string(t.components), std::to_string(t.unreachablePairs),
                       std::to_string(t.diameter), number(t.meanDistance, 3), number(t.predictedDistance, 3),
                       number(t.meanOutDegree, 3),
                       number(t.inDegreeMean, 2) + " / " + number(t.inDegreeStdDev, 2) + " / " +
                           std::to_string(t.inDegreeMax) + " / " + std::to_string(t.inDegreeZero)});
    }
    s += "</table>\n";
    for (const TopologySummary& t : a.topology) {
        if (t.brokenLinks.empty()) continue;
        s += "<details><summary>Broken ring links in snapshot " + html(t.snapshot) + " (" +
             std::to_string(t.brokenLinks.size()) + ")</summary><ul>\n";
        std::size_t shown = 0;
        for (const std::string& b : t.brokenLinks) {
            if (++shown > 200) break;
            s += "<li>" + html(b) + "</li>\n";
        }
        s += "</ul></details>\n";
    }
    return s;
}

std::string phasesSection(const RunData& r) {
    if (r.phases.empty()) return "";
    std::string s = "<h2>Phases</h2>\n<table>\n" +
                    tableRow({"phase", "start ms", "end ms", "cpu ms so far", "peak RSS KiB", "load average"}, true);
    for (const PhaseInfo& p : r.phases) {
        s += tableRow({p.name, number(p.startMs), number(p.endMs), number(p.cpuMs), number(p.peakRssKib),
                       number(p.loadAverage, 3)});
    }
    return s + "</table>\n";
}

// The pictures drawn, the links to the data files and the page's end.
std::string picturesAndData(const std::vector<std::pair<std::string, std::string>>& figures) {
    std::string s = "<h2>Pictures</h2>\n";
    for (const auto& [name, caption] : figures) s += figure(name, caption);
    s += "\n<h2>Data</h2>\n<ul>\n";
    for (const char* f : {"messages.csv", "delivery.csv", "delivery_hops.csv", "misses.csv", "failed_joins.csv", "nodes.csv", "topology.csv", "health.csv", "events.csv", "steps.csv", "indegree.csv",
                          "hops.csv", "phases.csv", "summary.json"}) {
        s += std::string("<li><a href=\"") + f + "\">" + f + "</a></li>\n";
    }
    s += "</ul>\n";
    s += PageScript;
    return s + "</body></html>\n";
}

// report.html. The load section draws its own picture, so a failed one joins
// `pictures.failed` after the others.
void writePage(const Analysis& a, const LoadData& load, const fs::path& dir, const ReportOptions& options,
               Pictures& pictures) {
    const RunData& r = a.run;
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>palaver-lab report</title><style>";
    page += PageStyle;
    page += "</style></head><body>\n<h1>palaver-lab report</h1>\n";
    if (r.verdict.is_object()) page += verdictSection(r.verdict);
    page += foldersLine(r);
    // A scenario file's run is told by its steps: the flags' figures (lines,
    // loss, crash, ...) that run.json keeps for every run say nothing of it.
    const bool scenarioRun = !r.scenarioSource.empty() && r.scenarioSource != "flags";
    if (scenarioRun) page += scenarioSection(r);
    page += parametersSection(a, options, scenarioRun);
    page += typedLinesSection(a);
    page += deliverySection(a);
    page += causesSection(a);
    page += topologySection(a);
    page += loadSection(a, load, dir, options.pictures, pictures.failed);
    page += phasesSection(r);
    page += picturesAndData(pictures.figures);
    writeFile(dir / "report.html", page);
}

}  // namespace

std::vector<std::string> writeReport(const Analysis& a, const std::string& outDirText, const ReportOptions& options) {
    const RunData& r = a.run;
    const LoadData load = readLoad(r);  // before any file is written: a bad load.csv stops here
    fs::path dir(outDirText);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) throw AnalyzeError(outDirText + ": cannot create the report folder");

    writeMessagesCsv(a, dir);
    writeDeliveryCsv(a, dir);
    const HopTimes byHops = writeDeliveryHopsCsv(a, dir);
    writeFile(dir / "misses.csv", missesCsv(a));
    writeFile(dir / "failed_joins.csv", failedJoinsCsv(a));
    writeNodesCsv(a, load, dir);
    writeTopologyCsv(a, dir);
    writeInDegreeCsv(a, dir);
    const std::vector<const TopologySummary*> timed = timedSnapshots(a);
    writeHealthCsv(timed, dir);
    writeStepsCsv(a, dir);
    if (r.verdict.is_object()) writeVerdictCsv(r.verdict, dir);
    writeEventsCsv(r, dir);
    const HopCounts hops = writeHopsCsv(a, dir);
    writePhasesCsv(r, dir);
    writeSummaryJson(a, options, dir);

    Pictures pictures;
    if (options.pictures) drawPictures(a, dir, timed.size(), hops, byHops, pictures);
    writePage(a, load, dir, options, pictures);
    return pictures.failed;
}

// ---------------------------------------------------------------------------
// Comparison

namespace {

const nlohmann::json* lineSummary(const nlohmann::json& s, const std::string& phase) {
    for (const auto& l : s["lines"]) {
        if (l.value("phase", "") == phase) return &l;
    }
    return nullptr;
}

const nlohmann::json* topologySummary(const nlohmann::json& s, const std::string& name) {
    const nlohmann::json* found = nullptr;
    for (const auto& t : s["topology"]) {
        if (name.empty() || t.value("snapshot", "") == name) found = &t;
    }
    return found;
}

std::string cell(const nlohmann::json* object, const char* key) {
    if (!object || !object->contains(key)) return std::string();
    const nlohmann::json& v = (*object)[key];
    if (v.is_null()) return std::string();
    if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
    if (v.is_number_float()) return number(v.get<double>());
    if (v.is_string()) return v.get<std::string>();
    return v.dump();
}

}  // namespace

std::vector<std::string> writeComparison(const std::vector<CompareEntry>& runs, const std::string& outDirText,
                                         const std::string& xNameIn, const ReportOptions& options) {
    fs::path dir(outDirText);
    std::error_code ec;
    fs::create_directories(dir, ec);

    std::string xName = xNameIn;
    if (xName.empty()) {
        for (const char* p : {"loss", "nodes", "leave", "crash", "burst"}) {
            std::set<std::string> values;
            for (const CompareEntry& e : runs) values.insert(e.summary["parameters"].value(p, nlohmann::json()).dump());
            if (values.size() > 1) {
                xName = p;
                break;
            }
        }
    }
    auto xOf = [&](const CompareEntry& e, std::size_t i) {
        if (!xName.empty() && e.summary["parameters"].contains(xName) && e.summary["parameters"][xName].is_number()) {
            return number(e.summary["parameters"][xName].get<double>());
        }
        return std::to_string(i + 1);
    };

    const std::vector<std::string> columns = {
        "run", "x", "nodes", "loss", "leave", "crash", "burst", "joins_completed", "joins_failed", "lines",
        "reliability_mean", "reliability_min", "complete_lines", "mean_hops", "max_hops", "rmr", "shortest_mean",
        "stretch", "churned_lines", "churned_reliability_mean", "churned_reliability_min", "churned_rmr",
        "built_ring_intact", "built_back_mismatch", "built_dangling_next", "final_snapshot", "final_live",
        "final_ring_intact", "final_ring_cycles", "final_back_mismatch", "final_dangling_next",
        "final_components", "final_unreachable_pairs", "diameter", "mean_distance", "predicted_distance",
        "mean_out_degree", "in_degree_stddev", "in_degree_max", "in_degree_zero", "leave_notices_received",
        "bad_log_lines", "analysis_ms", "built_ring_cycles", "built_longest_cycle", "final_longest_cycle",
        "reach50_ms_median", "reach90_ms_median", "reach100_ms_median", "misses_dropped", "misses_partitioned",
        "misses_cut_off", "misses_ended", "misses_joined_later", "misses_unknown", "misses_unexplained",
        "failed_join_steps"};
    std::string csv;
    for (std::size_t i = 0; i < columns.size(); ++i) csv += (i ? "," : "") + columns[i];
    csv += "\n";
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const nlohmann::json& s = runs[i].summary;
        const nlohmann::json& p = s["parameters"];
        const nlohmann::json* all = lineSummary(s, "all");
        const nlohmann::json* churned = lineSummary(s, "lines_churned");
        const nlohmann::json* built = topologySummary(s, "built");
        const nlohmann::json* last = topologySummary(s, "");
        std::vector<std::string> row = {runs[i].name,
                                        xOf(runs[i], i),
                                        cell(&s, "nodes"),
                                        cell(&p, "loss"),
                                        cell(&p, "leave"),
                                        cell(&p, "crash"),
                                        cell(&p, "burst"),
                                        cell(&s, "joins_completed"),
                                        cell(&s, "joins_failed"),
                                        cell(all, "lines"),
                                        cell(all, "reliability_mean"),
                                        cell(all, "reliability_min"),
                                        cell(all, "complete"),
                                        cell(all, "mean_hops"),
                                        cell(all, "max_hops"),
                                        cell(all, "rmr"),
                                        cell(all, "shortest_mean"),
                                        cell(all, "stretch"),
                                        cell(churned, "lines"),
                                        cell(churned, "reliability_mean"),
                                        cell(churned, "reliability_min"),
                                        cell(churned, "rmr"),
                                        cell(built, "ring_intact"),
                                        cell(built, "back_mismatch"),
                                        cell(built, "dangling_next"),
                                        cell(last, "snapshot"),
                                        cell(last, "live"),
                                        cell(last, "ring_intact"),
                                        cell(last, "ring_cycles"),
                                        cell(last, "back_mismatch"),
                                        cell(last, "dangling_next"),
                                        cell(last, "components"),
                                        cell(last, "unreachable_pairs"),
                                        cell(last, "diameter"),
                                        cell(last, "mean_distance"),
                                        cell(last, "predicted_distance"),
                                        cell(last, "mean_out_degree"),
                                        cell(last, "in_degree_stddev"),
                                        cell(last, "in_degree_max"),
                                        cell(last, "in_degree_zero"),
                                        cell(&s, "leave_notices_received"),
                                        cell(&s, "bad_log_lines"),
                                        cell(&s, "analysis_ms"),
                                        cell(built, "ring_cycles"),
                                        cell(built, "longest_cycle"),
                                        cell(last, "longest_cycle")};
        const nlohmann::json* delivery = s.contains("delivery") ? &s["delivery"] : nullptr;
        for (const char* key : {"reach50_ms_median", "reach90_ms_median", "reach100_ms_median"}) {
            row.push_back(cell(delivery, key));
        }
        const nlohmann::json* causes = s.contains("causes") ? &s["causes"] : nullptr;
        const nlohmann::json* misses = causes && causes->contains("misses") ? &(*causes)["misses"] : nullptr;
        for (const char* cause : {"dropped", "partitioned", "cut off", "ended", "joined later", "unknown", "unexplained"}) {
            row.push_back(cell(misses, cause));
        }
        // Failed joins by the step they broke off at, most first: "walk 41; join referral 4".
        std::vector<std::pair<int, std::string>> steps;
        if (causes && causes->contains("failed_joins") && (*causes)["failed_joins"].is_object()) {
            for (const auto& [step, byCause] : (*causes)["failed_joins"].items()) {
                int n = 0;
                for (const auto& [cause, count] : byCause.items()) n += count.is_number() ? count.get<int>() : 0;
                steps.emplace_back(-n, step);
            }
        }
        std::sort(steps.begin(), steps.end());
        std::string stepText;
        for (const auto& [n, step] : steps) stepText += (stepText.empty() ? "" : "; ") + step + " " + std::to_string(-n);
        row.push_back(stepText);
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c) csv += ',';
            csv += csvField(row[c]);
        }
        csv += "\n";
        rows.push_back(row);
    }
    writeFile(dir / "compare.csv", csv);

    std::vector<std::string> failed;
    std::vector<std::pair<std::string, std::string>> figures;
    if (options.pictures) {
        std::string xLabel = xName.empty() ? "run" : xName == "loss" ? "loss (%)"
                                                                     : xName;
        std::string common = "set datafile separator ','\nset key outside bottom center horizontal\nset grid\n"
                             "set xlabel '" +
                             gnuplotText(xLabel) + "'\nset offsets graph 0.05, graph 0.05, 0, 0\n";
        if (xName == "nodes") common += "set logscale x\n";
        struct Plot {
            const char* name;
            const char* caption;
            std::string body;
        };
        std::vector<Plot> plots = {
            {"compare_reliability", "Reliability against ",
             "set yrange [0:1.05]\nset ylabel 'reliability'\nplot 'compare.csv' skip 1 using 2:11 with linespoints "
             "pt 7 title 'mean over typed lines', '' skip 1 using 2:12 with linespoints pt 5 title 'worst line', "
             "'' skip 1 using 2:20 with linespoints pt 9 title 'mean after the churn'\n"},
            {"compare_rmr", "Redundancy (rmr) against ",
             "set yrange [0:*]\nset ylabel 'rmr'\nplot 'compare.csv' skip 1 using 2:16 with linespoints pt 7 "
             "title 'rmr, mean over typed lines', '' skip 1 using 2:($37-1) with linespoints pt 5 title "
             "'mean out-degree - 1'\n"},
            {"compare_hops", "Hops and distances against ",
             "set yrange [0:*]\nset ylabel 'hops'\nplot 'compare.csv' skip 1 using 2:14 with linespoints pt 7 "
             "title 'mean hops', '' skip 1 using 2:15 with linespoints pt 5 title 'max hops', '' skip 1 using "
             "2:17 with linespoints pt 9 title 'shortest mean', '' skip 1 using 2:35 with linespoints pt 11 title "
             "'mean distance', '' skip 1 using 2:36 with lines dt 2 lw 2 lc rgb 'black' title 'ln N / ln(d-1)', '' skip 1 using 2:34 "
             "with linespoints pt 13 title 'diameter'\n"},
        };
        for (const Plot& p : plots) {
            if (plot(dir, p.name, common + p.body)) {
                figures.push_back({p.name, p.caption + xLabel});
            } else {
                failed.push_back(p.name);
            }
        }
    }

    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>palaver-lab comparison</title><style>";
    page += PageStyle;
    page += "</style></head><body>\n<h1>palaver-lab comparison</h1>\n<table>\n";
    std::vector<std::string> shown = {"run", "nodes", "loss", "leave", "crash", "burst", "joins_completed",
                                      "reliability_mean", "reliability_min", "mean_hops", "max_hops", "rmr",
                                      "stretch", "churned_reliability_mean", "final_ring_intact",
                                      "final_back_mismatch", "final_components", "diameter", "mean_distance"};
    page += tableRow(shown, true);
    for (const auto& row : rows) {
        std::string tr = "<tr>";
        for (const std::string& c : shown) {
            std::size_t k = static_cast<std::size_t>(std::find(columns.begin(), columns.end(), c) - columns.begin());
            std::string v = row[k];
            tr += c == "run" ? "<td><a href=\"" + html(v) + "/report.html\">" + html(v) + "</a></td>"
                             : "<td>" + html(v) + "</td>";
        }
        page += tr + "</tr>\n";
    }
    page += "</table>\n<h2>Pictures</h2>\n";
    for (const auto& [name, caption] : figures) page += figure(name, caption);
    page += "<h2>Data</h2>\n<ul><li><a href=\"compare.csv\">compare.csv</a></li></ul>\n";
    page += PageScript;
    page += "</body></html>\n";
    writeFile(dir / "report.html", page);
    return failed;
}

}  // namespace palaver::lab
