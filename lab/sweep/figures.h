// The figures of one run that a sweep aggregates, taken from the analyzer's
// model of the run, and their cache in the run folder (figures.json), so
// that a sweep of many runs is analysed once.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analyze/analyze_model.h"

namespace palaver::lab::sweep {

// Figure name -> value; a figure the run does not define is absent.
using Figures = std::map<std::string, double>;

struct FigureInfo {
    const char* name;
    const char* caption;
    bool timing;  // depends on the machine's timing rather than on the overlay
};

// The standard figures, in the order of sweep.csv and the report. Each
// check of run.json's verdict adds "expect:<name>" (1 passed, 0 not), so
// that its mean over the runs is its pass rate.
const std::vector<FigureInfo>& standardFigures();

// The figures of an analysed run; `runJson` adds what only the lab's record
// holds (expectations, the run's length). Either may be partial.
Figures runFigures(const Analysis& analysis, const nlohmann::json& runJson);

// Analyses a complete run folder once: writes its own report (report/ in the
// folder) and figures.json, and returns the figures. A valid figures.json
// (same run.json) is read instead. Throws AnalyzeError.
Figures analyzeRunFolder(const std::filesystem::path& runDir, bool pictures);

}  // namespace palaver::lab::sweep
