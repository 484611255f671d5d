#include <Tarnlink/Sleep.h>
#include <gtest/gtest.h>
#include <vector>

TEST(Sleep, HookReplacesClockAndRestores)
{
    std::vector<unsigned long> waits;
    {
        Tarnlink::ScopedSleepFunction scoped([&](unsigned long ms) { waits.push_back(ms); });
        Tarnlink::sleepMilliseconds(5);
        Tarnlink::sleepMilliseconds(30);
        {
            Tarnlink::ScopedSleepFunction inner([&](unsigned long ms) { waits.push_back(ms + 1000); });
            Tarnlink::sleepMilliseconds(1);
        }
        Tarnlink::sleepMilliseconds(2);
    }
    EXPECT_EQ((std::vector<unsigned long>{5, 30, 1001, 2}), waits);
    // Restored: the real clock is back, and no hook is left installed.
    Tarnlink::SleepFunction previous = Tarnlink::setSleepFunction(nullptr);
    EXPECT_FALSE(previous);
}
