#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "analyze/analyze_model.h"
#include "analyze/analyze_report.h"
#include "lab.h"

namespace palaver::lab {

namespace {

struct AnalyzeOptions {
    std::vector<std::string> dirs;
    std::string out;
    bool compare = false;
    bool noPictures = false;
    std::string x;
};

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void warnBadLines(const RunData& run) {
    if (run.badLines == 0) return;
    std::fprintf(stderr, "palaver-lab: %zu log line%s in %zu log%s %s not usable datagrams (left out)\n",
                 run.badLines, run.badLines == 1 ? "" : "s", run.badFiles, run.badFiles == 1 ? "" : "s",
                 run.badLines == 1 ? "is" : "are");
}

void warnPictures(const std::vector<std::string>& failed) {
    if (failed.empty()) return;
    std::string names;
    for (const std::string& f : failed) names += (names.empty() ? "" : ", ") + f;
    std::fprintf(stderr, "palaver-lab: could not draw %s (are gnuplot and graphviz installed?)\n", names.c_str());
}

// A name for a run's sub-folder in a comparison: its position and folder name.
std::string runName(std::size_t i, const std::string& dir) {
    std::string base = std::filesystem::path(dir).lexically_normal().filename().string();
    if (base.empty() || base == ".") base = std::filesystem::path(dir).lexically_normal().parent_path().filename().string();
    std::string clean;
    for (char c : base) clean += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%02zu_", i + 1);
    return prefix + clean;
}

int analyzeSingle(const AnalyzeOptions& o) {
    auto start = std::chrono::steady_clock::now();
    Analysis a = analyzeRun(loadRun(o.dirs));
    warnBadLines(a.run);
    ReportOptions ro;
    ro.pictures = !o.noPictures;
    ro.analysisMs = millisecondsSince(start);
    warnPictures(writeReport(a, o.out, ro));
    std::printf("palaver-lab: %zu nodes (%zu lives), %zu chat lines (%zu typed) analysed in %.0f ms; report in %s/report.html\n",
                a.run.nodeIndex.size(), a.run.nodes.size(), a.traces.size(), a.lineSummaries.empty() ? 0 : a.lineSummaries[0].lines,
                millisecondsSince(start), o.out.c_str());
    return 0;
}

int analyzeCompare(const AnalyzeOptions& o) {
    std::vector<CompareEntry> entries;
    std::set<std::string> names;
    ReportOptions ro;
    ro.pictures = !o.noPictures;
    std::vector<std::string> failed;
    for (std::size_t i = 0; i < o.dirs.size(); ++i) {
        auto start = std::chrono::steady_clock::now();
        Analysis a = analyzeRun(loadRun({o.dirs[i]}));
        warnBadLines(a.run);
        std::string name = runName(i, o.dirs[i]);
        ro.analysisMs = millisecondsSince(start);
        for (const std::string& f : writeReport(a, o.out + "/" + name, ro)) {
            std::string path = name;
            path += '/';
            path += f;
            failed.push_back(std::move(path));
        }
        nlohmann::json summary = runSummary(a);
        summary["analysis_ms"] = ro.analysisMs;
        entries.push_back({name, summary});
    }
    for (const std::string& f : writeComparison(entries, o.out, o.x, ro)) failed.push_back(f);
    warnPictures(failed);
    std::printf("palaver-lab: %zu runs compared; report in %s/report.html\n", entries.size(), o.out.c_str());
    return 0;
}

}  // namespace

Action addAnalyzeCommand(CLI::App& app, const FolderReader& otherFolder) {
    auto options = std::make_shared<AnalyzeOptions>();
    CLI::App* cmd = app.add_subcommand("analyze", "turn run folders into traces, figures and a report page");
    cmd->add_option("dirs", options->dirs,
                    "run folders, a sweep folder (its sweep.json), or folders of <ip>@<port>.txt logs and status_<ip>@<port>.csv reports; several "
                    "folders are merged into one overlay unless --compare is given")
        ->required();
    cmd->add_option("--out", options->out, "report folder (created)")->required();
    cmd->add_flag("--compare", options->compare, "put the folders side by side as separate runs");
    cmd->add_option("--x", options->x,
                    "with --compare: the run parameter the plots run along (default: the first of loss, nodes, "
                    "leave, crash, burst that differs)");
    cmd->add_flag("--no-pictures", options->noPictures, "write the CSV files and the page without running gnuplot or Graphviz");
    return [options, otherFolder] {
        if (options->dirs.size() == 1 && !options->compare && otherFolder) {
            if (auto status = otherFolder(options->dirs[0], options->out, !options->noPictures)) return *status;
        }
        try {
            return options->compare ? analyzeCompare(*options) : analyzeSingle(*options);
        } catch (const AnalyzeError& e) {
            std::fprintf(stderr, "palaver-lab: %s\n", e.what());
            return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "palaver-lab: analysis failed: %s\n", e.what());
            return 1;
        }
    };
}

}  // namespace palaver::lab
