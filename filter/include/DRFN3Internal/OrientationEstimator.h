#ifndef DRFN3Internal_OrientationEstimator_INCLUDED
#define DRFN3Internal_OrientationEstimator_INCLUDED

#include <Eigen/Core>
#include <Eigen/Geometry>

namespace DRFN3Internal {

/// The attitude and heading of one pod from its calibrated samples: a complementary filter
/// on the unit quaternion, with gyroscope bias estimation and rejection of accelerations and
/// magnetic fields that do not fit.
///
/// Frames. The world frame has x toward magnetic north (horizontal), y west and z up. The
/// orientation turns pod-frame vectors into world-frame vectors (v_world = q v_pod q*); q and
/// -q are the same orientation and the estimate keeps whichever sign it has, so that it moves
/// continuously. Roll, pitch and yaw are the Z-Y-X angles of that rotation: yaw about z, then
/// pitch about the new y, then roll about the newest x; yaw is 0 facing north and grows
/// counter-clockwise seen from above (toward west).
///
/// Units. Samples are calibrated: accelerometer in m/s^2 (a pod at rest reads +g on the axis
/// that points up), magnetometer in uT, gyroscope in rad/s, all in the pod's frame; times in
/// seconds, on any origin, growing.
///
/// How a sample is used (update()):
/// 1. The first sample with an acceleration sets the tilt from it and, in 9-axis mode with a
///    magnetometer sample, the heading from the field: no slow swing from the identity. The
///    field there, turned into the world frame, becomes the reference (its strength and dip).
///    In 6-axis mode, or until a first field arrives, the heading starts at yaw 0.
/// 2. Prediction: the gyroscope, less the bias estimate, turns the orientation over the time
///    since the last sample (trapezoid of the last two rates with the coning term), so a lost
///    frame is bridged by the real time step.
/// 3. Rejection: the accelerometer is used when it lies within accelerationRejection m/s^2 of
///    the gravity the prediction expects, the magnetometer when it lies within
///    magneticRejection uT of the reference field turned into the pod. A sensor rejected for
///    recoverySeconds in a row is taken again and the estimate aligned to it at once (tilted
///    onto the acceleration by the least turn; heading and reference from the field, as in
///    1), so that a lasting change cannot lock it out.
/// 4. Correction: the error between measured and expected "up" (cross product), and the
///    turn about "up" between north as the field shows it and as the prediction has it (both
///    taken across "up", measured when the accelerometer is used: so the magnetometer never
///    tilts the estimate, and an error of tilt does not pass into the heading), turn the
///    prediction by gain x error x dt and, with bias estimation on, move the bias estimate by
///    -(gain^2 / 4) x error x dt (a critically damped loop: the error of a constant bias dies
///    as (1 + gain t / 2) exp(-gain t / 2)).
/// Without a gyroscope (a null gyro) the estimate follows the accelerometer and magnetometer
/// directly, sample by sample: tilt from an acceleration whose size is within the rejection
/// threshold of g, heading from a field whose strength is within its threshold of the reference.
/// A time that goes back, or a step longer than maxGapSeconds, sets the tilt and heading
/// afresh as in 1 (keeping the bias estimate, and in 6-axis mode the yaw); a repeated time
/// changes nothing.
///
/// Costs no allocation after construction. Not thread safe: one thread drives an estimator.
class OrientationEstimator
{
public:
    struct Settings
    {
        /// Correction gain, 1/s: the accelerometer and magnetometer pull the estimate with a
        /// time constant of 1/gain. Also sets the bias loop (see above).
        double gain = 2.0;
        /// Off: 6-axis mode, the magnetometer is ignored and the heading is the gyroscope's.
        bool useMagnetometer = true;
        /// m/s^2; 0 never rejects. 2 m/s^2 is about 12 degrees of gravity.
        double accelerationRejection = 2.0;
        /// uT; 0 never rejects. 5 uT is about 12 degrees of a horizontal field of 24 uT. A
        /// disturbance under the threshold is taken for the field and pulls the heading.
        double magneticRejection = 5.0;
        /// Off: the gyroscope is taken as it reads (bias 0).
        bool estimateGyroscopeBias = true;
        double recoverySeconds = 5.0;
        double maxGapSeconds = 1.0;
        double gravity = 9.80665;
    };

    /// Bits of used().
    enum Use : unsigned
    {
        UsedAccelerometer = 1,
        UsedMagnetometer = 2,
        UsedGyroscope = 4
    };

    OrientationEstimator();
    explicit OrientationEstimator(const Settings& settings);

    const Settings& settings() const { return _settings; }
    /// Takes effect from the next sample. Turning the magnetometer on takes the heading from
    /// the next field; turning bias estimation off drops the estimate.
    void setSettings(const Settings& settings);

    /// Forgets everything but the settings: the next sample starts afresh.
    void reset();

    /// One sample at time t. mag and gyro may be null (not measured); a null mag leaves the
    /// heading to the gyroscope. True when an orientation is known afterwards.
    bool update(double time, const Eigen::Vector3d& acc, const Eigen::Vector3d* mag, const Eigen::Vector3d* gyro);

    bool initialised() const { return _initialised; }
    /// Pod to world; the identity until initialised.
    const Eigen::Quaterniond& orientation() const { return _q; }
    /// Roll, pitch, yaw in degrees (yaw in (-180, 180], pitch in [-90, 90]).
    Eigen::Vector3d rollPitchYaw() const;
    /// rad/s in the pod's frame, subtracted from the gyroscope.
    const Eigen::Vector3d& gyroscopeBias() const { return _bias; }
    /// What the last update used: UsedAccelerometer | UsedMagnetometer | UsedGyroscope.
    unsigned used() const { return _used; }
    /// Time of the last sample taken.
    double time() const { return _time; }

private:
    /// Tilt from an acceleration, keeping the yaw.
    void setTilt(const Eigen::Vector3d& acc);
    /// Yaw from a field, keeping the tilt; learns the reference field.
    void setHeading(const Eigen::Vector3d& mag);
    /// Steps 1 and the restart: tilt, and heading when there is a field to take it from.
    void align(const Eigen::Vector3d& acc, const Eigen::Vector3d* mag);
    /// True when the sensor passes; keeps the time it was first rejected.
    bool accept(bool fits, double& rejectedSince, double time);

    Settings _settings;
    Eigen::Quaterniond _q = Eigen::Quaterniond::Identity();
    Eigen::Vector3d _bias = Eigen::Vector3d::Zero();
    /// World frame: (horizontal strength, 0, vertical component).
    Eigen::Vector3d _reference = Eigen::Vector3d::Zero();
    Eigen::Vector3d _lastRate = Eigen::Vector3d::Zero();
    bool _haveLastRate = false;
    bool _initialised = false;
    bool _headingKnown = false;
    double _time = 0;
    double _accRejectedSince;
    double _magRejectedSince;
    unsigned _used = 0;
};

} // namespace DRFN3Internal

#endif
