// palaver-lab sweep: a grid of run parameters times seeds, each point an
// ordinary run in its own folder, run here side by side or as a SLURM job
// array, resumed where it was cut off, and aggregated into means with
// confidence intervals by palaver-lab analyze.
#pragma once

#include <string>

#include "lab.h"

namespace palaver::lab::sweep {

Action addSweepCommand(CLI::App& app);

// A sweep folder holds sweep.json.
bool isSweepFolder(const std::string& dir);

// palaver-lab analyze on a sweep folder: sweep.csv, the pictures and
// report.html in `out`. The exit status (0, or 1 when it could not).
int analyzeSweep(const std::string& dir, const std::string& out, bool pictures);

}  // namespace palaver::lab::sweep
