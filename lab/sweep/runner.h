// Running the runs of a sweep: as child processes of this one, J at a time,
// or one by one as the tasks of a scheduler (--task), and the SLURM batch
// script that runs them as a job array.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "sweep/plan.h"

namespace palaver::lab::sweep {

struct RunnerOptions {
    std::filesystem::path dir;  // the sweep folder, absolute
    int jobs = 1;
    bool pictures = true;  // draw each run's own report pictures
};

// Runs every run of the sweep that is not complete (redoing cut-off and
// failed ones), J at a time, with a progress line on standard error; for
// --seeds auto, adds seeds per point until its rule stops it and records
// why in sweep.json. Returns the exit status: 0 when every run went
// through, 1 when some failed (each recorded with its reason).
int runLocal(SweepFile& file, const RunnerOptions& options);

// Runs task `index` of sweep.json (skipped when complete). 0 when the run
// went through, 1 when it failed, 2 for an index out of range.
int runTask(const std::filesystem::path& dir, long index, bool pictures);

// The text of DIR/sweep.sbatch: a job array over the tasks not complete.
std::string slurmScript(const SweepFile& file, const std::filesystem::path& dir, const std::string& program,
                        const std::vector<std::size_t>& tasks);

// This program's own path, for the child runs and the batch script.
std::string selfProgram();

// The folder of PATH that holds an executable `name`; "" when none does.
std::string findOnPath(const std::string& name);

}  // namespace palaver::lab::sweep
