#include "run/churn.h"

#include <cmath>

#include "run/seeds.h"

namespace palaver::lab {

namespace {

// A uniform value in (0, 1), the same on every platform (the standard
// distributions may differ between library versions).
double uniformOpen(std::mt19937_64& random) {
    return (static_cast<double>(random() >> 11) + 0.5) / 9007199254740992.0;
}

}  // namespace

double drawSessionSeconds(const ChurnModel& m, std::mt19937_64& random) {
    const double u = uniformOpen(random);
    if (m.distribution == "pareto") {
        // Scale from the mean: mean = shape * scale / (shape - 1).
        const double scale = m.meanS * (m.shape - 1) / m.shape;
        return scale / std::pow(u, 1.0 / m.shape);
    }
    if (m.distribution == "weibull") {
        const double scale = m.meanS / std::tgamma(1.0 + 1.0 / m.shape);
        return scale * std::pow(-std::log(u), 1.0 / m.shape);
    }
    return -m.meanS * std::log(u);
}

std::vector<ChurnSession> drawChurnSchedule(const ChurnModel& m, const std::vector<std::size_t>& nodes, uint64_t seed,
                                            uint32_t stream) {
    std::vector<ChurnSession> schedule;
    const auto durationMs = static_cast<int64_t>(std::llround(m.durationS * 1000));
    ChurnModel pause = m;
    pause.distribution = "exponential";
    pause.meanS = m.pauseS;
    for (std::size_t node : nodes) {
        // Each node its own generator: its schedule does not depend on the
        // other members of the group.
        std::mt19937_64 random = generatorFor(seed, Choice::Sessions, stream * 65536u + static_cast<uint32_t>(node));
        int64_t start = 0;
        for (;;) {
            ChurnSession s;
            s.node = node;
            s.startMs = start;
            s.lengthMs = std::max<int64_t>(1, std::llround(drawSessionSeconds(m, random) * 1000));
            const bool crash = uniformOpen(random) * 100.0 < m.crashShare;
            const int64_t pauseMs = std::max<int64_t>(1, std::llround(drawSessionSeconds(pause, random) * 1000));
            if (start + s.lengthMs >= durationMs) {
                schedule.push_back(s);
                break;
            }
            s.end = crash ? "crash" : "leave";
            if (m.rejoin && start + s.lengthMs + pauseMs < durationMs) s.rejoinMs = start + s.lengthMs + pauseMs;
            schedule.push_back(s);
            if (!s.rejoinMs) break;
            start = *s.rejoinMs;
        }
    }
    return schedule;
}

}  // namespace palaver::lab
