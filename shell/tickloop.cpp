#include "tickloop.h"

#include <chrono>
#include <thread>

namespace palaver::shell {

bool tickDue(uint32_t now, uint32_t lastTick) { return static_cast<uint32_t>(now - lastTick) >= TickPeriod; }

uint32_t sleepAfterTick(uint32_t now, uint32_t lastTick) {
    uint32_t s = now - lastTick + (TickPeriod + 4);
    return s <= TickPeriod ? s : IdleSleep;
}

uint32_t millisecondClock() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

void runLoop(const LoopPlatform& platform, const std::function<void()>& tick) {
    uint32_t lastTick = platform.clock();
    uint32_t now = platform.clock();
    for (;;) {
        if (!platform.pumpEvents()) return;
        if (!tickDue(now, lastTick)) {
            platform.sleep(IdleSleep);
        } else {
            tick();
            lastTick = platform.clock();
            platform.sleep(sleepAfterTick(now, lastTick));
        }
        now = platform.clock();
    }
}

}  // namespace palaver::shell
