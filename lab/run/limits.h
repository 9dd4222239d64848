// The bounds of the run's values, one place for the run command's flags and
// the scenario file's keys (and the messages that name them).
#pragma once

#include <cstdint>

namespace palaver::lab::limits {

struct Range {
    int64_t low, high;
};

inline constexpr Range Nodes{2, 60000};            // --nodes, nodes.count
inline constexpr Range NodeNumber{1, Nodes.high};  // a group's first and last, a step's members
inline constexpr Range Port{1, 65535};             // --port, nodes.port, a contact's port
inline constexpr Range TimeoutMs{1, 3600000};      // --join-timeout, --settle-timeout and their keys
inline constexpr Range QuietMs{1, 60000};          // --quiet, timing.quiet_ms
inline constexpr double MaxSeconds = 86400;        // any time of a scenario file (a day)

}  // namespace palaver::lab::limits
