#ifndef Tarnlink_Sim_Motion_INCLUDED
#define Tarnlink_Sim_Motion_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tarnlink {
namespace Sim {

/// The simulated world: x toward magnetic north (horizontal), y west, z up. Gravity pulls
/// along -z, so an accelerometer at rest reads +9.80665 m/s^2 on the axis that points up.
typedef std::array<double, 3> Vector3;

/// A unit quaternion w + xi + yj + zk. As an orientation it turns pod-frame vectors into the
/// world frame: v_world = q v_pod q*.
struct TarnlinkSim_API Quaternion
{
    double w = 1, x = 0, y = 0, z = 0;

    /// Turning by angle (radians) about axis (any length but zero).
    static Quaternion fromAxisAngle(const Vector3& axis, double angle);
    /// Yaw about z, then pitch about the new y, then roll about the newest x (radians).
    static Quaternion fromRollPitchYaw(double roll, double pitch, double yaw);
    Quaternion conjugate() const { return {w, -x, -y, -z}; }
    Quaternion normalized() const;
    /// q v q*.
    Vector3 rotate(const Vector3& v) const;
    /// q* v q: a world vector in the pod's frame.
    Vector3 rotateBack(const Vector3& v) const;
};

TarnlinkSim_API Quaternion operator*(const Quaternion& a, const Quaternion& b);

/// Standard gravity, m/s^2.
constexpr double kStandardGravity = 9.80665;

/// What a pod undergoes at one moment: the values its sensors measure, before calibration,
/// noise, bias and clipping.
struct TarnlinkSim_API MotionTruth
{
    /// Seconds since the simulator started.
    double time = 0;
    /// Pod to world.
    Quaternion orientation;
    /// rad/s, in the pod's frame: what an ideal gyroscope reads.
    Vector3 angularVelocity{};
    /// m/s^2 in the world frame, gravity left out.
    Vector3 freeAcceleration{};
    /// uT in the world frame: the Earth's field plus any disturbance.
    Vector3 magneticField{};

    /// What an ideal accelerometer reads, m/s^2 in the pod's frame: free acceleration minus gravity.
    Vector3 specificForce() const;
    /// What an ideal magnetometer reads, uT in the pod's frame.
    Vector3 fieldInPod() const;
};

/// A turn of a sequence: angle about an axis fixed in the pod, with the rate rising and
/// falling smoothly (1 - cos) over its duration, then a pause.
struct Turn
{
    Vector3 axis{0, 0, 1};
    double degrees = 90;
    double seconds = 1;
    double pauseSeconds = 1;
};

/// How one pod moves and what surrounds it: an orientation integrated from an angular
/// velocity profile (in closed form where there is one), linear acceleration bursts and
/// magnetic disturbances, and the Earth's field. Deterministic: the same script and seed give
/// the same truth for the same time, whatever was asked before. Not thread safe (it caches
/// the integration); the simulator's lock guards the pods' scripts.
class TarnlinkSim_API MotionScript
{
public:
    /// At rest, level, facing north.
    MotionScript();
    MotionScript(const MotionScript& other);
    MotionScript& operator=(const MotionScript& other);
    ~MotionScript();

    /// One turn about the pod's x axis every 20 s, starting at startDegrees, with a wobble of
    /// 0.2 sin(2 pi t / 7) rad about the turned y axis: the pods' motion when nothing else is asked.
    static MotionScript wobble(double startDegrees);
    static MotionScript rest(const Quaternion& orientation);
    /// Constant angular velocity about an axis fixed in the pod.
    static MotionScript spin(const Vector3& axis, double degreesPerSecond, const Quaternion& start = Quaternion());
    /// The turns one after the other; with repeat the sequence starts again after its last pause.
    static MotionScript turns(const std::vector<Turn>& turns, const Quaternion& start = Quaternion(),
                              bool repeat = true);
    /// Smooth pseudo-random angular velocity in the pod's frame, always below peak and often
    /// near it, changing over about a second.
    static MotionScript random(double peakDegreesPerSecond, std::uint32_t seed, const Quaternion& start = Quaternion());

    /// A script by name for the pod with that serial:
    ///   "wobble"  the default (start angle serial mod 360 degrees);
    ///   "rest"    still, in an orientation picked by the seed;
    ///   "spin"    90 deg/s about an axis picked by the seed;
    ///   "turns"   from level at a picked heading: 90 degrees about z, x, then back about x and
    ///             z, each turn 1 s and a 1 s pause, over and over;
    ///   "random"  smooth random motion up to 500 deg/s from a picked orientation;
    /// followed by any of "+bursts" (a 1 g push for 2 s in a picked horizontal direction,
    /// every 20 s from 10 s on) and "+magnetic" (30 uT more in a picked direction for 2 s,
    /// every 20 s from 15 s on). Poco::InvalidArgumentException for an unknown name.
    static MotionScript named(const std::string& name, std::uint32_t serial, std::uint32_t seed);
    /// The base names named() knows.
    static std::vector<std::string> names();

    /// A push, m/s^2 in the world frame, from start for duration seconds, again every period
    /// seconds when period > 0.
    MotionScript& addBurst(double start, double duration, const Vector3& acceleration, double period = 0);
    /// A field added to the Earth's, uT in the world frame, timed as bursts.
    MotionScript& addDisturbance(double start, double duration, const Vector3& field, double period = 0);
    /// The Earth's field: strength in uT, dipping below the horizon toward north by dip
    /// degrees. 47.4 uT and 60 degrees unless changed.
    MotionScript& setEarthField(double strength, double dipDegrees);
    Vector3 earthField() const { return _earth; }

    /// The truth at t seconds (t >= 0).
    MotionTruth at(double t);

    class Profile;

private:
    struct Event
    {
        double start, duration, period;
        Vector3 value;
        bool active(double t) const;
    };

    explicit MotionScript(std::shared_ptr<const Profile> profile);
    Quaternion integrate(double t);

    std::shared_ptr<const Profile> _profile;
    std::vector<Event> _bursts;
    std::vector<Event> _disturbances;
    Vector3 _earth{};
    /// Integration on a fixed grid of steps, for profiles without a closed form: the state at
    /// the furthest step reached, and one every kCheckpointSteps to go back to.
    std::int64_t _step = 0;
    Quaternion _state;
    std::vector<Quaternion> _checkpoints;
};

/// How a pod's sensors turn the truth into readings, before the factory calibration is
/// inverted into counts.
struct SensorModel
{
    /// Standard deviation of the white noise on each axis (Gaussian, cut at 4 sigma), in
    /// calibrated units: m/s^2, uT, rad/s.
    double accelerometerNoise = 0.02;
    double magnetometerNoise = 0.15;
    double gyroscopeNoise = 0.0015;
    /// Added to what the gyroscope reads, rad/s in the pod's frame.
    Vector3 gyroscopeBias{};
};

} // namespace Sim
} // namespace Tarnlink

#endif
