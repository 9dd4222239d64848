// Each node's load as the lab measured it (load.csv of a run folder): the
// datagrams each life sent and took in and its receive thread's CPU time,
// at every snapshot and at the end; and what the report makes of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analyze/analyze_model.h"

namespace palaver::lab {

struct LoadRow {
    std::string snapshot;  // a snapshot's name, or "end"
    int node = 0;          // run.json's node number
    int life = 1;
    std::string address;
    std::optional<uint64_t> sent, received;
    std::optional<int64_t> cpuMs;
};

struct LoadData {
    bool present = false;  // every folder of the run had a load.csv
    std::string missing;   // why not, for the report's one line
    std::vector<LoadRow> rows;
    std::map<std::pair<std::string, int>, std::size_t> ends;  // (address, life) -> its "end" row
    // The "end" row of a life; null when there is none.
    const LoadRow* end(const std::string& address, int life) const;
};

// Reads load.csv of each of the run's folders. Throws AnalyzeError naming
// the file and line of the first row that is not one.
LoadData readLoad(const RunData& run);

// The columns nodes.csv gains ("sent,received,cpu_ms") and a life's cells
// (empty without its "end" row).
extern const char* const LoadNodesColumns;
std::string loadNodesCells(const LoadData& load, const NodeInfo& node);

// The report's "Load" section: the picture of load against random in-degree
// (drawn into `dir` when `pictures`; its name goes into `failed` when it
// could not be), the ten busiest lives and the CPU time of the nodes beside
// the lab's own.
std::string loadSection(const Analysis& analysis, const LoadData& load, const std::filesystem::path& dir,
                        bool pictures, std::vector<std::string>& failed);

}  // namespace palaver::lab
