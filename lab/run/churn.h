// Churn models: session lengths drawn from an exponential, Pareto or Weibull
// distribution with a given mean, each session ended by a leave or a crash,
// and optionally a rejoin after a drawn pause. The whole schedule is drawn
// from the seed before it runs, so that run.json can record it and the same
// seed gives the same schedule.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "run/scenario.h"

namespace palaver::lab {

struct ChurnSession {
    std::size_t node = 0;             // node index
    int64_t startMs = 0;              // since the churn step began
    int64_t lengthMs = 0;             // as drawn
    std::string end;                  // "leave", "crash", or "" when it outlasts the model's duration
    std::optional<int64_t> rejoinMs;  // when the node comes back, since the churn step began
};

// One session length (or, for `pauseS`, a pause) in seconds.
double drawSessionSeconds(const ChurnModel& model, std::mt19937_64& random);

// The schedule of `nodes` under `model`; `stream` tells apart the churn
// steps of one scenario.
std::vector<ChurnSession> drawChurnSchedule(const ChurnModel& model, const std::vector<std::size_t>& nodes,
                                            uint64_t seed, uint32_t stream);

}  // namespace palaver::lab
