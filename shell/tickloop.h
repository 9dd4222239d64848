// The program's main loop: every pending window-system event is handled
// without blocking, a tick runs once at least TickPeriod ms have passed since
// the previous tick ended, and the loop sleeps between passes. Time is a 32-bit
// millisecond count that wraps; every difference is taken modulo 2^32.
#pragma once

#include <cstdint>
#include <functional>

namespace palaver::shell {

constexpr uint32_t TickPeriod = 100;
constexpr uint32_t IdleSleep = 10;

// Whether a pass that began at `now` runs a tick: `now` - `lastTick` >= 100.
bool tickDue(uint32_t now, uint32_t lastTick);

// The sleep after a tick. `now` was read at the top of the pass, `lastTick`
// right after the tick, so `lastTick` - `now` is the time d the pass took:
// 104 - d when that lies in 0..100 (d from 4 to 104 ms), else 10.
uint32_t sleepAfterTick(uint32_t now, uint32_t lastTick);

// The platform's millisecond clock, wrapping at 2^32.
uint32_t millisecondClock();

struct LoopPlatform {
    std::function<uint32_t()> clock;
    std::function<void(uint32_t)> sleep;
    // Handles every pending event; false once the quit message was taken.
    std::function<bool()> pumpEvents;
};

// Runs passes until pumpEvents reports the quit message.
void runLoop(const LoopPlatform& platform, const std::function<void()>& tick);

}  // namespace palaver::shell
