#ifndef FilterTests_OrientationScenario_INCLUDED
#define FilterTests_OrientationScenario_INCLUDED

// A simulated pod sampled directly (no radio), its counts calibrated as the hosts do, and a
// plain complementary filter to set beside the estimator.
#include <Eigen/Core>
#include <Eigen/Geometry>
#include <Tarnlink/Sim/Simulator.h>

#include <algorithm>
#include <cmath>

namespace OrientationTests {

namespace Sim = Tarnlink::Sim;

constexpr double kDegree = 3.14159265358979323846 / 180.0;

inline Eigen::Quaterniond toEigen(const Sim::Quaternion& q)
{
    return Eigen::Quaterniond(q.w, q.x, q.y, q.z);
}

/// Errors of an estimate against the truth, in degrees.
struct Errors
{
    /// Whole rotation between them.
    double angle;
    /// Between the true and estimated vertical, seen from the pod.
    double tilt;
    /// The part of the error rotation about the world's vertical.
    double heading;
};

inline Errors errorsOf(const Eigen::Quaterniond& estimate, const Sim::Quaternion& truth)
{
    const Eigen::Quaterniond t = toEigen(truth);
    const Eigen::Quaterniond e = estimate * t.conjugate(); // world-frame error
    const Eigen::Vector3d up = t.conjugate() * Eigen::Vector3d::UnitZ(),
                          upEstimated = estimate.conjugate() * Eigen::Vector3d::UnitZ();
    Errors out;
    out.angle = 2 * std::atan2(e.vec().norm(), std::fabs(e.w())) / kDegree;
    out.tilt = std::atan2(up.cross(upEstimated).norm(), up.dot(upEstimated)) / kDegree;
    // Twist about z of the error rotation.
    double twist = 2 * std::atan2(e.z(), e.w());
    twist = std::remainder(twist, 2 * 3.14159265358979323846);
    out.heading = std::fabs(twist) / kDegree;
    return out;
}

/// One pod sampled at `rate` Hz, its noise and bias as given.
class Feed
{
public:
    struct Sample
    {
        double time;
        Eigen::Vector3d acc, mag, gyro;
        Sim::MotionTruth truth;
    };

    Feed(const Sim::MotionScript& script, const Sim::SensorModel& sensors, double rate = 200) : _rate(rate)
    {
        _pod = &_sim.addPod(0xA10001);
        _pod->setMotion(script);
        _pod->sensors() = sensors;
    }

    Sample next()
    {
        const Sim::Micros t = static_cast<Sim::Micros>(std::llround(static_cast<double>(_k++) * 1e6 / _rate));
        const Sim::PodSample counts = _pod->measure(t);
        Sample s;
        s.time = static_cast<double>(t) / 1e6;
        s.acc = calibrated(0, counts.acc);
        s.mag = calibrated(1, counts.mag);
        s.gyro = calibrated(2, counts.gyr);
        s.truth = _pod->truth(t);
        return s;
    }

private:
    Eigen::Vector3d calibrated(unsigned set, const std::array<std::int16_t, 3>& raw) const
    {
        const std::array<double, 9> g = _pod->calibrationGain(set);
        const std::array<double, 3> o = _pod->calibrationOffset(set);
        const double factor = set == 0 ? 1024.0 / _pod->accelerometerCountsPerG() : 1.0;
        Eigen::Vector3d out;
        for (int r = 0; r < 3; ++r)
            out[r] = factor * (g[3 * r] * raw[0] + g[3 * r + 1] * raw[1] + g[3 * r + 2] * raw[2]) - o[r];
        return out;
    }

    Sim::Simulator _sim;
    Sim::Pod* _pod;
    double _rate;
    std::int64_t _k = 0;
};

/// The textbook complementary filter: the gyroscope's integral drawn toward the orientation
/// that the accelerometer and magnetometer give, at `gain` per second. No bias estimation,
/// no rejection.
class PlainComplementary
{
public:
    explicit PlainComplementary(double gain) : _gain(gain) {}

    void update(double time, const Eigen::Vector3d& acc, const Eigen::Vector3d& mag, const Eigen::Vector3d& gyro)
    {
        const Eigen::Quaterniond measured = fromAccMag(acc, mag);
        if (!_started)
        {
            _q = measured;
            _started = true;
        }
        else
        {
            const double dt = time - _time;
            const Eigen::Vector3d turn = gyro * dt;
            const double angle = turn.norm();
            const Eigen::Quaterniond step =
                angle > 0 ? Eigen::Quaterniond(Eigen::AngleAxisd(angle, turn / angle)) : Eigen::Quaterniond::Identity();
            _q = (_q * step).slerp(std::min(1.0, _gain * dt), measured).normalized();
        }
        _time = time;
    }

    const Eigen::Quaterniond& orientation() const { return _q; }

private:
    /// Up from the accelerometer, north from the field's part across it.
    static Eigen::Quaterniond fromAccMag(const Eigen::Vector3d& acc, const Eigen::Vector3d& mag)
    {
        const Eigen::Vector3d up = acc.normalized();
        const Eigen::Vector3d west = up.cross(mag).normalized();
        const Eigen::Vector3d north = west.cross(up);
        Eigen::Matrix3d worldInPod;
        worldInPod << north, west, up; // columns: the world's axes in the pod's frame
        return Eigen::Quaterniond(Eigen::Matrix3d(worldInPod.transpose()));
    }

    double _gain;
    Eigen::Quaterniond _q = Eigen::Quaterniond::Identity();
    double _time = 0;
    bool _started = false;
};

} // namespace OrientationTests

#endif
