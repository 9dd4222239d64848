// Aggregation of a sweep: each figure of each run, per grid point, as n,
// mean, standard deviation, 95 % confidence half-width, min and max.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sweep/figures.h"
#include "sweep/plan.h"
#include "sweep/stats.h"

namespace palaver::lab::sweep {

struct RunOutcome {
    std::size_t point = 0;
    uint64_t seed = 0;
    std::string dir;  // relative to the sweep folder
    RunState state = RunState::Missing;
    std::string reason;  // why it failed
    std::optional<Figures> figures;
};

// Every run the sweep file plans, its state, and the figures of those that
// went through (analysed with `threads` threads, from their caches where
// valid). A run whose analysis fails counts as failed.
std::vector<RunOutcome> collectRuns(const SweepFile& file, const std::filesystem::path& dir, unsigned threads);

struct FigureRow {
    std::size_t point = 0;
    std::string figure;
    Summary summary;
    std::size_t runs = 0;    // runs of the point that went through
    std::size_t failed = 0;  // runs of the point that failed
};

// Per point, each figure that some run defines: the standard ones in their
// order, then the expectations by name.
std::vector<FigureRow> aggregate(const SweepFile& file, const std::vector<RunOutcome>& runs);

// sweep.csv's text.
std::string sweepCsv(const SweepFile& file, const std::vector<FigureRow>& rows);

}  // namespace palaver::lab::sweep
