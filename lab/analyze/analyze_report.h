// Writing an analysis out: CSV files, summary.json, the pictures drawn by
// gnuplot and Graphviz, and report.html, which opens from the file system.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "analyze/analyze_model.h"

namespace palaver::lab {

struct ReportOptions {
    bool pictures = true;
    double analysisMs = 0;  // written into summary.json and the page
};

// Writes messages.csv, nodes.csv, topology.csv, indegree.csv, hops.csv,
// summary.json, the pictures and report.html into `outDir` (created).
// Returns the names of pictures that could not be drawn.
std::vector<std::string> writeReport(const Analysis& analysis, const std::string& outDir,
                                     const ReportOptions& options);

// One row of the comparison: a run's headline figures.
nlohmann::json runSummary(const Analysis& analysis);

struct CompareEntry {
    std::string name;  // sub-folder of the report holding this run's own report
    nlohmann::json summary;
};

// Writes compare.csv, the comparison plots and a report.html that links the
// runs' own reports. `xName` is the parameter the plots run along ("" picks
// the first that differs between runs, else the run's position).
std::vector<std::string> writeComparison(const std::vector<CompareEntry>& runs, const std::string& outDir,
                                         const std::string& xName, const ReportOptions& options);

// Text helpers of every report writer: a CSV field (quoted when it holds a
// comma, quote or line break), text for HTML, and text inside a single-quoted
// gnuplot string (quotes doubled, line breaks dropped).
std::string csvField(const std::string& text);
std::string html(const std::string& text);
std::string gnuplotText(const std::string& text);

// Writes a whole file of a report; throws AnalyzeError when it cannot.
void writeFile(const std::filesystem::path& path, const std::string& text);

// Draws a gnuplot script body (everything after the terminal and output
// lines) as DIR/NAME.svg and DIR/NAME.png, keeping the script as NAME.gp;
// true when gnuplot wrote both.
bool plot(const std::filesystem::path& dir, const std::string& name, const std::string& body);

// One row of an HTML table, each cell escaped; <th> cells when `header`.
std::string tableRow(const std::vector<std::string>& cells, bool header = false);

// Why lines were missed and joins failed: misses.csv and failed_joins.csv,
// their counts for summary.json ({"misses": {cause: n}, "failed_joins":
// {step: {cause: n}}, "limits": [...]}) and the report's section.
std::string missesCsv(const Analysis& analysis);
std::string failedJoinsCsv(const Analysis& analysis);
nlohmann::json causeCounts(const Analysis& analysis);
std::string causesSection(const Analysis& analysis);

// The style sheet of every report page.
extern const char* const PageStyle;

}  // namespace palaver::lab
