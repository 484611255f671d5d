#include "DRFN3Internal/OrientationEstimator.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace DRFN3Internal {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDegrees = 180.0 / 3.14159265358979323846;

/// The turn by |v| radians about v.
Eigen::Quaterniond turnBy(const Eigen::Vector3d& v)
{
    const double angle = v.norm();
    if (angle < 1e-9) return Eigen::Quaterniond(1.0, v.x() / 2, v.y() / 2, v.z() / 2);
    const double s = std::sin(angle / 2) / angle;
    return Eigen::Quaterniond(std::cos(angle / 2), v.x() * s, v.y() * s, v.z() * s);
}

double yawOf(const Eigen::Quaterniond& q)
{
    return std::atan2(2 * (q.w() * q.z() + q.x() * q.y()), 1 - 2 * (q.y() * q.y() + q.z() * q.z()));
}

Eigen::Quaterniond aboutZ(double angle)
{
    return Eigen::Quaterniond(std::cos(angle / 2), 0, 0, std::sin(angle / 2));
}

} // namespace

OrientationEstimator::OrientationEstimator() : OrientationEstimator(Settings()) {}

OrientationEstimator::OrientationEstimator(const Settings& settings) : _settings(settings)
{
    reset();
}

void OrientationEstimator::setSettings(const Settings& settings)
{
    if (settings.useMagnetometer && !_settings.useMagnetometer) _headingKnown = false;
    if (!settings.estimateGyroscopeBias) _bias.setZero();
    _settings = settings;
}

void OrientationEstimator::reset()
{
    _q.setIdentity();
    _bias.setZero();
    _reference.setZero();
    _lastRate.setZero();
    _haveLastRate = false;
    _initialised = false;
    _headingKnown = false;
    _time = 0;
    _accRejectedSince = kNaN;
    _magRejectedSince = kNaN;
    _used = 0;
}

Eigen::Vector3d OrientationEstimator::rollPitchYaw() const
{
    const Eigen::Quaterniond& q = _q;
    const double roll = std::atan2(2 * (q.w() * q.x() + q.y() * q.z()), 1 - 2 * (q.x() * q.x() + q.y() * q.y()));
    const double pitch = std::asin(std::max(-1.0, std::min(1.0, 2 * (q.w() * q.y() - q.z() * q.x()))));
    return Eigen::Vector3d(roll, pitch, yawOf(q)) * kDegrees;
}

void OrientationEstimator::setTilt(const Eigen::Vector3d& acc)
{
    // At rest the accelerometer reads R^T (0, 0, g): (-g sin(pitch), g cos(pitch) sin(roll),
    // g cos(pitch) cos(roll)) for R = Rz(yaw) Ry(pitch) Rx(roll).
    const double roll = std::atan2(acc.y(), acc.z());
    const double pitch = std::atan2(-acc.x(), std::hypot(acc.y(), acc.z()));
    const double yaw = _initialised ? yawOf(_q) : 0.0;
    _q = aboutZ(yaw) * Eigen::Quaterniond(Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY())) *
         Eigen::Quaterniond(Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()));
}

void OrientationEstimator::setHeading(const Eigen::Vector3d& mag)
{
    // The field with the tilt applied and the yaw taken out: the yaw wanted brings its
    // horizontal part onto north.
    const Eigen::Quaterniond tilt = aboutZ(-yawOf(_q)) * _q;
    const Eigen::Vector3d level = tilt * mag;
    const double horizontal = std::hypot(level.x(), level.y());
    if (!(horizontal > 0)) return;
    _q = aboutZ(-std::atan2(level.y(), level.x())) * tilt;
    _reference = Eigen::Vector3d(horizontal, 0, level.z());
    _headingKnown = true;
}

void OrientationEstimator::align(const Eigen::Vector3d& acc, const Eigen::Vector3d* mag)
{
    setTilt(acc);
    _initialised = true;
    if (mag) setHeading(*mag);
    _haveLastRate = false;
    _accRejectedSince = kNaN;
    _magRejectedSince = kNaN;
}

bool OrientationEstimator::accept(bool fits, double& rejectedSince, double time)
{
    if (fits)
    {
        rejectedSince = kNaN;
        return true;
    }
    if (std::isnan(rejectedSince)) rejectedSince = time;
    if (time - rejectedSince < _settings.recoverySeconds) return false;
    rejectedSince = kNaN;
    return true;
}

bool OrientationEstimator::update(double time, const Eigen::Vector3d& acc, const Eigen::Vector3d* mag,
                                  const Eigen::Vector3d* gyro)
{
    const double accNorm = acc.norm();
    const bool haveAcc = accNorm > 0 && std::isfinite(accNorm);
    const bool haveMag = _settings.useMagnetometer && mag && mag->norm() > 0 && mag->allFinite();
    const bool haveGyro = gyro && gyro->allFinite();
    const double dt = time - _time;

    if (!_initialised || !(dt >= 0) || dt > _settings.maxGapSeconds)
    {
        // The start, or a step too long (or backwards) to bridge: take the orientation afresh.
        if (!haveAcc) return _initialised;
        align(acc, haveMag ? mag : nullptr);
        _time = time;
        _used = UsedAccelerometer;
        if (haveMag && _headingKnown) _used |= UsedMagnetometer;
        if (haveGyro) _used |= UsedGyroscope;
        if (haveGyro)
        {
            _lastRate = *gyro;
            _haveLastRate = true;
        }
        return true;
    }
    if (dt == 0) return true;
    _time = time;
    _used = 0;
    const double rejectAcc = _settings.accelerationRejection, rejectMag = _settings.magneticRejection;

    if (!haveGyro)
    {
        // Nothing to carry the orientation between samples: take it from each sample that fits.
        _haveLastRate = false;
        if (haveAcc && (rejectAcc <= 0 || std::fabs(accNorm - _settings.gravity) <= rejectAcc))
        {
            setTilt(acc);
            _used |= UsedAccelerometer;
        }
        if (haveMag && (!_headingKnown || rejectMag <= 0 || std::fabs(mag->norm() - _reference.norm()) <= rejectMag))
        {
            const Eigen::Vector3d reference = _reference;
            const bool known = _headingKnown;
            setHeading(*mag);
            if (known) _reference = reference;
            _used |= UsedMagnetometer;
        }
        return true;
    }

    // Prediction over the real time step: the mean of the last two rates, and the coning term
    // that the change of axis between them adds.
    _used = UsedGyroscope;
    const Eigen::Vector3d now = *gyro - _bias;
    const Eigen::Vector3d before = _haveLastRate ? Eigen::Vector3d(_lastRate - _bias) : now;
    _lastRate = *gyro;
    _haveLastRate = true;
    Eigen::Quaterniond predicted = _q * turnBy(0.5 * (before + now) * dt + (dt * dt / 12) * before.cross(now));

    Eigen::Vector3d error = Eigen::Vector3d::Zero();
    // "Up" in the pod: measured when the accelerometer is taken, else as predicted.
    Eigen::Vector3d up = predicted.conjugate() * Eigen::Vector3d::UnitZ();
    if (haveAcc)
    {
        const bool fits = rejectAcc <= 0 || (acc - _settings.gravity * up).norm() <= rejectAcc;
        if (accept(fits, _accRejectedSince, time))
        {
            const Eigen::Vector3d measured = acc / accNorm;
            // Taken again after a long rejection: tilted onto it at once by the least turn, or
            // the prediction, far off by now, would keep rejecting it.
            if (!fits)
                predicted = predicted * Eigen::Quaterniond::FromTwoVectors(measured, up);
            else
                error += measured.cross(up);
            up = measured;
            _used |= UsedAccelerometer;
        }
    }
    if (haveMag)
    {
        if (!_headingKnown)
        {
            // A first field: the heading at once rather than a slow swing toward it.
            _q = predicted;
            setHeading(*mag);
            predicted = _q;
            _used |= UsedMagnetometer;
        }
        else
        {
            const Eigen::Vector3d expected = predicted.conjugate() * _reference;
            const bool fits = rejectMag <= 0 || (*mag - expected).norm() <= rejectMag;
            const bool taken = accept(fits, _magRejectedSince, time);
            if (taken && !fits)
            {
                // Taken again after a long rejection: the heading and the reference from this
                // field, as at the start.
                _q = predicted;
                setHeading(*mag);
                predicted = _q;
                _used |= UsedMagnetometer;
            }
            else if (taken)
            {
                // North as measured and as estimated, both across "up", and the turn about "up"
                // between them: only the heading, so the magnetometer never tilts the estimate,
                // and with a measured "up" an error of tilt does not pass into the heading.
                const Eigen::Vector3d north = *mag - mag->dot(up) * up;
                const Eigen::Vector3d estimated = predicted.conjugate() * Eigen::Vector3d::UnitX();
                const Eigen::Vector3d north0 = estimated - estimated.dot(up) * up;
                error -= std::atan2(north0.cross(north).dot(up), north0.dot(north)) * up;
                _used |= UsedMagnetometer;
            }
        }
    }

    const double gain = _settings.gain;
    if (_settings.estimateGyroscopeBias) _bias -= (gain * gain / 4) * dt * error;
    _q = (predicted * turnBy(gain * dt * error)).normalized();
    return true;
}

} // namespace DRFN3Internal
