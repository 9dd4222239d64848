// The quiet rule: the overlay is quiet when the count of datagrams sent and
// taken in by all nodes has stood still for the quiet span. The span runs
// from the last look that saw the count change, so a count that keeps
// moving never makes it quiet, however long it has been watched.
#pragma once

#include <chrono>
#include <cstdint>

namespace palaver::lab {

class QuietWatch {
public:
    using Clock = std::chrono::steady_clock;
    QuietWatch(uint64_t total, Clock::time_point now) : total_(total), since_(now) {}
    // One look at the count at `now`.
    bool quiet(uint64_t total, Clock::time_point now, Clock::duration span) {
        if (total != total_) {
            total_ = total;
            since_ = now;
            return false;
        }
        return now - since_ >= span;
    }

private:
    uint64_t total_;
    Clock::time_point since_;
};

}  // namespace palaver::lab
