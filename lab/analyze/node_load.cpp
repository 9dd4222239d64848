#include "analyze/node_load.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "analyze/analyze_report.h"
#include "analyze/lab_csv.h"

namespace palaver::lab {

namespace fs = std::filesystem;

namespace {

// A whole number of the cell, no value for an empty one; false when the
// cell is neither.
template <typename T>
bool cellNumber(std::string_view cell, std::optional<T>& out) {
    out.reset();
    if (cell.empty()) return true;
    T value{};
    const auto [ptr, ec] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
    if (ec != std::errc() || ptr != cell.data() + cell.size()) return false;
    out = value;
    return true;
}

void readLoadFile(const fs::path& path, std::vector<LoadRow>& out) {
    readLabCsv(path, {"snapshot", "node", "life", "address", "sent", "received", "cpu_ms"},
               [&](auto cell, const std::string& place) {
                   LoadRow row;
                   row.snapshot = std::string(cell("snapshot"));
                   row.address = std::string(cell("address"));
                   std::optional<int> node, life;
                   if (row.snapshot.empty() || row.address.find('@') == std::string::npos) {
                       throw AnalyzeError(place + "a row needs a snapshot name and an ip@port address");
                   }
                   if (!cellNumber(cell("node"), node) || !cellNumber(cell("life"), life) || !life || *life < 1 ||
                       !cellNumber(cell("sent"), row.sent) || !cellNumber(cell("received"), row.received) ||
                       !cellNumber(cell("cpu_ms"), row.cpuMs) || (row.cpuMs && *row.cpuMs < 0)) {
                       throw AnalyzeError(place +
                                          "node, life, sent, received and cpu_ms must be whole numbers (life from 1)");
                   }
                   row.node = node.value_or(0);
                   row.life = *life;
                   out.push_back(std::move(row));
               });
}

std::string cell(const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : std::string(); }
std::string cell(const std::optional<int64_t>& v) { return v ? std::to_string(*v) : std::string(); }

std::string share(int64_t part, const std::optional<int64_t>& whole) {
    if (!whole || *whole <= 0) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(*whole));
    return buf;
}

}  // namespace

const LoadRow* LoadData::end(const std::string& address, int life) const {
    auto it = ends.find({address, life});
    return it == ends.end() ? nullptr : &rows[it->second];
}

LoadData readLoad(const RunData& run) {
    LoadData load;
    load.present = !run.dirs.empty();
    for (const std::string& dir : run.dirs) {
        const fs::path path = fs::path(dir) / "load.csv";
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            load.present = false;
            continue;
        }
        readLoadFile(path, load.rows);
    }
    for (std::size_t i = 0; i < load.rows.size(); ++i) {
        if (load.rows[i].snapshot == "end") load.ends[{load.rows[i].address, load.rows[i].life}] = i;
    }
    if (!load.present) {
        load.rows.clear();
        load.ends.clear();
        load.missing = run.hasRunJson ? "the run folder has no load.csv (palaver-lab run writes it since it measures "
                                        "each node's datagrams and receive-thread CPU time)"
                                      : "these are node files alone, without the lab's load.csv";
    }
    return load;
}

const char* const LoadNodesColumns = "sent,received,cpu_ms";

std::string loadNodesCells(const LoadData& load, const NodeInfo& node) {
    const LoadRow* r = load.end(node.address, node.life);
    if (!r) return ",,";
    return cell(r->sent) + "," + cell(r->received) + "," + cell(r->cpuMs);
}

std::string loadSection(const Analysis& a, const LoadData& load, const fs::path& dir, bool pictures,
                        std::vector<std::string>& failed) {
    std::string page = "<h2 id=\"load\">Load</h2>\n";
    if (!load.present) return page + "<p>The nodes' load is not shown: " + html(load.missing) + ".</p>\n";
    const RunData& r = a.run;
    std::map<std::string, std::size_t> inDegree;
    std::string finalName;
    if (a.finalSnapshot) {
        inDegree = randomInDegrees(r.snapshots[*a.finalSnapshot]);
        finalName = r.snapshots[*a.finalSnapshot].name;
    }
    // The final snapshot's in-degree belongs to the address's last life.
    auto degreeOf = [&](const LoadRow& row) -> std::optional<std::size_t> {
        auto last = r.nodeIndex.find(row.address);
        auto it = inDegree.find(row.address);
        if (last == r.nodeIndex.end() || r.nodes[last->second].life != row.life || it == inDegree.end()) {
            return std::nullopt;
        }
        return it->second;
    };

    std::vector<const LoadRow*> ends;
    int64_t nodesCpu = 0;
    for (const LoadRow& row : load.rows) {
        if (row.snapshot != "end") continue;
        ends.push_back(&row);
        nodesCpu += row.cpuMs.value_or(0);
    }

    if (pictures && !inDegree.empty()) {
        std::string data = "# in_degree,received,cpu_ms,address\n";
        std::size_t points = 0;
        for (const LoadRow* row : ends) {
            const auto d = degreeOf(*row);
            if (!d) continue;
            data += std::to_string(*d) + "," + cell(row->received) + "," + cell(row->cpuMs) + "," + row->address + "\n";
            ++points;
        }
        writeFile(dir / "load.dat", data);
        if (points > 0) {
            const std::string body =
                "set datafile separator ','\nset key top left\nset grid ytics\n"
                "set xlabel 'random in-degree (" +
                gnuplotText(finalName) + ")'\n"
                                         "set ylabel 'datagrams taken in'\nset y2label 'receive-thread CPU ms'\n"
                                         "set ytics nomirror\nset y2tics\nset yrange [0:*]\nset y2range [0:*]\nset offsets 0.5, 0.5, 0, 0\n"
                                         "plot 'load.dat' using ($1 - 0.08):2 with points pt 7 ps 0.6 lc rgb '#1f77b4' title "
                                         "'datagrams taken in', '' using ($1 + 0.08):3 axes x1y2 with points pt 5 ps 0.6 lc rgb '#d62728' "
                                         "title 'receive-thread CPU ms'\n";
            if (plot(dir, "load", body)) {
                page += "<figure><a href=\"load.png\"><img src=\"load.svg\" alt=\"load\"></a><figcaption>" +
                        html("Each node's datagrams taken in and receive-thread CPU time at the end against its "
                             "random in-degree in the final snapshot (" +
                             finalName + ")") +
                        " (<a href=\"load.svg\">SVG</a>, <a href=\"load.png\">PNG</a>)</figcaption></figure>\n";
            } else {
                failed.push_back("load");
            }
        }
    }

    std::vector<const LoadRow*> busiest = ends;
    std::stable_sort(busiest.begin(), busiest.end(), [](const LoadRow* x, const LoadRow* y) {
        return x->received.value_or(0) > y->received.value_or(0);
    });
    if (busiest.size() > 10) busiest.resize(10);
    page += "<p>The busiest node lives by datagrams taken in, at the end (load.csv: every life at every snapshot "
            "and at the end).</p>\n<table>\n" +
            tableRow({"node", "life", "received", "sent", "cpu ms", "random in-degree"}, true);
    for (const LoadRow* b : busiest) {
        const auto d = degreeOf(*b);
        page += tableRow({b->address, std::to_string(b->life), cell(b->received), cell(b->sent), cell(b->cpuMs),
                          d ? std::to_string(*d) : ""});
    }
    page += "</table>\n";

    // Phases hold the process's CPU time so far: the last one's is the run's.
    std::optional<int64_t> runCpu, labCpu;
    for (const PhaseInfo& p : r.phases) {
        if (p.cpuMs) runCpu = p.cpuMs;
        if (p.labThreadCpuMs) labCpu = p.labThreadCpuMs;
    }
    page += "<table>\n" + tableRow({"CPU time", "ms", "share of the run's"}, true);
    page += tableRow({"the nodes' receive threads (sum of cpu_ms)", std::to_string(nodesCpu), share(nodesCpu, runCpu)});
    if (labCpu) {
        page += tableRow({"the lab's own thread (driver, watches, snapshots)", std::to_string(*labCpu),
                          share(*labCpu, runCpu)});
    }
    if (runCpu && labCpu) {
        const int64_t rest = *runCpu - *labCpu - nodesCpu;
        page += tableRow({"the rest (the lab's drop-log reader, the nodes' work after their last reading)",
                          std::to_string(rest), share(rest, runCpu)});
    }
    if (runCpu) page += tableRow({"the run's process", std::to_string(*runCpu), share(*runCpu, runCpu)});
    page += "</table>\n";
    return page;
}

}  // namespace palaver::lab
