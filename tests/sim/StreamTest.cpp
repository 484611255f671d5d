#include "Helpers.h"
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>
#include <cmath>
#include <cstdlib>

using namespace SimTest;

namespace {

std::int16_t s16(const std::string& body, std::size_t at)
{
    return static_cast<std::int16_t>((static_cast<std::uint8_t>(body[at]) << 8) | static_cast<std::uint8_t>(body[at + 1]));
}

/// Pod 0x100001 at network position 3, streaming; returns the time transmission started.
Micros startStreaming(Simulator& sim, Pod& pod, bool wideFrames)
{
    select(sim, pod.serial());
    exchange(sim, Wire::WriteController, Wire::FRAME_MODE, wideFrames ? 1 : 0);
    exchange(sim, Wire::WriteSlave, Wire::TDMA_DELAY, 901);
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0303);
    Micros start = sim.clock().now();
    // 2500 ticks of 2000 ns: 200 Hz.
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
    return start;
}

std::string nextMessage(Simulator& sim)
{
    EXPECT_TRUE(sim.waitForOutput(sim.clock().now() + 500000));
    return sim.take();
}

} // namespace

TEST(SimStream, WideFrameFieldsAndTiming)
{
    Simulator sim;
    Pod& pod = sim.addPod(0x100001);
    pod.setButton(true);
    Micros start = startStreaming(sim, pod, true);

    // Slot delay 901 x 1.5 us after the period start, then every 5 ms.
    std::string first = nextMessage(sim);
    EXPECT_EQ(start + 1351, sim.clock().now());
    ASSERT_EQ(27u, first.size());
    EXPECT_EQ("55 aa 55 aa 01 03 00 00", Wire::toHex(first.substr(0, 8)));
    const std::string body = first.substr(5);
    const PodSample& sample = pod.lastSample();
    for (unsigned k = 0; k < 3; ++k) {
        EXPECT_EQ(sample.acc[k], s16(body, 3 + 2 * k));
        EXPECT_EQ(sample.mag[k], s16(body, 9 + 2 * k));
        EXPECT_EQ(sample.gyr[k], s16(body, 15 + 2 * k));
    }
    // Button pressed, battery level 6.
    EXPECT_EQ(0x0D, static_cast<std::uint8_t>(body[21]));
    double g = std::sqrt(double(sample.acc[0]) * sample.acc[0] + double(sample.acc[1]) * sample.acc[1] +
                         double(sample.acc[2]) * sample.acc[2]);
    EXPECT_NEAR(512.0, g, 12.0); // 8g at power-on
    EXPECT_NEAR(295, sample.gyr[0], 3); // 18 deg/s about x

    std::string second = nextMessage(sim);
    EXPECT_EQ(start + 6351, sim.clock().now());
    EXPECT_EQ("55 aa 55 aa 01 03 00 01", Wire::toHex(second.substr(0, 8)));

    // The frame number wraps at 16 bits.
    pod.setNextFrameNumber(0xFFFF);
    EXPECT_EQ("ff ff", Wire::toHex(nextMessage(sim).substr(6, 2)));
    EXPECT_EQ("00 00", Wire::toHex(nextMessage(sim).substr(6, 2)));

    // Gyroscope off: zeros on the wire.
    pod.setRegisterValue(Wire::GYR_CTRL, 0);
    EXPECT_EQ("00 00 00 00 00 00", Wire::toHex(nextMessage(sim).substr(20, 6)));

    // Stopping transmission ends the stream; frames already due still arrive.
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 2500));
    sim.advance(20000);
    sim.take();
    sim.advance(100000);
    EXPECT_EQ(0u, sim.available());
}

TEST(SimStream, OlderFirmwareLayoutAndNarrowFrames)
{
    Simulator sim;
    Pod& pod = sim.addPod(0x100001);
    pod.setFirmwareVersion(1, 14);
    startStreaming(sim, pod, true);
    std::string body = nextMessage(sim).substr(5);
    const PodSample& sample = pod.lastSample();
    // Decoding of firmware 1.0-1.14: the same positions, other axes, accelerometer x16.
    EXPECT_EQ(sample.acc[0], s16(body, 5) / 16);
    EXPECT_EQ(sample.acc[1], -(s16(body, 3) / 16));
    EXPECT_EQ(sample.acc[2], -(s16(body, 7) / 16));
    EXPECT_EQ(sample.mag[0], -s16(body, 11));
    EXPECT_EQ(sample.mag[1], s16(body, 9));
    EXPECT_EQ(sample.mag[2], s16(body, 13));
    EXPECT_EQ(sample.gyr[0], -s16(body, 17));
    EXPECT_EQ(sample.gyr[1], s16(body, 15));
    EXPECT_EQ(sample.gyr[2], s16(body, 19));

    Simulator narrow;
    Pod& p2 = narrow.addPod(0x100001);
    p2.setBatteryLevel(2);
    startStreaming(narrow, p2, false);
    std::string frame = nextMessage(narrow);
    ASSERT_EQ(21u, frame.size());
    body = frame.substr(5);
    EXPECT_EQ(p2.lastSample().acc[2], s16(body, 7));
    EXPECT_EQ(p2.lastSample().mag[0], s16(body, 9));
    EXPECT_EQ(0x04, static_cast<std::uint8_t>(body[15]));
}

TEST(SimStream, OnlyPodsOnTheChannelStreamAndOfferedRate)
{
    Simulator sim;
    Pod& near = sim.addPod(0x100001);
    Pod& far = sim.addPod(0x100002);
    select(sim, far.serial());
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0301);
    far.setChannelCode(0x46);
    startStreaming(sim, near, true);
    sim.advance(100000);
    EXPECT_EQ(20u, sim.recorder().count(Record::Frame));
    EXPECT_EQ(0u, far.framesSent());

    // Ten times the radio's rate on request.
    sim.recorder().clear();
    sim.setOfferedRate(2000.0);
    sim.advance(100000);
    EXPECT_NEAR(200.0, double(sim.recorder().count(Record::Frame)), 1.0);
}

TEST(SimStream, PairingReportsAndBusyChannelNoise)
{
    Simulator sim;
    sim.addPod(0x100001);
    Pod& pairing = sim.addPod(0xA0BEEF);
    pairing.setPairing(true);
    exchange(sim, Wire::WriteController, Wire::PAIRING_CTRL, 1);
    EXPECT_EQ("55 aa 55 aa 06 a0 be ef", Wire::toHex(nextMessage(sim)));
    EXPECT_EQ("55 aa 55 aa 06 a0 be ef", Wire::toHex(nextMessage(sim)));
    EXPECT_EQ(2u, sim.recorder().count(Record::PairingReport));

    // Idle: no reports, no noise, even on a busy channel.
    exchange(sim, Wire::WriteController, Wire::PAIRING_CTRL, 0);
    sim.setBusyChannel(0);
    sim.advance(1000000);
    sim.take();
    EXPECT_EQ(0u, sim.recorder().count(Record::Noise));

    // Listening on the busy channel hears noise within a few ms; on a quiet one nothing.
    exchange(sim, Wire::WriteController, Wire::PAIRING_CTRL, 2);
    Micros t0 = sim.clock().now();
    EXPECT_TRUE(sim.waitForOutput(t0 + 10000));
    EXPECT_GT(sim.take().size(), 0u);
    exchange(sim, Wire::WriteController, Wire::RF_CHANNEL, 0x0F00 | Wire::channelCode(5));
    sim.take();
    EXPECT_FALSE(sim.waitForOutput(sim.clock().now() + 1000000));
}

TEST(SimStream, AccelerometerCountsFollowTheRange)
{
    // ACC_CTRL code, counts per g, the host's factor on the factory gain (measured at 4g).
    const struct
    {
        std::uint16_t code;
        double countsPerG, factor;
    } ranges[] = {{0, 2048, 0.5}, {1, 1024, 1.0}, {3, 512, 2.0}};
    for (const auto& r : ranges) {
        Simulator sim;
        Pod& pod = sim.addPod(0x100001);
        select(sim, pod.serial());
        EXPECT_EQ(hexReply(Wire::WriteSlave, Wire::ACC_CTRL, r.code), exchange(sim, Wire::WriteSlave, Wire::ACC_CTRL, r.code));
        startStreaming(sim, pod, true);
        const std::string body = nextMessage(sim).substr(5);
        double norm = 0;
        for (unsigned k = 0; k < 3; ++k) norm += double(s16(body, 3 + 2 * k)) * s16(body, 3 + 2 * k);
        norm = std::sqrt(norm);
        EXPECT_NEAR(r.countsPerG, norm, 6.0) << r.code;
        // At rest the scaled factory gain gives gravity at every range.
        EXPECT_NEAR(9.80665, norm * 9.80665 / 1024.0 * r.factor, 0.06) << r.code;
    }

    // The older layout's x16 saturates at 2g instead of wrapping round. This serial starts
    // with z nearly along gravity, where 2048 x 16 no longer fits.
    Simulator sim;
    Pod& pod = sim.addPod(0x0FFF00);
    pod.setFirmwareVersion(1, 14);
    pod.setRegisterValue(Wire::ACC_CTRL, 0);
    startStreaming(sim, pod, true);
    int saturated = 0;
    for (int i = 0; i < 40; ++i) {
        const std::string body = nextMessage(sim).substr(5);
        const PodSample& sample = pod.lastSample();
        const int wire[3] = {s16(body, 5), -s16(body, 3), -s16(body, 7)};
        for (unsigned k = 0; k < 3; ++k) {
            const int exact = sample.acc[k] * 16;
            saturated += exact > 32767 || exact < -32768;
            EXPECT_NEAR(std::max(-32768, std::min(32767, exact)), wire[k], 1) << i << " " << k;
        }
    }
    EXPECT_GT(saturated, 0);
}

TEST(SimStream, PodsOfOneNetworkShareTheFrameCount)
{
    Simulator sim;
    Pod& a = sim.addPod(0x100001);
    Pod& b = sim.addPod(0x100002);
    PodConfig own;
    own.serial = 0x100003;
    own.frameNumberOffset = 1000;
    sim.addPod(own);
    select(sim, 0x100001);
    exchange(sim, Wire::WriteSlave, Wire::TDMA_DELAY, 1);
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0300);
    select(sim, 0x100003);
    exchange(sim, Wire::WriteSlave, Wire::TDMA_DELAY, 601);
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0302);
    select(sim, 0x100002);
    exchange(sim, Wire::WriteSlave, Wire::TDMA_DELAY, 301);
    sim.take();

    // 5 ms periods; frames 1 us (delay 1) and 901 us (delay 601) into each.
    auto startAt = [&] {
        const Micros start = sim.clock().now();
        sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
        return start;
    };
    auto frames = [&](Micros until) {
        sim.recorder().clear();
        sim.advanceTo(until);
        sim.take();
        std::vector<std::string> out;
        for (const Record& r : sim.recorder().of(Record::Frame))
            out.push_back(std::to_string(r.time) + " " + Wire::toHex(r.bytes.substr(5, 3)));
        return out;
    };
    Micros t = startAt();
    sim.advanceTo(t + 495000);
    // Period 99: 0x63, the offset pod 1099 = 0x44b.
    EXPECT_EQ((std::vector<std::string>{std::to_string(t + 495001) + " 00 00 63",
                                        std::to_string(t + 495901) + " 02 04 4b"}),
              frames(t + 500000));

    // A pod joining during transmission counts from the same origin: period 100, its
    // frame 301 x 1.5 us = 451 us into it. Writes get no echo while streaming.
    sim.feed(Wire::request(Wire::WriteSlave, Wire::ID, 0x0301));
    EXPECT_EQ((std::vector<std::string>{std::to_string(t + 500001) + " 00 00 64",
                                        std::to_string(t + 500451) + " 01 00 64",
                                        std::to_string(t + 500901) + " 02 04 4c"}),
              frames(t + 505000));

    // A new transmission starts the count again.
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 2500));
    sim.advance(10000);
    sim.take();
    t = startAt();
    EXPECT_EQ((std::vector<std::string>{std::to_string(t + 1) + " 00 00 00", std::to_string(t + 451) + " 01 00 00",
                                        std::to_string(t + 901) + " 02 03 e8"}),
              frames(t + 1000));
    EXPECT_EQ(1u, a.nextFrameNumber());
    EXPECT_EQ(1u, b.nextFrameNumber());
}

TEST(SimStream, DroppedFramesAreCountedButNeverSent)
{
    Simulator sim;
    Pod& pod = sim.addPod(0x100001);
    startStreaming(sim, pod, true);
    sim.faults().dropFrame = 1.0;
    // 200 Hz: ten periods, ten frames lost, nothing on the wire.
    sim.advance(50000);
    EXPECT_EQ(0u, sim.available());
    const auto lost = sim.recorder().of(Record::Frame);
    ASSERT_EQ(10u, lost.size());
    for (const Record& r : lost) EXPECT_TRUE(r.bytes.empty());

    sim.faults().dropFrame = 0.0;
    std::string next = nextMessage(sim);
    ASSERT_EQ(27u, next.size());
    // Frame numbers 0-9 went missing; the next one carries 10 (bytes 6-7, big-endian).
    EXPECT_EQ("00 0a", Wire::toHex(next.substr(6, 2)));
}

// The simulator keeps its schedule between steps and only looks again when something changed:
// every change made from outside while streaming must show in the very next frames.
TEST(SimStream, ChangesFromOutsideTakeEffectAtTheNextStep)
{
    Simulator sim;
    Pod& pod = sim.addPod(0x100001);
    const Micros start = startStreaming(sim, pod, true);
    nextMessage(sim);
    const auto framesIn = [&](Micros span) {
        sim.take();
        const Micros until = sim.clock().now() + span;
        unsigned frames = 0;
        while (sim.waitForOutput(until)) frames += static_cast<unsigned>(sim.take().size() / 27);
        return frames;
    };
    EXPECT_EQ(4u, framesIn(20000));

    pod.setReachable(false);
    EXPECT_EQ(0u, framesIn(20000)) << "an unreachable pod goes quiet";
    pod.setReachable(true);
    EXPECT_EQ(4u, framesIn(20000));

    pod.setChannelCode(0x46);
    EXPECT_EQ(0u, framesIn(20000)) << "a pod on another channel is not heard";
    pod.setChannelCode(0);
    EXPECT_EQ(4u, framesIn(20000));

    pod.setRegisterValue(Wire::ID, 0x0003);
    EXPECT_EQ(0u, framesIn(20000)) << "streaming bits cleared";
    pod.setRegisterValue(Wire::ID, 0x0303);
    EXPECT_EQ(4u, framesIn(20000));

    // 1250 ticks of 2000 ns: the period halves at once.
    sim.controller().setRegisterValue(Wire::TDMA_PERIOD, 0x8000 | 1250);
    EXPECT_EQ(8u, framesIn(20000));

    pod.setPowered(false);
    EXPECT_EQ(0u, framesIn(20000)) << "a pod switched off";
    EXPECT_GT(sim.clock().now(), start);
}
