#include "SimHarness.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace FilterTests;
using DRFN3Internal::Matrix;
using DRFN3Internal::Sensor;

// A host's device thread calls process() while its user-interface thread connects, starts,
// reconfigures and stops, and a third thread reads a pod's output: nothing may race.
TEST(FilterThreads, UserInterfaceAndDeviceThreadsTogether)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002, 0xA10003});
    h.set("Frequency", "100");
    h.set("serial", "A10001 A10002");

    Quillmesh::Core::PinManager owner("reader");
    Quillmesh::Core::InputPin<Matrix> frames("frames", &owner);
    {
        Quillmesh::Core::Synchronizer::DisablerLocker lock(&h.filter->getSynchronizer());
        h.filter->getOutputs(0xA10001)->frameInfoPin().attach(frames);
    }

    std::atomic<bool> stop{false};
    std::atomic<long> processed{0};
    std::atomic<long> read{0};
    std::atomic<bool> wentBackwards{false};
    // Counts restart with each transmission, so order is checked within a round only; the
    // reader acknowledges a new round before the next start.
    std::atomic<int> round{0};
    std::atomic<int> readerRound{0};

    std::thread device([&] {
        while (!stop)
        {
            h.process();
            ++processed;
            std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        double lastCount = -1.0;
        while (!stop)
        {
            if (readerRound != round)
            {
                lastCount = -1.0;
                readerRound = round.load();
            }
            if (const auto* data = frames.getData())
            {
                const double count = data->data(0, 0);
                if (count < lastCount) wentBackwards = true;
                lastCount = count;
                frames.release();
                ++read;
            }
            std::this_thread::yield();
        }
    });

    const auto waitForFrames = [&](long more) {
        const long target = read + more;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (read < target && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return read >= target;
    };

    const auto nextRound = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (frames.hasData() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++round;
        while (readerRound != round && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return readerRound == round;
    };

    for (int r = 0; r < 3; ++r)
    {
        if (!nextRound())
        {
            ADD_FAILURE() << "the reader did not catch up before round " << r;
            break;
        }
        h.set("connection", "1");
        h.set("transmission", "1");
        EXPECT_TRUE(waitForFrames(20)) << "round " << r;
        EXPECT_THROW(h.set("serial", "A10001"), Poco::NoPermissionException);
        EXPECT_THROW(h.set("Acc mode", "0"), Poco::NoPermissionException);
        h.set("transmission", "0");
        h.set("Acc mode", r % 2 ? "2" : "1");
        // Pins of the pods that join and leave are built and destroyed under the device thread's feet.
        h.set("serial", r % 2 ? "A10001 A10002" : "A10001 A10003 A10002");
        h.run("Read Calib");
        h.set("connection", "0");
    }
    stop = true;
    device.join();
    reader.join();
    EXPECT_FALSE(wentBackwards);
    EXPECT_GT(processed.load(), 0);
    EXPECT_FALSE(h.filter->hasController());
}
