// The plan of a sweep: which run parameters vary over which values, which
// seeds each grid point runs, and where each run lands (DIR/loss=2/seed=7/).
// DIR/sweep.json holds it, so that a sweep can be resumed, run task by task
// from a scheduler, and aggregated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace palaver::lab::sweep {

// A whole file as it is on disk; no value when it cannot be opened.
std::optional<std::string> readText(const std::filesystem::path& path);

// A problem with the sweep's input; its text is one line for the user.
struct PlanError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Varied {
    std::string name;  // a parameter of the run, without the leading "--"
    std::vector<std::string> values;
};

// Which seeds each point runs: a fixed list, or "auto": seeds 1, 2, ... until
// the 95 % confidence interval of `target`'s mean is narrower than ciWidth
// or maxSeeds have run.
struct SeedRule {
    bool automatic = false;
    std::vector<uint64_t> seeds;
    std::string target;
    double ciWidth = 0;
    int minSeeds = 3;
    int maxSeeds = 20;
};

struct SweepPlan {
    std::string scenario;              // passed to each run as its first positional; "" for none
    std::vector<std::string> runArgs;  // the fixed run options, e.g. {"--nodes", "50"}
    std::vector<Varied> vary;
    SeedRule seeds;
    int timeLimitS = 3600;  // one run's time limit
};

// A grid point: one value of each varied parameter.
struct Point {
    std::vector<std::string> values;  // in the order of SweepPlan::vary
    std::string dir;                  // relative: "loss=2/nodes=50" ("." without varied parameters)
};

// One run: a point and a seed.
struct Task {
    std::size_t point = 0;
    uint64_t seed = 0;
    std::string dir;  // relative: "loss=2/seed=7"
};

// "NAME=V1,V2,...": the name and its values. Throws PlanError for a missing
// name, an empty value list, an empty value or a value given twice.
Varied parseVary(const std::string& text);

// "1-20", "7", "1-5,9" (no value: "auto", handled by the caller). Throws
// PlanError for a range that runs backwards, a seed given twice, or text
// that is not seeds.
std::vector<uint64_t> parseSeeds(const std::string& text);

// The part of a folder name that shows a value: characters that a path or a
// shell would take apart become '_'.
std::string folderValue(const std::string& value);

// The cartesian grid, the first varied parameter outermost. Throws
// PlanError when two values of a parameter share a folder name.
std::vector<Point> expandPoints(const SweepPlan& plan);

// Point `p` with seed `seed`: its run folder, relative to DIR.
std::string taskDir(const Point& p, uint64_t seed);

// Every run of a plan with a seed list: points x seeds, points outermost.
std::vector<Task> expandTasks(const SweepPlan& plan, const std::vector<Point>& points);

// The run command's arguments (after "palaver-lab run") for one run.
std::vector<std::string> runArguments(const SweepPlan& plan, const Point& point, uint64_t seed,
                                      const std::string& outDir);

nlohmann::json planJson(const SweepPlan& plan);
SweepPlan planFromJson(const nlohmann::json& j);  // throws PlanError

// DIR/sweep.json: the plan, its points (with the seeds each has launched and
// why it stopped, for --seeds auto) and, for a seed list, its tasks in the
// order --task counts them.
struct SweepFile {
    SweepPlan plan;
    std::vector<Point> points;
    std::vector<std::vector<uint64_t>> pointSeeds;  // launched seeds of each point
    std::vector<std::string> stopped;               // why each point stopped ("" while open)
    std::vector<Task> tasks;                        // seed list only
};

SweepFile newSweepFile(const SweepPlan& plan);
void writeSweepFile(const std::filesystem::path& dir, const SweepFile& file);
// Throws PlanError when DIR/sweep.json is missing or broken.
SweepFile readSweepFile(const std::filesystem::path& dir);

// The state of a run folder as a resume sees it.
enum class RunState {
    Missing,   // nothing there
    Complete,  // run.json parses and records its end; the run went through
    Failed,    // the sweep recorded it as failed
    CutOff,    // something there but no complete run.json and no record: interrupted (or still running)
};

// run.json exists, parses and records its end ("end_ms", written last).
bool runJsonComplete(const std::filesystem::path& runDir);

// What the sweep records beside each run folder: seed=7.result.json.
std::filesystem::path resultPath(const std::filesystem::path& runDir);
// The run's standard output and error: seed=7.log.
std::filesystem::path logPath(const std::filesystem::path& runDir);

RunState runState(const std::filesystem::path& runDir);

// The reason recorded for a failed run ("" when it did not fail).
std::string failureReason(const std::filesystem::path& runDir);

// Whether a child's end counts as a run that went through: exit status 0,
// or 1 (the verdict of expectations that did not hold), with a complete
// run.json. Otherwise the one-line reason. `status`: exit status, or -1
// when killed by `signal`; `lastLine`: the last line the run printed.
std::string classifyRun(int status, int signal, bool timedOut, int timeLimitS, bool complete,
                        const std::string& lastLine);

}  // namespace palaver::lab::sweep
