#include "SimHarness.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace FilterTests;
using DRFN3Internal::Sensor;

namespace {

/// Streams until each record has published at least this many frames.
void streamFrames(Harness& h, const std::vector<std::uint32_t>& serials, std::uint64_t count)
{
    std::map<std::uint32_t, std::uint64_t> start;
    for (std::uint32_t s : serials) start[s] = h.simulator.pod(s)->framesSent();
    const Sim::Micros limit = h.simulator.clock().now() + 5000000;
    for (;;)
    {
        bool done = true;
        for (std::uint32_t s : serials) done = done && h.simulator.pod(s)->framesSent() >= start[s] + count;
        if (done) return;
        ASSERT_LT(h.simulator.clock().now(), limit) << "no frames";
        h.process();
        ASSERT_EQ("1", h.get("transmission"));
    }
}

} // namespace

// The controller vanishes while streaming: within three frame reads the filter says so and
// lets go of it; once it is back, the same filter connects and streams again. Done at
// several moments so the loss meets reads in different states.
TEST(Unplug, ControllerLostMidStreamIsReleasedAndComesBack)
{
    const std::vector<std::uint32_t> serials{0xA10001, 0xA10002};
    for (Sim::Micros after : {0, 1700, 5000, 9999, 250000})
    {
        SCOPED_TRACE("unplugged " + std::to_string(after) + " us into the stream");
        Harness h(Sim::Generation::Second, serials);
        h.set("Frequency", "100");
        h.connect("A10001 A10002");
        h.set("transmission", "1");
        streamFrames(h, serials, 20);
        if (HasFatalFailure()) return;

        h.simulator.disappearAt(h.simulator.clock().now() + after);
        if (after > 0) h.simulator.advance(after);
        int reads = 0;
        while (h.get("connection") == "1" && reads < 10)
        {
            h.process();
            ++reads;
        }
        EXPECT_LE(reads, 3);
        EXPECT_EQ("0", h.get("connection"));
        EXPECT_EQ("0", h.get("transmission"));
        EXPECT_EQ(nullptr, h.filter->getController()) << "the controller object is kept";
        // Connecting while it is gone leaves a faulty controller that cannot transmit;
        // disconnecting clears it.
        h.set("connection", "1");
        EXPECT_ANY_THROW(h.set("transmission", "1"));
        EXPECT_EQ("0", h.get("transmission"));
        h.set("connection", "0");
        EXPECT_EQ(nullptr, h.filter->getController());

        h.simulator.replug();
        h.set("connection", "1");
        h.set("transmission", "1");
        streamFrames(h, serials, 50);
        if (HasFatalFailure()) return;
        const auto& info = h.filter->getOutputs(0xA10002)->frameInfoPin().getData();
        EXPECT_GT(info.size(), 0);
        h.set("transmission", "0");
        h.set("connection", "0");
        for (std::uint32_t s : serials) EXPECT_FALSE(h.simulator.pod(s)->streamingEnabled());
    }
}

// Pulled during a calibration commit: the documented failure, and once it is back the pod is
// found on channel index 0 and a retried commit goes through.
TEST(Unplug, DuringACalibrationCommitFailsAndLeavesChannelZero)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
    h.connect("A10001 A10002");
    const unsigned channelZero = h.simulator.pod(0xA10001)->channelCode();
    auto* record = h.filter->getOutputs(0xA10001);
    record->gain(Sensor::Magnetometer) = DRFN3Internal::Matrix::Identity(3, 3) * 2.0;
    record->offset(Sensor::Magnetometer) = DRFN3Internal::Matrix::Constant(3, 1, 4.0);
    record->setWriteFlag(Sensor::Magnetometer, true);
    const auto manufacturing = h.simulator.pod(0xA10001)->calibrationGain(1, Sim::Pod::kManufacturingArea);

    // Half a second of virtual time is well inside the commit (erase waits and word writes).
    h.simulator.disappearAt(h.simulator.clock().now() + 500000);
    try
    {
        h.run("Write Calib");
        FAIL() << "a commit cut off by an unplug reported success";
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_EQ("Error while writing Drfn calib info", e.message());
    }
    EXPECT_TRUE(record->getWriteFlag(Sensor::Magnetometer));
    EXPECT_EQ(manufacturing, h.simulator.pod(0xA10001)->calibrationGain(1, Sim::Pod::kManufacturingArea));

    h.simulator.replug();
    h.set("connection", "0");
    h.set("connection", "1");
    // The pod went back to channel index 0 by itself or by the reconnect: it answers there.
    EXPECT_EQ(channelZero, h.simulator.pod(0xA10001)->channelCode());
    h.run("Write Calib");
    EXPECT_FALSE(record->getWriteFlag(Sensor::Magnetometer));
    const auto stored = h.simulator.pod(0xA10001)->calibrationGain(1);
    EXPECT_DOUBLE_EQ(2.0, stored[0]);
    EXPECT_DOUBLE_EQ(2.0, stored[8]);
}

#if defined(FAKEFTD2XX_PATH)
#include "FakeFtd2xx.h"

#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/Environment.h>

// A generation 1 controller behind the D2XX driver (the fake one, a simulator inside) whose
// handle starts failing mid-stream: the filter lets it go, its handle is closed, and once the
// controller is replugged the same filter streams again.
TEST(Unplug, D2xxControllerErrorMidStreamReleasesTheHandle)
{
    Poco::Environment::set(Poco::DeviceIO::Ftd2xx::Ftd2xxDriver::LIBRARY_VARIABLE, FAKEFTD2XX_PATH);
    fakeftd2xx_reset();
    const unsigned pods[] = {0xA10001};
    if (!fakeftd2xx_addSimController("SIM1", pods, 1)) GTEST_SKIP() << "fake built without the simulator";
    Sim::Simulator& sim = *static_cast<Sim::Simulator*>(fakeftd2xx_simulator("SIM1"));
    {
        // No simulator source: discovery finds the fake driver's controller, whose clock the waits follow.
        Harness h(Sim::Generation::Second, {}, false);
        Sim::ScopedVirtualSleep sleep(sim);
        auto streams = [&](std::uint64_t frames) {
            const std::uint64_t start = sim.pod(0xA10001)->framesSent();
            for (int cycle = 0; cycle < 100000 && sim.pod(0xA10001)->framesSent() < start + frames; ++cycle)
                h.process();
            return sim.pod(0xA10001)->framesSent() >= start + frames;
        };
        h.set("Frequency", "25");
        h.connect("A10001");
        h.set("transmission", "1");
        ASSERT_TRUE(streams(20));
        EXPECT_EQ(1, fakeftd2xx_openHandles("SIM1"));

        sim.disappearAt(sim.clock().now() + 10000);
        int reads = 0;
        while (h.get("connection") == "1" && reads < 10)
        {
            h.process();
            ++reads;
        }
        EXPECT_LE(reads, 3);
        EXPECT_EQ("0", h.get("connection"));
        EXPECT_EQ(nullptr, h.filter->getController());
        EXPECT_EQ(0, fakeftd2xx_openHandles("SIM1")) << "the handle is kept";

        sim.replug();
        h.set("connection", "1");
        h.set("transmission", "1");
        EXPECT_TRUE(streams(50));
        h.set("transmission", "0");
        h.set("connection", "0");
        EXPECT_EQ(0, fakeftd2xx_openHandles("SIM1"));
    }
    fakeftd2xx_reset();
}
#endif
