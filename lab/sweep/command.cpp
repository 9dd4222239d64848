// The sweep command's options: its own, and a copy of every option of the
// run command (asked of the run command's own parser), which stay fixed or,
// named by --vary, take each of their values in turn.
#include <algorithm>
#include <fstream>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <system_error>

#include "sweep/figures.h"
#include "sweep/plan.h"
#include "process.h"
#include "run/scenario.h"
#include "sweep/runner.h"
#include "sweep/sweep.h"

namespace palaver::lab::sweep {

namespace fs = std::filesystem;

namespace {

struct RunParameter {
    std::string name;  // without "--"
    bool flag = false;
    std::string value;
    bool set = false;
    std::string help;  // the run's own description
};

struct SweepOptions {
    std::vector<std::string> positional;  // SCENARIO; the sweep folder with --task
    std::vector<std::string> vary;
    std::vector<std::string> settings;  // --set PATH=VALUE of the scenario file, fixed
    std::string seeds;
    std::string out;
    int jobs = 1;
    std::string target;
    double ciWidth = 0;
    int maxSeeds = 20;
    int minSeeds = 3;
    int timeLimitS = 3600;
    bool slurm = false;
    bool submit = false;
    long task = -1;
    bool noPictures = false;
    std::vector<RunParameter> run;  // in the run command's order
};

// Names the sweep keeps for itself or fills in per run.
bool ownedBySweep(const std::string& name) {
    return name == "help" || name == "out" || name == "seed" || name == "print-scenario" || name == "set";
}

// The run command's parser with the given arguments: "" when it takes
// them, else its complaint.
std::string runAccepts(const std::vector<std::string>& runArgs) {
    CLI::App probe;
    // The action owns the options' storage: it must outlive the parse.
    const Action keep = addRunCommand(probe);
    std::vector<std::string> args{"run"};
    args.insert(args.end(), runArgs.begin(), runArgs.end());
    std::reverse(args.begin(), args.end());
    try {
        probe.parse(args);
    } catch (const CLI::ParseError& e) {
        return e.what();
    }
    return "";
}

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

SweepPlan buildPlan(const SweepOptions& o) {
    SweepPlan plan;
    if (!o.positional.empty()) {
        if (o.positional.size() > 1) throw InputError("more than one scenario file given");
        std::error_code ec;
        plan.scenario = fs::absolute(o.positional[0], ec).lexically_normal().string();
        if (!fs::is_regular_file(plan.scenario, ec)) throw InputError(o.positional[0] + ": cannot be read (not a file)");
    }
    const bool withFile = !plan.scenario.empty();
    std::set<std::string> varied;
    for (const std::string& text : o.vary) {
        Varied v = parseVary(text);
        if (v.name == "seed") throw InputError("--vary seed: give the seeds with --seeds");
        if (!varied.insert(v.name).second) throw InputError("--vary " + v.name + ": varied twice");
        if (withFile) {
            // A value of the file, by its path; the file itself says whether it has one.
            const auto fixed = std::find_if(o.settings.begin(), o.settings.end(), [&](const std::string& t) {
                return t.rfind(v.name + "=", 0) == 0;
            });
            if (fixed != o.settings.end()) throw InputError("--vary " + v.name + ": also given as a fixed value (--set)");
            plan.vary.push_back(std::move(v));
            continue;
        }
        if (ownedBySweep(v.name)) throw InputError("--vary " + v.name + ": the sweep sets --" + v.name + " of each run");
        const auto it = std::find_if(o.run.begin(), o.run.end(), [&](const RunParameter& p) { return p.name == v.name; });
        if (it == o.run.end()) {
            throw InputError("--vary " + v.name + ": not a parameter of palaver-lab run (see palaver-lab run --help)");
        }
        if (it->flag) throw InputError("--vary " + v.name + ": a switch of the run, not a parameter with values");
        if (it->set) throw InputError("--vary " + v.name + ": --" + v.name + " is also given as a fixed value");
        plan.vary.push_back(std::move(v));
    }
    if (withFile) {
        const auto option = std::find_if(o.run.begin(), o.run.end(), [](const RunParameter& p) { return p.set; });
        if (option != o.run.end()) {
            throw InputError("--" + option->name + ": a scenario file sets this itself; change the file's values with "
                                                   "--set PATH=VALUE or --vary PATH=V1,V2,... (nodes.count, step.NAME.KEY)");
        }
        for (const std::string& setting : o.settings) {
            plan.runArgs.push_back("--set");
            plan.runArgs.push_back(setting);
        }
    } else if (!o.settings.empty()) {
        throw InputError("--set " + o.settings.front() + ": --set changes a scenario file's values; without a file, "
                                                         "give the run's own options");
    }
    for (const RunParameter& p : o.run) {
        if (!p.set) continue;
        plan.runArgs.push_back("--" + p.name);
        if (!p.flag) plan.runArgs.push_back(p.value);
    }
    const std::string seeds = o.seeds.empty() ? "1" : o.seeds;
    const bool autoOptions = !o.target.empty() || o.ciWidth > 0;
    if (seeds == "auto") {
        plan.seeds.automatic = true;
        if (o.target.empty() || o.ciWidth <= 0) throw InputError("--seeds auto needs --target METRIC and --ci-width W");
        const auto& figures = standardFigures();
        const bool known = o.target.rfind("expect:", 0) == 0 ||
                           std::any_of(figures.begin(), figures.end(), [&](const FigureInfo& i) { return o.target == i.name; });
        if (!known) throw InputError("--target " + o.target + ": not a figure of a run (reliability_mean, join_success, ...)");
        if (o.minSeeds > o.maxSeeds) throw InputError("--min-seeds is above --max-seeds");
        plan.seeds.target = o.target;
        plan.seeds.ciWidth = o.ciWidth;
        plan.seeds.minSeeds = o.minSeeds;
        plan.seeds.maxSeeds = o.maxSeeds;
    } else {
        if (autoOptions) throw InputError("--target and --ci-width go with --seeds auto");
        plan.seeds.seeds = parseSeeds(seeds);
    }
    plan.timeLimitS = o.timeLimitS;
    // Each point's arguments must satisfy the run command's own parser, and
    // with a file, each point's scenario must be one the run accepts.
    for (const Point& p : expandPoints(plan)) {
        const std::string name = plan.vary.empty() ? std::string("the run options: ") : "the point " + p.dir + ": ";
        const std::vector<std::string> args = runArguments(plan, p, 1, "/nonexistent");
        const std::string complaint = runAccepts(args);
        if (!complaint.empty()) throw InputError(name + complaint);
        if (!withFile) continue;
        std::vector<std::string> settings;
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == "--set") settings.push_back(args[i + 1]);
        }
        try {
            loadScenario(plan.scenario, settings);
        } catch (const ScenarioError& e) {
            throw InputError(name + e.what());
        }
    }
    return plan;
}

int sweepCommand(const SweepOptions& o) {
    if (o.task >= 0) {
        std::string dir = o.out;
        if (dir.empty() && o.positional.size() == 1) dir = o.positional[0];
        if (dir.empty() || (o.positional.size() + (o.out.empty() ? 0 : 1)) != 1) {
            std::fprintf(stderr, "palaver-lab: --task I takes the sweep folder, and nothing else: sweep --task I DIR\n");
            return 2;
        }
        try {
            return runTask(fs::absolute(dir), o.task, !o.noPictures);
        } catch (const PlanError& e) {
            std::fprintf(stderr, "palaver-lab: %s\n", e.what());
            return 2;
        }
    }
    SweepPlan plan;
    try {
        if (o.out.empty()) throw InputError("--out DIR is required");
        if (o.submit && !o.slurm) throw InputError("--submit goes with --slurm");
        plan = buildPlan(o);
        if (o.slurm && plan.seeds.automatic) {
            throw InputError("--slurm: --seeds auto decides as the results come in and runs here only; give a seed range");
        }
        const bool hostNetwork = std::any_of(o.run.begin(), o.run.end(), [](const RunParameter& p) {
            return p.set && (p.name == "host-network" || p.name == "contact");
        });
        if (o.jobs > 1 && hostNetwork) {
            throw InputError("--jobs " + std::to_string(o.jobs) + ": runs on the host's network (--host-network, --contact) cannot go side by side");
        }
        if (o.slurm && findOnPath("sbatch").empty()) throw InputError("--slurm: sbatch is not on the PATH");
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "palaver-lab: %s\n", e.what());
        return 2;
    }
    std::error_code ec;
    const fs::path dir = fs::absolute(o.out, ec).lexically_normal();
    SweepFile file;
    if (fs::exists(dir / "sweep.json", ec)) {
        try {
            file = readSweepFile(dir);
        } catch (const PlanError& e) {
            std::fprintf(stderr, "palaver-lab: --out %s: %s\n", o.out.c_str(), e.what());
            return 2;
        }
        if (planJson(file.plan) != planJson(plan)) {
            std::fprintf(stderr, "palaver-lab: --out %s holds another plan (its sweep.json); give the same options to resume it, or another folder\n",
                         o.out.c_str());
            return 2;
        }
    } else {
        if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
            std::fprintf(stderr, "palaver-lab: --out %s exists and is not a folder\n", o.out.c_str());
            return 2;
        }
        if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
            std::fprintf(stderr, "palaver-lab: --out %s is not empty and holds no sweep plan (sweep.json)\n", o.out.c_str());
            return 2;
        }
        fs::create_directories(dir, ec);
        if (ec) {
            std::fprintf(stderr, "palaver-lab: cannot create %s: %s\n", o.out.c_str(), ec.message().c_str());
            return 1;
        }
        file = newSweepFile(plan);
        writeSweepFile(dir, file);
    }

    if (o.slurm) {
        std::vector<std::size_t> open;
        for (std::size_t i = 0; i < file.tasks.size(); ++i) {
            if (runState(dir / file.tasks[i].dir) != RunState::Complete) open.push_back(i);
        }
        if (open.empty()) {
            std::printf("palaver-lab sweep: every run of %s is complete; palaver-lab analyze %s --out REPORT\n",
                        dir.c_str(), dir.c_str());
            return 0;
        }
        fs::create_directories(dir / "slurm", ec);
        const fs::path script = dir / "sweep.sbatch";
        {
            std::ofstream s(script, std::ios::binary | std::ios::trunc);
            s << slurmScript(file, dir, selfProgram(), open);
            if (!s) {
                std::fprintf(stderr, "palaver-lab: cannot write %s\n", script.c_str());
                return 1;
            }
        }
        std::printf("palaver-lab sweep: %zu of %zu runs to go; batch script %s\n", open.size(), file.tasks.size(),
                    script.c_str());
        if (!o.submit) {
            std::printf("submit it with: sbatch %s\n", script.c_str());
            return 0;
        }
        const ProgramResult r = runProgram({"sbatch", "--parsable", script.string()});
        std::string output = r.output;
        while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
        if (r.status != 0) {
            std::fprintf(stderr, "palaver-lab: sbatch failed: %s\n", output.c_str());
            return 1;
        }
        const std::string job = output.substr(0, output.find(';'));
        std::printf("submitted job %s\n", job.c_str());
        return 0;
    }

    RunnerOptions ro;
    ro.dir = dir;
    ro.jobs = o.jobs;
    ro.pictures = !o.noPictures;
    const int status = runLocal(file, ro);
    std::printf("palaver-lab sweep: %s in %s; palaver-lab analyze %s --out REPORT aggregates them\n",
                status == 0 ? "every run went through" : "some runs failed (each recorded with its reason)",
                dir.c_str(), dir.c_str());
    return status;
}

}  // namespace

Action addSweepCommand(CLI::App& app) {
    auto o = std::make_shared<SweepOptions>();
    CLI::App* cmd = app.add_subcommand(
        "sweep", "run a grid of run parameters times seeds, here J at a time or as a SLURM job array");
    cmd->add_option("scenario", o->positional,
                    "scenario file, passed to each run as its first argument (with --task: the sweep folder)");
    cmd->add_option("--vary", o->vary,
                    "NAME=V1,V2,...: a parameter of the run and its values (with a scenario file: one of the "
                    "file's values by its path, as for --set); repeatable, the grid is their cartesian product");
    cmd->add_option("--set", o->settings,
                    "PATH=VALUE: with a scenario file, one of its values for every run (see palaver-lab run --set); "
                    "repeatable")
        ->allow_extra_args(false);
    cmd->add_option("--seeds", o->seeds,
                    "seeds of each point: 1-20, 7, 1-5,9, or auto (see --target); default 1");
    cmd->add_option("--out", o->out, "sweep folder: created, or one that holds the same plan (resumed)");
    cmd->add_option("--jobs", o->jobs, "runs side by side, each in its own network namespace")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    cmd->add_option("--target", o->target,
                    "with --seeds auto: the figure whose mean must be sharp (reliability_mean, join_success, ...)");
    cmd->add_option("--ci-width", o->ciWidth,
                    "with --seeds auto: add seeds until the 95 % confidence interval of the target's mean is "
                    "narrower than this (its full width)")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--max-seeds", o->maxSeeds, "with --seeds auto: the most seeds a point runs")
        ->capture_default_str()
        ->check(CLI::Range(2, 100000));
    cmd->add_option("--min-seeds", o->minSeeds, "with --seeds auto: the seeds a point runs first")
        ->capture_default_str()
        ->check(CLI::Range(2, 100000));
    cmd->add_option("--time-limit", o->timeLimitS,
                    "seconds one run may take before it is stopped and counted as failed (the SLURM task's "
                    "limit too)")
        ->capture_default_str()
        ->check(CLI::Range(1, 604800));
    cmd->add_flag("--slurm", o->slurm,
                  "write DIR/sweep.sbatch, a SLURM job array of the runs not yet complete, instead of running here");
    cmd->add_flag("--submit", o->submit, "with --slurm: submit the script with sbatch");
    cmd->add_option("--task", o->task, "run task I of the plan in the given sweep folder (from a scheduler)")
        ->check(CLI::Range(0L, 100000000L));
    cmd->add_flag("--no-pictures", o->noPictures, "draw no pictures in each run's own report");

    // Every option of the run command, by its own parser's account.
    CLI::App probe;
    const Action keep = addRunCommand(probe);
    const CLI::App* run = probe.get_subcommand("run");
    for (const CLI::Option* opt : run->get_options()) {
        if (opt->get_lnames().empty()) continue;
        const std::string name = opt->get_lnames().front();
        if (ownedBySweep(name)) continue;
        o->run.push_back({name, opt->get_items_expected_max() == 0, "", false, opt->get_description()});
    }
    for (RunParameter& p : o->run) {
        if (p.flag) {
            cmd->add_flag("--" + p.name, p.set, p.help)->group("Options of each run (fixed unless varied)");
        } else {
            cmd->add_option("--" + p.name, p.value, p.help)->group("Options of each run (fixed unless varied)");
        }
    }
    return [o, cmd] {
        for (RunParameter& p : o->run) {
            if (!p.flag) p.set = cmd->count("--" + p.name) > 0;
        }
        return sweepCommand(*o);
    };
}

}  // namespace palaver::lab::sweep
