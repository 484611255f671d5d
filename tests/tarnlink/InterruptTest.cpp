#include "ScriptedChannel.h"
#include <Poco/Exception.h>
#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sleep.h>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace Tarnlink;
using Tests::ScriptedChannel;

namespace {

/// A check that says yes from its nth call on, and counts its calls.
struct CountingCheck
{
    explicit CountingCheck(int yesFrom) : yesFrom(yesFrom) {}
    InterruptCheck function()
    {
        return [this] { return ++calls >= yesFrom; };
    }
    int yesFrom;
    int calls = 0;
};

} // namespace

TEST(Interrupt, ScopeTripsOnceNestsAndStaysOnItsThread)
{
    pollInterrupt(); // no scope: nothing happens
    EXPECT_FALSE(interruptible());

    CountingCheck outerCheck(1);
    InterruptScope outer(outerCheck.function());
    {
        CountingCheck innerCheck(3);
        InterruptScope inner(innerCheck.function());
        EXPECT_TRUE(interruptible());
        pollInterrupt();
        pollInterrupt();
        EXPECT_FALSE(inner.tripped());
        EXPECT_THROW(pollInterrupt(), InterruptedException);
        EXPECT_TRUE(inner.tripped());
        EXPECT_FALSE(interruptible());
        // Tripped: the clean-up polls freely and the check is not asked again.
        pollInterrupt();
        pollInterrupt();
        EXPECT_EQ(3, innerCheck.calls);
        EXPECT_EQ(0, outerCheck.calls);

        bool otherThreadThrew = true;
        std::thread other([&] {
            try
            {
                pollInterrupt();
                otherThreadThrew = false;
            }
            catch (...)
            {
            }
        });
        other.join();
        EXPECT_FALSE(otherThreadThrew);
        EXPECT_EQ(0, outerCheck.calls);
    }

    {
        const InterruptShield shield;
        EXPECT_FALSE(interruptible());
        pollInterrupt();
        EXPECT_EQ(0, outerCheck.calls);
    }
    try
    {
        pollInterrupt();
        ADD_FAILURE() << "the outer scope is back and its check says yes";
    }
    catch (const Poco::RuntimeException& e)
    {
        // Callers that know only the POCO family still see it.
        EXPECT_STREQ("Interrupted", e.name());
    }
    EXPECT_TRUE(outer.tripped());
}

TEST(Interrupt, LongWaitsArePolledEveryHundredMillisecondsThroughTheSleepHook)
{
    std::vector<unsigned long> waits;
    unsigned long waited = 0;
    {
        ScopedSleepFunction clock([&](unsigned long ms) {
            waits.push_back(ms);
            waited += ms;
        });
        sleepMilliseconds(1000);
        {
            ScopedSleepFunction inner([&](unsigned long ms) { waits.push_back(ms + 5000); });
            sleepMilliseconds(1);
        }
        EXPECT_EQ((std::vector<unsigned long>{1000, 5001}), waits) << "hooks nest";

        waits.clear();
        waited = 0;
        // A stop asked for 250 ms into a 1000 ms wait: seen at the poll after the third slice.
        InterruptScope scope([&] { return waited >= 250; });
        EXPECT_THROW(sleepMilliseconds(1000), InterruptedException);
        EXPECT_EQ((std::vector<unsigned long>{100, 100, 100}), waits);

        waits.clear();
        sleepMilliseconds(230); // tripped: the wait is whole again
        EXPECT_EQ((std::vector<unsigned long>{230}), waits);
    }
    EXPECT_FALSE(setSleepFunction(nullptr)) << "the real clock is back, no hook left";
}

TEST(Interrupt, RegisterRetriesStopBeforeARequestGoesOut)
{
    Poco::AutoPtr<ScriptedChannel> channel(new ScriptedChannel);
    Poco::AutoPtr<Protocol> protocol(new Protocol(channel.get()));
    ControllerV1 controller(protocol.get());

    // The channel never answers: each attempt writes one whole request and times out.
    CountingCheck check(3);
    InterruptScope scope(check.function());
    EXPECT_THROW(controller.setChannel(1), InterruptedException);
    ASSERT_EQ(2u, channel->writes().size());
    EXPECT_EQ(16u, channel->written().size());
    EXPECT_FALSE(controller.getMemory().getRegister(CtrlReg::RF_CHANNEL).isSynced());

    // The clean-up that follows reaches the device, every one of its 10 attempts.
    channel->clearWritten();
    EXPECT_THROW(controller.setChannel(0), Poco::IOException);
    EXPECT_EQ(10u, channel->writes().size());
}
