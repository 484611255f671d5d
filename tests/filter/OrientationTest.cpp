// The orientation estimator and filter against the simulator's truth. The first test is the
// measurement: every figure beside its goal and beside a plain complementary filter's.
#include "LossProbe.h"
#include "OrientationScenario.h"
#include "SimHarness.h"

#include "DRFN3Internal/FilterOrientation.h"
#include "DRFN3Internal/OrientationEstimator.h"
#include "DRFN3Internal/PinNames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Every heap allocation goes through malloc: count them there, where glibc lets us (not under
// the sanitizers, which have their own).
namespace {
std::atomic<std::uint64_t> allocations{0};
}
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t);
void* malloc(std::size_t n) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
}
#endif

using namespace OrientationTests;
using DRFN3Internal::OrientationEstimator;

namespace {

const double kGain = OrientationEstimator::Settings().gain;
/// The bias of every run: 1 deg/s on each axis.
const Eigen::Vector3d kBias = Eigen::Vector3d(1, -1, 1) * kDegree;

Sim::SensorModel biased()
{
    Sim::SensorModel sensors;
    sensors.gyroscopeBias = {kBias[0], kBias[1], kBias[2]};
    return sensors;
}

/// Errors of the estimator and of the baseline, sample by sample.
struct Measured
{
    std::vector<double> time;
    std::vector<Errors> estimator, baseline;
    /// Estimator's bias error in deg/s, sample by sample.
    std::vector<double> biasError;

    double worst(bool ofEstimator, double Errors::*what, double from, double to = 1e9) const
    {
        const std::vector<Errors>& e = ofEstimator ? estimator : baseline;
        double w = 0;
        for (std::size_t i = 0; i < time.size(); ++i)
            if (time[i] >= from && time[i] <= to) w = std::max(w, e[i].*what);
        return w;
    }
    double rmsAngle(bool ofEstimator) const
    {
        const std::vector<Errors>& e = ofEstimator ? estimator : baseline;
        double sum = 0;
        for (const Errors& x : e) sum += x.angle * x.angle;
        return std::sqrt(sum / static_cast<double>(e.size()));
    }
    /// Seconds after `end` until tilt and heading are back within the at-rest goals for good.
    double recovery(bool ofEstimator, double end) const
    {
        const std::vector<Errors>& e = ofEstimator ? estimator : baseline;
        double last = 0;
        for (std::size_t i = 0; i < time.size(); ++i)
            if (time[i] >= end && (e[i].tilt > 0.5 || e[i].heading > 1.0))
                last = i + 1 == time.size() ? INFINITY : time[i] - end;
        return last;
    }
};

Measured run(const Sim::MotionScript& script, double seconds)
{
    Feed feed(script, biased());
    OrientationEstimator estimator;
    PlainComplementary baseline(kGain);
    Measured r;
    for (int k = 0; k <= static_cast<int>(seconds * 200); ++k)
    {
        const Feed::Sample s = feed.next();
        estimator.update(s.time, s.acc, &s.mag, &s.gyro);
        baseline.update(s.time, s.acc, s.mag, s.gyro);
        r.time.push_back(s.time);
        r.estimator.push_back(errorsOf(estimator.orientation(), s.truth.orientation));
        r.baseline.push_back(errorsOf(baseline.orientation(), s.truth.orientation));
        r.biasError.push_back((estimator.gyroscopeBias() - kBias).norm() / kDegree);
    }
    return r;
}

struct Figure
{
    std::string name;
    double goal, estimator, baseline;
};

void report(const std::vector<Figure>& figures)
{
    std::printf("\n%-52s %8s %12s %12s\n", "figure (degrees, deg/s, s)", "goal", "estimator", "baseline");
    std::printf("%-52s %8s %12s %12s\n", "", "", ("gain " + std::to_string(kGain).substr(0, 4)).c_str(),
                ("gain " + std::to_string(kGain).substr(0, 4)).c_str());
    for (const Figure& f : figures)
    {
        if (std::isnan(f.goal))
        {
            std::printf("%-52s %8s %12.3f %12.3f\n", f.name.c_str(), "-", f.estimator, f.baseline);
            continue;
        }
        std::printf("%-52s %8.2f %12.3f %12.3f%s\n", f.name.c_str(), f.goal, f.estimator, f.baseline,
                    f.estimator <= f.goal ? "" : "  MISSED");
        EXPECT_LE(f.estimator, f.goal) << f.name;
    }
}

} // namespace

TEST(Orientation, FiguresAgainstTheTruth)
{
    std::vector<Figure> figures;
    const auto both = [&](const std::string& name, double goal, const Measured& r, auto measure) {
        figures.push_back({name, goal, measure(r, true), measure(r, false)});
    };

    // At rest in four orientations, the bias unknown at the start.
    Measured worstRest;
    double restTilt[2] = {0, 0}, restHeading[2] = {0, 0}, restBias = 0;
    for (const Sim::Quaternion& start :
         {Sim::Quaternion(), Sim::Quaternion::fromRollPitchYaw(0.5, -0.3, 2.4),
          Sim::Quaternion::fromRollPitchYaw(3.1, 0.2, -1.0), Sim::Quaternion::fromRollPitchYaw(0.3, 1.4, 0.7)})
    {
        const Measured r = run(Sim::MotionScript::rest(start), 30);
        for (int e = 0; e < 2; ++e)
        {
            restTilt[e] = std::max(restTilt[e], r.worst(e == 0, &Errors::tilt, 3));
            restHeading[e] = std::max(restHeading[e], r.worst(e == 0, &Errors::heading, 3));
        }
        for (std::size_t i = 0; i < r.time.size(); ++i)
            if (r.time[i] >= 20) restBias = std::max(restBias, r.biasError[i]);
    }
    figures.push_back({"rest, 4 orientations: tilt error after 3 s, worst", 0.5, restTilt[0], restTilt[1]});
    figures.push_back({"rest: heading error after 3 s, worst", 1.0, restHeading[0], restHeading[1]});
    figures.push_back({"rest: gyro bias error after 20 s, worst (deg/s)", 0.1, restBias, kBias.norm() / kDegree});

    // Smooth random motion up to 500 deg/s for 60 s.
    const Measured random =
        run(Sim::MotionScript::random(500, 26, Sim::Quaternion::fromRollPitchYaw(0.2, 0.4, 1.0)), 60);
    both("random to 500 deg/s, 60 s: RMS angle error", 2.0, random,
         [](const Measured& r, bool e) { return r.rmsAngle(e); });
    both("random: worst angle error", 6.0, random,
         [](const Measured& r, bool e) { return r.worst(e, &Errors::angle, 0); });

    // A 1 g push for 2 s, then 30 uT more across north for 2 s, each at 20 s while the pod turns.
    const std::vector<Sim::Turn> turns = {
        {{0, 0, 1}, 90, 1, 1}, {{1, 0, 0}, 60, 1, 1}, {{1, 0, 0}, -60, 1, 1}, {{0, 0, 1}, -90, 1, 1}};
    const Sim::Vector3 push{Sim::kStandardGravity * 0.6, Sim::kStandardGravity * 0.8, 0};
    const Measured burst = run(Sim::MotionScript::turns(turns).addBurst(20, 2, push), 30);
    const Measured magnetic = run(Sim::MotionScript::turns(turns).addDisturbance(20, 2, {0, 30, 0}), 30);
    for (const auto& [label, r] :
         {std::make_pair("1 g push 2 s", &burst), std::make_pair("30 uT field 2 s", &magnetic)})
    {
        const std::string name = std::string(label) + ", turning: ";
        both(name + "worst tilt error", 5.0, *r,
             [](const Measured& x, bool e) { return x.worst(e, &Errors::tilt, 20, 27); });
        both(name + "worst heading error", 5.0, *r,
             [](const Measured& x, bool e) { return x.worst(e, &Errors::heading, 20, 27); });
        both(name + "recovery after (s)", 2.0, *r, [](const Measured& x, bool e) { return x.recovery(e, 22); });
    }
    // Shown, not a goal: a disturbance under the rejection threshold pulls the heading.
    const Measured weak = run(Sim::MotionScript::turns(turns).addDisturbance(20, 2, {0, 4, 0}), 30);
    both("4 uT field 2 s (under the threshold): worst heading", NAN, weak,
         [](const Measured& x, bool e) { return x.worst(e, &Errors::heading, 20, 27); });
    report(figures);
}

TEST(Orientation, TimeGapsMissingSensorsAndNoAllocation)
{
    Feed feed(Sim::MotionScript::random(200, 3), biased());
    OrientationEstimator estimator;
    const auto within = [&](const Feed::Sample& s, double degrees) {
        EXPECT_LT(errorsOf(estimator.orientation(), s.truth.orientation).angle, degrees) << s.time;
    };
    Feed::Sample s = feed.next();
    // The very first sample gives the orientation, within the noise: no swing from the identity.
    ASSERT_TRUE(estimator.update(s.time, s.acc, &s.mag, &s.gyro));
    within(s, 1.0);
    EXPECT_EQ(7u, estimator.used());
    for (int i = 0; i < 2000; ++i)
    {
        s = feed.next();
        estimator.update(s.time, s.acc, &s.mag, &s.gyro);
    }
    within(s, 1.0);

    // Four frames in five lost: the real time step bridges them, with no allocation.
    const std::uint64_t before = allocations.load();
    for (int i = 0; i < 1000; ++i)
    {
        s = feed.next();
        if (i % 5 == 0) estimator.update(s.time, s.acc, &s.mag, &s.gyro);
    }
    EXPECT_EQ(before, allocations.load());
    within(s, 3.0);

    // Without a gyroscope it follows the accelerometer and magnetometer sample by sample.
    for (int i = 0; i < 10; ++i)
    {
        s = feed.next();
        estimator.update(s.time, s.acc, &s.mag, nullptr);
        within(s, 1.0);
        EXPECT_EQ(3u, estimator.used());
    }

    // A time that goes back, or a gap of seconds: taken afresh, the bias estimate kept.
    const Eigen::Vector3d bias = estimator.gyroscopeBias();
    for (int i = 0; i < 400; ++i) s = feed.next();
    estimator.update(s.time - 100, s.acc, &s.mag, &s.gyro);
    within(s, 1.0);
    EXPECT_EQ(bias, estimator.gyroscopeBias());
    EXPECT_LT((bias - kBias).norm(), 0.1 * kDegree);

    // 6-axis: the magnetometer no longer counts; a 1 g push is rejected.
    OrientationEstimator::Settings settings;
    settings.useMagnetometer = false;
    estimator.setSettings(settings);
    Feed pushed(Sim::MotionScript::rest(Sim::Quaternion()).addBurst(10, 2, {Sim::kStandardGravity, 0, 0}), biased());
    estimator.reset();
    for (int i = 0; i < 3000; ++i)
    {
        s = pushed.next();
        estimator.update(s.time, s.acc, &s.mag, &s.gyro);
        // The bias is learnt anew after the reset: the at-rest goal holds from 3 s on.
        EXPECT_LT(errorsOf(estimator.orientation(), s.truth.orientation).tilt, s.time < 3 ? 1.0 : 0.5) << s.time;
        EXPECT_EQ(s.time >= 10 && s.time < 12 ? 4u : 5u, estimator.used()) << s.time;
    }

    // A field changed for good, 20 uT more toward west from 2 s on: rejected for 5 s, then the
    // heading and reference taken from it, its north atan(20 / 23.7) = 40.2 degrees off the
    // true one. It turns the heading, never the tilt.
    estimator.setSettings(OrientationEstimator::Settings());
    Feed moved(Sim::MotionScript::rest(Sim::Quaternion()).addDisturbance(2, 100, {0, 20, 0}), biased());
    for (int i = 0; i < 2000; ++i)
    {
        s = moved.next();
        estimator.update(s.time, s.acc, &s.mag, &s.gyro);
        const Errors e = errorsOf(estimator.orientation(), s.truth.orientation);
        EXPECT_LT(e.tilt, 1.0) << s.time;
        EXPECT_EQ(s.time < 2 || s.time >= 7, (estimator.used() & OrientationEstimator::UsedMagnetometer) != 0)
            << s.time;
        if (s.time >= 7)
        {
            EXPECT_NEAR(40.2, e.heading, 0.5) << s.time;
        }
    }
}

TEST(Orientation, FilterFollowsItsPodThroughFilterDRFN3)
{
    using namespace DRFN3Internal;
    FilterTests::Harness h(Sim::Generation::Second, {0xA10001});
    Sim::Pod& pod = *h.simulator.pod(0xA10001);
    // From level facing north: 90 degrees about z, 90 about the pod's x and back, 1 s each
    // with a pause of 1 s after each; the frame number wraps 1.3 s into a transmission.
    pod.setMotion(Sim::MotionScript::turns(
        {{{0, 0, 1}, 90, 1, 1}, {{1, 0, 0}, 90, 1, 1}, {{1, 0, 0}, -90, 1, 1}, {{0, 0, 1}, -90, 1, 1}}));
    pod.sensors() = biased();
    pod.setFrameNumberOffset(0xFF00);
    h.connect("A10001");

    FilterOrientation orientation("orientation");
    const std::string suffix = PinNames::suffix(0xA10001);
    for (int s = 0; s < 3; ++s)
        for (const char* name : {PinNames::SAMPLES[s], PinNames::GAINS[s], PinNames::OFFSETS[s]})
            h.filter->findOutputPin(name + suffix)->attach(*orientation.findInputPin(name));
    FilterTests::Probe quat(*orientation.findOutputPin(PinNames::QUATERNION));
    FilterTests::Probe angles(*orientation.findOutputPin(PinNames::ROLL_PITCH_YAW));
    FilterTests::Probe mode(*orientation.findOutputPin(PinNames::ORIENTATION_MODE));
    FilterTests::Probe frame(*h.filter->findOutputPin(PinNames::FRAME + suffix));

    struct Out
    {
        double time;
        Eigen::Quaterniond q;
        Eigen::Vector3d rpy;
        unsigned mode;
        Sim::MotionTruth truth;
    };
    std::map<std::uint16_t, Sim::Micros> sentAt;
    std::size_t seen = 0;
    // Both filters driven as a host does, each output with the truth of its frame.
    const auto stream = [&](double seconds) {
        std::vector<Out> out;
        const Sim::Micros until = h.simulator.clock().now() + static_cast<Sim::Micros>(seconds * 1e6);
        while (h.simulator.clock().now() < until)
        {
            h.process();
            orientation.process();
            const std::vector<Sim::Record>& records = h.simulator.recorder().records();
            for (; seen < records.size(); ++seen)
                if (records[seen].kind == Sim::Record::Frame) sentAt[records[seen].value] = records[seen].time;
            const auto q = quat.drain(), a = angles.drain(), m = mode.drain(), f = frame.drain();
            EXPECT_EQ(f.size(), q.size());
            for (std::size_t i = 0; i < q.size() && i < f.size(); ++i)
            {
                EXPECT_EQ(f[i].time, q[i].time) << "stamped as its samples";
                const auto number = static_cast<std::uint16_t>(std::llround(f[i].data(0, 0)) & 0xFFFF);
                out.push_back({q[i].time,
                               Eigen::Quaterniond(q[i].data(0, 0), q[i].data(1, 0), q[i].data(2, 0), q[i].data(3, 0)),
                               Eigen::Vector3d(a[i].data(0, 0), a[i].data(1, 0), a[i].data(2, 0)),
                               static_cast<unsigned>(m[i].data(0, 0)), h.simulator.truth(0xA10001, sentAt.at(number))});
            }
        }
        return out;
    };
    const auto angle = [](const Out& o) { return errorsOf(o.q, o.truth.orientation).angle; };

    h.set("transmission", "1");
    std::vector<Out> out = stream(12);
    ASSERT_GT(out.size(), 2300u);
    EXPECT_LT(angle(out.front()), 1.0) << "from the first sample on";
    int still = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
    {
        const Out& o = out[i];
        EXPECT_EQ(7u, o.mode);
        EXPECT_LT(angle(o), 1.0) << o.time;
        if (i > 0)
        {
            EXPECT_NEAR(0.005, o.time - out[i - 1].time, 1e-9) << "through the wrap of the frame number";
        }
        // Worked by hand: turned 90 degrees toward west, then rolled 90 degrees about its own x.
        const double tau = std::fmod(o.truth.time, 8.0);
        if ((tau >= 1.2 && tau < 2) || (tau >= 3.2 && tau < 4))
        {
            ++still;
            EXPECT_LT((o.rpy - Eigen::Vector3d(tau < 2 ? 0 : 90, 0, 90)).norm(), 1.0) << o.time;
        }
    }
    EXPECT_GT(still, 400);
    EXPECT_LT((orientation.estimator().gyroscopeBias() - kBias).norm(), 0.1 * kDegree) << "learnt through the pins";

    // Half the frames lost: the real time steps bridge them.
    h.simulator.faults().dropFrame = 0.5;
    out = stream(4);
    h.simulator.faults().dropFrame = 0;
    for (const Out& o : out) EXPECT_LT(angle(o), 1.0) << o.time;

    // Out of range, the gain is refused and stays; a reset starts afresh at the next frame.
    EXPECT_THROW(orientation.getPropertyBag().get("Gain").deSerialize("0"), Poco::RangeException);
    std::string gain;
    orientation.getPropertyBag().get("Gain").serialize(gain);
    EXPECT_EQ("2", gain);
    orientation.getPropertyBag().get("Reset").deSerialize("");
    out = stream(0.006);
    ASSERT_FALSE(out.empty());
    EXPECT_LT(angle(out.front()), 1.0);
    EXPECT_LT(orientation.estimator().gyroscopeBias().norm(), 0.05 * kDegree);

    // The gyroscope off: a new transmission, its time back at the start; accelerometer and
    // magnetometer alone, which the pod's turns (no push) leave right within their noise.
    h.set("transmission", "0");
    h.set("Gyro On", "0");
    h.set("transmission", "1");
    out = stream(4);
    ASSERT_GT(out.size(), 700u);
    for (std::size_t i = 2; i < out.size(); ++i)
    {
        EXPECT_EQ(3u, out[i].mode) << out[i].time;
        EXPECT_LT(angle(out[i]), 2.0) << out[i].time;
    }
}
