#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tickloop.h"

using namespace palaver::shell;

namespace {

// The pass took `d` ms: `now` was read before it, `lastTick` after its tick.
uint32_t sleepForPass(uint32_t now, uint32_t d) { return sleepAfterTick(now, now + d); }

}  // namespace

TEST(SleepRule, SleepIsTheRestOfThePeriodOnlyWhenThePassTookFourTo104Ms) {
    EXPECT_EQ(sleepForPass(1000, 2), 10u);
    EXPECT_EQ(sleepForPass(1000, 30), 74u);
    EXPECT_EQ(sleepForPass(1000, 200), 10u);
    EXPECT_EQ(sleepForPass(1000, 3), 10u);
    EXPECT_EQ(sleepForPass(1000, 4), 100u);
    EXPECT_EQ(sleepForPass(1000, 104), 0u);
    EXPECT_EQ(sleepForPass(1000, 105), 10u);
}

TEST(SleepRule, DifferencesStayRightAcrossTheClockWrap) {
    // The pass straddles 2^32: now just below, lastTick just above zero.
    EXPECT_EQ(sleepForPass(0xFFFFFFF0u, 30), 74u);
    EXPECT_EQ(sleepForPass(0xFFFFFFFFu, 2), 10u);
    EXPECT_EQ(sleepForPass(0xFFFFFF00u, 200), 10u);

    EXPECT_TRUE(tickDue(5u, 0xFFFFFFA1u));   // 100 ms across the wrap
    EXPECT_FALSE(tickDue(5u, 0xFFFFFFA2u));  // 99 ms
    EXPECT_FALSE(tickDue(0x10u, 0xFFFFFFF0u));
    EXPECT_TRUE(tickDue(100u, 0u));
    EXPECT_FALSE(tickDue(99u, 0u));
}

// The loop on a simulated clock that starts just before the wrap: each
// tick costs 3 ms, event handling 1 ms per pass.
TEST(TickLoop, TicksKeepTheirPaceThroughTheClockWrap) {
    uint32_t clock = 0xFFFFFE00u;  // 512 ms before the wrap
    std::vector<uint32_t> tickStarts;
    std::vector<uint32_t> sleeps;
    int passes = 0;
    LoopPlatform platform;
    platform.clock = [&] { return clock; };
    platform.sleep = [&](uint32_t ms) {
        sleeps.push_back(ms);
        clock += ms;
    };
    platform.pumpEvents = [&] {
        clock += 1;
        return ++passes < 400 && tickStarts.size() < 20;
    };
    runLoop(platform, [&] {
        tickStarts.push_back(clock);
        clock += 3;
    });

    ASSERT_EQ(tickStarts.size(), 20u);
    // The first tick comes about 100 ms after the loop started.
    EXPECT_GE(static_cast<uint32_t>(tickStarts[0] - 0xFFFFFE00u), 100u);
    EXPECT_LE(static_cast<uint32_t>(tickStarts[0] - 0xFFFFFE00u), 115u);
    bool wrapped = false;
    for (std::size_t i = 1; i < tickStarts.size(); ++i) {
        uint32_t gap = tickStarts[i] - tickStarts[i - 1];
        EXPECT_GE(gap, 103u) << "tick " << i;  // 100 ms after the previous tick ended
        EXPECT_LE(gap, 115u) << "tick " << i;
        if (tickStarts[i] < tickStarts[i - 1]) wrapped = true;
    }
    EXPECT_TRUE(wrapped);
    // A pass of 4 ms (1 ms of events, 3 ms of tick) is followed by 100 ms of
    // sleep; passes without a tick sleep 10 ms.
    for (uint32_t s : sleeps) EXPECT_TRUE(s == 10u || s == 100u) << s;
}

TEST(TickLoop, QuitMessageEndsTheLoopBeforeAnotherTick) {
    uint32_t clock = 0;
    int ticks = 0;
    bool quit = false;
    LoopPlatform platform;
    platform.clock = [&] { return clock; };
    platform.sleep = [&](uint32_t ms) { clock += ms; };
    platform.pumpEvents = [&] { return !quit; };
    runLoop(platform, [&] {
        // The fourth tick destroys the window: its quit message is taken in
        // the next pass.
        if (++ticks == 4) quit = true;
    });
    EXPECT_EQ(ticks, 4);
}
