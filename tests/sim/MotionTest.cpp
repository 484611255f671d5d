#include "Helpers.h"
#include <Poco/Exception.h>
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>
#include <cmath>

using namespace SimTest;

namespace {

const double kPi = 3.14159265358979323846;
const double g = 9.80665;
// The Earth's field, 47.4 uT dipping 60 degrees: 23.7 uT north, 41.0496 uT down.
const double H = 23.7, V = 41.04960;

/// The pod's reading as the host computes it from the counts: factory gain x raw - offset,
/// the accelerometer gain scaled by 0.5, 1 or 2 for the 2g, 4g and 8g ranges.
Vector3 reading(Pod& pod, unsigned set, const std::array<std::int16_t, 3>& raw)
{
    const auto gain = pod.factoryGain(set);
    const auto offset = pod.factoryOffset(set);
    const double factor = set == 0 ? 1024.0 / pod.accelerometerCountsPerG() : 1.0;
    Vector3 out{};
    for (unsigned r = 0; r < 3; ++r)
    {
        for (unsigned c = 0; c < 3; ++c) out[r] += factor * gain[3 * r + c] * raw[c];
        out[r] -= offset[r];
    }
    return out;
}

/// A pod without noise, so that only rounding to counts separates its readings from the truth.
Pod& quietPod(Simulator& sim, std::uint32_t serial = 0x100001)
{
    Pod& pod = sim.addPod(serial);
    pod.sensors().accelerometerNoise = 0;
    pod.sensors().magnetometerNoise = 0;
    pod.sensors().gyroscopeNoise = 0;
    return pod;
}

void expectReadings(Pod& pod, Micros t, const Vector3& acc, const Vector3& mag, const Vector3& gyr)
{
    const PodSample s = pod.measure(t);
    // Half a count: 0.01 m/s^2 at 8g, 0.05 uT, 0.0005 rad/s.
    const Vector3 a = reading(pod, 0, s.acc), m = reading(pod, 1, s.mag), w = reading(pod, 2, s.gyr);
    for (unsigned k = 0; k < 3; ++k)
    {
        EXPECT_NEAR(acc[k], a[k], 0.012) << "accelerometer " << k << " at " << t;
        EXPECT_NEAR(mag[k], m[k], 0.06) << "magnetometer " << k << " at " << t;
        EXPECT_NEAR(gyr[k], w[k], 0.0006) << "gyroscope " << k << " at " << t;
    }
}

} // namespace

TEST(SimMotion, SensorsFollowSimpleMotionsWorkedByHand)
{
    Simulator sim;
    Pod& pod = quietPod(sim);
    // Level, facing north: gravity's reaction on z, the field north and down.
    pod.setMotion(MotionScript::turns({{{0, 0, 1}, 90, 1, 1}}, Quaternion(), false));
    expectReadings(pod, 0, {0, 0, g}, {H, 0, -V}, {0, 0, 0});
    // Halfway through a 1 - cos turn of 90 degrees in 1 s: 45 degrees done, the rate at its
    // peak of twice the mean, pi rad/s. The field turns back by 45 degrees in the pod.
    const double c = H * std::sqrt(0.5);
    expectReadings(pod, 500000, {0, 0, g}, {c, -c, -V}, {0, 0, kPi});
    // Turned 90 degrees toward west: north is now along the pod's -y, gravity still on z.
    expectReadings(pod, 1500000, {0, 0, g}, {0, -H, -V}, {0, 0, 0});
    const MotionTruth turned = sim.truth(pod.serial(), 1500000);
    EXPECT_NEAR(std::sqrt(0.5), turned.orientation.w, 1e-12);
    EXPECT_NEAR(std::sqrt(0.5), turned.orientation.z, 1e-12);

    // 90 deg/s about x from level: after 1 s the pod's y points up and its z east.
    pod.setMotion(MotionScript::spin({1, 0, 0}, 90));
    const double rate = kPi / 2;
    expectReadings(pod, 1000000, {0, g, 0}, {H, -V, 0}, {rate, 0, 0});

    // The default: one turn about x in 20 s with the wobble about y, 0.2 sin(2 pi t / 7) rad,
    // whose rate 0.2 x 2 pi / 7 = 0.17952 rad/s is largest when the wobble is 0.
    Pod& other = quietPod(sim, 360 * 3000); // serial mod 360 is 0: starts level
    expectReadings(other, 0, {0, 0, g}, {H, 0, -V}, {2 * kPi / 20, 0.17952, 0});
    // At 3.5 s the wobble is back at 0, its rate reversed, and the pod 63 degrees about x.
    const double theta = 2 * kPi / 20 * 3.5;
    expectReadings(other, 3500000, {0, g * std::sin(theta), g * std::cos(theta)},
                   {H, -V * std::sin(theta), -V * std::cos(theta)}, {2 * kPi / 20, -0.17952, 0});

    // A 1 g push north and 30 uT more toward west, each for 2 s from 1 s: felt only meanwhile.
    pod.setMotion(MotionScript::rest(Quaternion()).addBurst(1, 2, {g, 0, 0}).addDisturbance(1, 2, {0, 30, 0}));
    expectReadings(pod, 500000, {0, 0, g}, {H, 0, -V}, {0, 0, 0});
    expectReadings(pod, 2000000, {g, 0, g}, {H, 30, -V}, {0, 0, 0});
    expectReadings(pod, 3000000, {0, 0, g}, {H, 0, -V}, {0, 0, 0});

    // A gyroscope bias shows as such.
    pod.sensors().gyroscopeBias = {0.01, -0.02, 0.03};
    expectReadings(pod, 0, {0, 0, g}, {H, 0, -V}, {0.01, -0.02, 0.03});

    EXPECT_THROW(sim.truth(0x123456, 0), Poco::NotFoundException);
}

TEST(SimMotion, ReadingsClipAtTheConfiguredRanges)
{
    Simulator sim;
    Pod& pod = quietPod(sim);
    // 3 g sideways at 2g (2048 counts per g): the converter stops at 4096 counts.
    pod.setRegisterValue(Wire::ACC_CTRL, 0);
    pod.setMotion(MotionScript::rest(Quaternion()).addBurst(0, 1, {3 * g, 0, 0}).addDisturbance(0, 1, {100, 0, 0}));
    // 0.88 Ga at 10.9 counts per uT: 959 counts; 123.7 uT north would be about 1350.
    pod.setRegisterValue(Wire::MAG_CTRL, 0);
    PodSample s = pod.measure(0);
    EXPECT_EQ(4096, s.acc[0]);
    EXPECT_EQ(959, s.mag[0]);

    // 3000 deg/s at 16.4 counts per deg/s is beyond 16 bits; in the 4.5x mode 2000 / 4.5 deg/s
    // is the limit: 7289 counts.
    pod.setMotion(MotionScript::spin({0, 0, 1}, 3000));
    EXPECT_EQ(32767, pod.measure(0).gyr[2]);
    pod.setRegisterValue(Wire::GYR_CTRL, 3);
    pod.setMotion(MotionScript::spin({0, 0, -1}, 600));
    EXPECT_EQ(-7289, pod.measure(0).gyr[2]);
    pod.setRegisterValue(Wire::GYR_CTRL, 2);
    EXPECT_EQ((std::array<std::int16_t, 3>{0, 0, 0}), pod.measure(0).gyr) << "gyroscope off";
}

TEST(SimMotion, RandomMotionStaysSmoothUnderItsPeakAndRepeatsForASeed)
{
    MotionScript script = MotionScript::random(500, 7);
    const double peak = 500 * kPi / 180;
    double fastest = 0;
    std::vector<MotionTruth> forward;
    for (int i = 0; i <= 6000; ++i)
    {
        forward.push_back(script.at(i * 0.01));
        const Vector3& w = forward.back().angularVelocity;
        fastest = std::max(fastest, std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]));
    }
    EXPECT_LT(fastest, peak);
    EXPECT_GT(fastest, 0.8 * peak);

    // The orientation is the integral of the angular velocity: over a short step q(t)* q(t + h)
    // is the turn by w h about w, in the pod's frame.
    for (double t : {3.0, 17.25, 41.5})
    {
        const double h = 1e-4;
        const MotionTruth a = script.at(t), b = script.at(t + h), mid = script.at(t + h / 2);
        const Quaternion step = a.orientation.conjugate() * b.orientation;
        const double half[3] = {step.x, step.y, step.z};
        for (unsigned k = 0; k < 3; ++k) EXPECT_NEAR(mid.angularVelocity[k] * h / 2, half[k], 1e-9) << t;
    }

    // Asked backwards, the same seed gives the same truth; another seed not.
    MotionScript again = MotionScript::random(500, 7);
    for (int i = 6000; i >= 0; i -= 1500)
        EXPECT_NEAR(forward[static_cast<std::size_t>(i)].orientation.x, again.at(i * 0.01).orientation.x, 1e-12);
    EXPECT_GT(std::fabs(MotionScript::random(500, 8).at(5).orientation.w - forward[500].orientation.w), 1e-6);

    // By name, per pod and seed; bursts and disturbances come with the options.
    const auto name = [](const std::string& n, std::uint32_t serial, std::uint32_t seed, double t) {
        return MotionScript::named(n, serial, seed).at(t);
    };
    EXPECT_NE(name("random", 1, 1, 5).orientation.w, name("random", 2, 1, 5).orientation.w);
    EXPECT_NE(name("rest", 1, 1, 5).orientation.w, name("rest", 1, 2, 5).orientation.w);
    const MotionTruth burst = name("turns+bursts", 1, 1, 10.5);
    EXPECT_NEAR(g, std::hypot(burst.freeAcceleration[0], burst.freeAcceleration[1]), 1e-9);
    const MotionTruth disturbed = name("spin+magnetic", 1, 1, 15.5);
    const Vector3 earth = MotionScript().earthField();
    EXPECT_NEAR(30,
                std::hypot(disturbed.magneticField[0] - earth[0], disturbed.magneticField[1] - earth[1],
                           disturbed.magneticField[2] - earth[2]),
                1e-9);
    EXPECT_THROW(MotionScript::named("tumble", 1, 1), Poco::InvalidArgumentException);
    EXPECT_THROW(MotionScript::named("rest+wind", 1, 1), Poco::InvalidArgumentException);
}
