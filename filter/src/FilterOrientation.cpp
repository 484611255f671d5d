#include "DRFN3Internal/FilterOrientation.h"

#include "DRFN3Internal/PinNames.h"

#include <Poco/Exception.h>

#include <cmath>

namespace DRFN3Internal {

namespace {

/// Samples of one frame carry the same time; a little slack for hosts that compute it.
constexpr double kSameTime = 1e-6;
/// A pod whose gyroscope is off sends zeros; a running one almost never does, and never for long.
constexpr unsigned kZerosForOff = 3;

bool read3(const Quillmesh::Core::RowMatrixXd& m, Eigen::Vector3d& out)
{
    if (m.size() != 3) return false;
    out = Eigen::Vector3d(m.data()[0], m.data()[1], m.data()[2]);
    return true;
}

void checkThreshold(const double& value, const char* what)
{
    if (!(value >= 0) || !std::isfinite(value))
        throw Poco::RangeException(std::string(what) + " must be a number of 0 or more");
}

} // namespace

FilterOrientation::Sensor::Sensor(const std::string& base, Quillmesh::Core::PinManager* filter)
    : samples(base, filter), gainIn(base + "Gain", filter), offsetIn(base + "Off", filter)
{
    samples.setBufferSize(QUEUE_DEPTH);
    samples.setIsLifo(false);
    for (Input* input : {&samples, &gainIn, &offsetIn}) input->setIsBlocking(false);
}

bool FilterOrientation::Sensor::refreshCalibration()
{
    if (const Input::Data* data = gainIn.getData())
    {
        if (data->data.rows() == 3 && data->data.cols() == 3) gain = data->data;
        gainIn.release();
    }
    if (const Input::Data* data = offsetIn.getData())
    {
        read3(data->data, offset);
        offsetIn.release();
    }
    usable = gain.allFinite() && offset.allFinite() && !gain.isZero(0);
    return usable;
}

bool FilterOrientation::Sensor::take(double time, Eigen::Vector3d& raw, Eigen::Vector3d& out)
{
    while (const Input::Data* data = samples.getData())
    {
        // A later sample stays for the accelerometer sample of its own time.
        if (data->time > time + kSameTime) return false;
        const bool match = data->time >= time - kSameTime && read3(data->data, raw);
        samples.release();
        if (match)
        {
            out = gain * raw - offset;
            return usable;
        }
    }
    return false;
}

FilterOrientation::FilterOrientation(const std::string& name)
    : Filter(name, true),
      _acc(PinNames::SAMPLES[0], this),
      _mag(PinNames::SAMPLES[1], this),
      _gyro(PinNames::SAMPLES[2], this),
      _quaternion(PinNames::QUATERNION, this),
      _rollPitchYaw(PinNames::ROLL_PITCH_YAW, this),
      _mode(PinNames::ORIENTATION_MODE, this),
      _gyroBias(PinNames::GYRO_BIAS, this),
      _gainProperty("Gain", &getPropertyBag()),
      _magOnProperty("Mag On", &getPropertyBag()),
      _accRejectionProperty("Acc Rejection", &getPropertyBag()),
      _magRejectionProperty("Mag Rejection", &getPropertyBag()),
      _gyroBiasOnProperty("Gyro Bias On", &getPropertyBag()),
      _resetProperty("Reset", &getPropertyBag())
{
    _quaternion.getData() = Matrix::Zero(4, 1);
    _quaternion.getData()(0, 0) = 1;
    _rollPitchYaw.getData() = Matrix::Zero(3, 1);
    _mode.getData() = Matrix::Zero(1, 1);
    _gyroBias.getData() = Matrix::Zero(3, 1);

    const OrientationEstimator::Settings& settings = _estimator.settings();
    _gainProperty.set(settings.gain);
    _magOnProperty.set(settings.useMagnetometer);
    _accRejectionProperty.set(settings.accelerationRejection);
    _magRejectionProperty.set(settings.magneticRejection);
    _gyroBiasOnProperty.set(settings.estimateGyroscopeBias);
    _gainProperty.bind(this, &FilterOrientation::onGain);
    _magOnProperty.bind(this, &FilterOrientation::onMagOn);
    _accRejectionProperty.bind(this, &FilterOrientation::onAccRejection);
    _magRejectionProperty.bind(this, &FilterOrientation::onMagRejection);
    _gyroBiasOnProperty.bind(this, &FilterOrientation::onGyroBiasOn);
    _resetProperty.bind(this, &FilterOrientation::onReset);
}

FilterOrientation::~FilterOrientation() = default;

std::string FilterOrientation::getTypeName() const
{
    return TYPE_NAME;
}

template <typename T>
void FilterOrientation::change(T OrientationEstimator::Settings::*field, const T& value)
{
    OrientationEstimator::Settings settings = _estimator.settings();
    settings.*field = value;
    _estimator.setSettings(settings);
}

void FilterOrientation::onGain(const double& gain)
{
    if (!(gain > 0) || !std::isfinite(gain)) throw Poco::RangeException("Gain must be a number above 0");
    change(&OrientationEstimator::Settings::gain, gain);
}

void FilterOrientation::onMagOn(const bool& on)
{
    change(&OrientationEstimator::Settings::useMagnetometer, on);
}

void FilterOrientation::onAccRejection(const double& threshold)
{
    checkThreshold(threshold, "Acc Rejection");
    change(&OrientationEstimator::Settings::accelerationRejection, threshold);
}

void FilterOrientation::onMagRejection(const double& threshold)
{
    checkThreshold(threshold, "Mag Rejection");
    change(&OrientationEstimator::Settings::magneticRejection, threshold);
}

void FilterOrientation::onGyroBiasOn(const bool& on)
{
    change(&OrientationEstimator::Settings::estimateGyroscopeBias, on);
}

void FilterOrientation::onReset()
{
    _estimator.reset();
    _zeroGyro = 0;
}

void FilterOrientation::process()
{
    _acc.refreshCalibration();
    _mag.refreshCalibration();
    _gyro.refreshCalibration();

    while (const Input::Data* data = _acc.samples.getData())
    {
        const double time = data->time;
        Eigen::Vector3d raw, acc;
        const bool haveAcc = read3(data->data, raw);
        _acc.samples.release();
        if (!haveAcc) continue;
        acc = _acc.gain * raw - _acc.offset;

        Eigen::Vector3d magRaw, mag, gyroRaw, gyro;
        const bool haveMag = _mag.take(time, magRaw, mag);
        bool haveGyro = _gyro.take(time, gyroRaw, gyro);
        if (haveGyro && gyroRaw.isZero(0))
        {
            if (_zeroGyro < kZerosForOff) ++_zeroGyro;
            haveGyro = _zeroGyro < kZerosForOff;
        }
        else if (haveGyro)
            _zeroGyro = 0;

        if (!_acc.usable) continue;
        if (!_estimator.update(time, acc, haveMag ? &mag : nullptr, haveGyro ? &gyro : nullptr)) continue;

        const Eigen::Quaterniond& q = _estimator.orientation();
        Matrix& quaternion = _quaternion.getData();
        quaternion(0, 0) = q.w();
        quaternion(1, 0) = q.x();
        quaternion(2, 0) = q.y();
        quaternion(3, 0) = q.z();
        const Eigen::Vector3d angles = _estimator.rollPitchYaw();
        const Eigen::Vector3d& bias = _estimator.gyroscopeBias();
        for (int i = 0; i < 3; ++i)
        {
            _rollPitchYaw.getData()(i, 0) = angles[i];
            _gyroBias.getData()(i, 0) = bias[i];
        }
        _mode.getData()(0, 0) = _estimator.used();
        _quaternion.push(time);
        _rollPitchYaw.push(time);
        _mode.push(time);
        _gyroBias.push(time);
    }
}

} // namespace DRFN3Internal
