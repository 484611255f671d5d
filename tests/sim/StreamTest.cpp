#include "Helpers.h"
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

using namespace SimTest;

namespace {

std::int16_t s16(const std::string& body, std::size_t at)
{
    return static_cast<std::int16_t>((static_cast<std::uint8_t>(body[at]) << 8) |
                                     static_cast<std::uint8_t>(body[at + 1]));
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

/// Body of the first frame of a transmission started so that this frame falls at `at`.
std::string frameBodyAt(Simulator& sim, Pod& pod, Micros at)
{
    select(sim, pod.serial());
    exchange(sim, Wire::WriteController, Wire::FRAME_MODE, 1);
    exchange(sim, Wire::WriteSlave, Wire::TDMA_DELAY, 0);
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0300);
    // No slot delay: the first frame comes one 5 ms period after the start.
    sim.advanceTo(at - 5000);
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
    const std::string frame = nextMessage(sim);
    EXPECT_EQ(at, sim.clock().now());
    return frame.substr(5);
}

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

/// What the host shows: gain x raw - offset, the gain scaled by factor.
Vec3 calibrated(const Mat3& gain, double factor, const int raw[3], const Vec3& offset)
{
    Vec3 out{};
    for (unsigned r = 0; r < 3; ++r)
    {
        for (unsigned c = 0; c < 3; ++c) out[r] += factor * gain[3 * r + c] * raw[c];
        out[r] -= offset[r];
    }
    return out;
}

double norm(const Vec3& v)
{
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

/// Largest error on one calibrated axis from up to `counts` wrong on every raw axis.
double axisError(const Mat3& gain, double factor, double counts)
{
    double worst = 0;
    for (unsigned r = 0; r < 3; ++r)
        worst = std::max(worst, counts * factor *
                                    (std::fabs(gain[3 * r]) + std::fabs(gain[3 * r + 1]) + std::fabs(gain[3 * r + 2])));
    return worst;
}

} // namespace

TEST(SimStream, WideFrameFieldsTimingAndDroppedFrames)
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
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_EQ(sample.acc[k], s16(body, 3 + 2 * k));
        EXPECT_EQ(sample.mag[k], s16(body, 9 + 2 * k));
        EXPECT_EQ(sample.gyr[k], s16(body, 15 + 2 * k));
    }
    // Button pressed, battery level 6.
    EXPECT_EQ(0x0D, static_cast<std::uint8_t>(body[21]));

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

    // Dropped frames are counted but never sent: nine periods lost, the next one carries its number.
    sim.recorder().clear();
    sim.faults().dropFrame = 1.0;
    sim.advance(47500);
    EXPECT_EQ(0u, sim.available());
    const auto lost = sim.recorder().of(Record::Frame);
    ASSERT_EQ(9u, lost.size());
    for (const Record& r : lost) EXPECT_TRUE(r.bytes.empty());
    sim.faults().dropFrame = 0.0;
    EXPECT_EQ("00 0b", Wire::toHex(nextMessage(sim).substr(6, 2)));

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

TEST(SimStream, CalibratedSamplesAreThePhysicalValues)
{
    // Noise is cut at 4 sigma on each axis, and rounding adds half a count carried through the gain.
    for (bool older : {false, true})
    {
        Simulator sim;
        Pod& pod = sim.addPod(0xA01234);
        if (older) pod.setFirmwareVersion(1, 14);
        startStreaming(sim, pod, true);
        // What the host reads from the pod; at power-on the range is 8g, so it doubles the gain.
        const Mat3 acc = pod.calibrationGain(0), mag = pod.calibrationGain(1), gyr = pod.calibrationGain(2);
        const SensorModel& noise = pod.sensors();
        const double accTolerance = 4 * noise.accelerometerNoise + axisError(acc, 2.0, 0.5);
        const double magTolerance = 4 * noise.magnetometerNoise + axisError(mag, 1.0, 0.5);
        const double gyrTolerance = 4 * noise.gyroscopeNoise + axisError(gyr, 1.0, 0.5);
        for (int i = 0; i < 200; ++i)
        {
            const std::string body = nextMessage(sim).substr(5);
            const MotionTruth truth = sim.truth(pod.serial(), sim.clock().now());
            int a[3], m[3], w[3];
            for (unsigned k = 0; k < 3; ++k)
            {
                a[k] = s16(body, 3 + 2 * k);
                m[k] = s16(body, 9 + 2 * k);
                w[k] = s16(body, 15 + 2 * k);
            }
            if (older)
            {
                const int a0[3] = {a[0], a[1], a[2]}, m0[3] = {m[0], m[1], m[2]}, w0[3] = {w[0], w[1], w[2]};
                a[0] = a0[1] / 16, a[1] = -(a0[0] / 16), a[2] = -(a0[2] / 16);
                m[0] = -m0[1], m[1] = m0[0], m[2] = m0[2];
                w[0] = -w0[1], w[1] = w0[0], w[2] = w0[2];
            }
            const Vec3 force = calibrated(acc, 2.0, a, pod.calibrationOffset(0));
            const Vec3 field = calibrated(mag, 1.0, m, pod.calibrationOffset(1));
            const Vec3 turn = calibrated(gyr, 1.0, w, pod.calibrationOffset(2));
            // Gravity and an Earth field of 47.4 uT, however the pod is turned.
            EXPECT_NEAR(9.80665, norm(force), std::sqrt(3.0) * accTolerance) << i;
            EXPECT_NEAR(47.4, norm(field), std::sqrt(3.0) * magTolerance) << i;
            for (unsigned k = 0; k < 3; ++k)
            {
                EXPECT_NEAR(truth.specificForce()[k], force[k], accTolerance) << i;
                EXPECT_NEAR(truth.fieldInPod()[k], field[k], magTolerance) << i;
                EXPECT_NEAR(truth.angularVelocity[k], turn[k], gyrTolerance) << i;
            }
        }
    }

    // Another calibration written by a user changes what the host computes, not what the pod
    // measures: the same seed streams the same bytes.
    std::string streams[2];
    for (int rewritten = 0; rewritten < 2; ++rewritten)
    {
        Simulator sim;
        Pod& pod = sim.addPod(0xA01234);
        if (rewritten)
        {
            // G(0, 0) and the offset's x of every set, working area.
            for (std::uint32_t set : {0x0Cu, 0x7Cu, 0x100u})
            {
                pod.eeprom().pokeReal(Pod::kWorkingArea + set + 16, 1.0);
                pod.eeprom().pokeReal(Pod::kWorkingArea + set + 88, 0.0);
            }
        }
        startStreaming(sim, pod, true);
        for (int i = 0; i < 20; ++i) streams[rewritten] += nextMessage(sim);
    }
    EXPECT_EQ(streams[0], streams[1]);
}

TEST(SimStream, AccelerometerCountsFollowTheRange)
{
    // Pod 0xA1370C at 14 s. Its serial is 10565388, 108 modulo 360, so it has turned by
    // 18 deg/s x 14 s + 108 deg = 360 deg about x, and the wobble 0.2 sin(2 pi 14 / 7) is 0:
    // it lies flat and the accelerometer feels (0, 0, 9.80665) m/s^2.
    // Accelerometer calibration of this serial (set 0):
    //   row z of the gain: diagonal 1 + 0.01 x ((serial + 2) mod 5) = 1, cross terms
    //   (serial >> 2) mod 3 = 2641347 mod 3 = 0 and (serial >> 5) mod 3 = 330168 mod 3 = 0,
    //   so G_z = (0, 0, 9.80665 / 1024);
    //   offset z: bits 6-8 of the serial are 4, so 0.04 x (1 + 4) = 0.20, bit 14 clear: +0.20;
    //   row y: diagonal 1 + 0.01 x ((serial + 1) mod 5) = 1.04, cross terms (serial >> 1) mod 3
    //   and (serial >> 7) mod 3 both 0; offset y: bits 3-5 are 1, 0.08, bit 13 set: -0.08.
    // So at 4g z = 1024 x (9.80665 + 0.20) / 9.80665 = 1044.88 counts, y = -0.08 x 1024 /
    // (9.80665 x 1.04) = -8.03; the host's gain factor 0.5 at 2g doubles them, 2 at 8g halves.
    const struct
    {
        std::uint16_t code;
        double z;
    } ranges[] = {{0, 2089.77}, {1, 1044.88}, {3, 522.44}};
    const Micros at = 14000000;
    for (const auto& r : ranges)
    {
        Simulator sim;
        Pod& pod = sim.addPod(0xA1370C);
        pod.sensors().accelerometerNoise = 0;
        select(sim, pod.serial());
        EXPECT_EQ(hexReply(Wire::WriteSlave, Wire::ACC_CTRL, r.code),
                  exchange(sim, Wire::WriteSlave, Wire::ACC_CTRL, r.code));
        const std::string body = frameBodyAt(sim, pod, at);
        // Without noise: half a count of rounding.
        EXPECT_NEAR(r.z, s16(body, 7), 0.5) << r.code;
        EXPECT_NEAR(-8.03 * pod.accelerometerCountsPerG() / 1024.0, s16(body, 5), 0.5) << r.code;
    }

    // The older layout's x16 saturates instead of wrapping round: 2090 x 16 does not fit, and
    // z goes out negated, so it reads -32768.
    Simulator sim;
    Pod& pod = sim.addPod(0xA1370C);
    pod.setFirmwareVersion(1, 14);
    pod.setRegisterValue(Wire::ACC_CTRL, 0);
    EXPECT_EQ(-32768, s16(frameBodyAt(sim, pod, at), 7));
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
    EXPECT_EQ(
        (std::vector<std::string>{std::to_string(t + 495001) + " 00 00 63", std::to_string(t + 495901) + " 02 04 4b"}),
        frames(t + 500000));

    // A pod joining during transmission counts from the same origin: period 100, its
    // frame 301 x 1.5 us = 451 us into it. Writes get no echo while streaming.
    sim.feed(Wire::request(Wire::WriteSlave, Wire::ID, 0x0301));
    EXPECT_EQ(
        (std::vector<std::string>{std::to_string(t + 500001) + " 00 00 64", std::to_string(t + 500451) + " 01 00 64",
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
    // An offered rate replaces the period (2000 Hz: 40 in 20 ms), until it is taken back.
    sim.setOfferedRate(2000.0);
    EXPECT_NEAR(40.0, framesIn(20000), 1.0);
    sim.setOfferedRate(0);
    EXPECT_EQ(8u, framesIn(20000));

    pod.setPowered(false);
    EXPECT_EQ(0u, framesIn(20000)) << "a pod switched off";
    EXPECT_GT(sim.clock().now(), start);
}
