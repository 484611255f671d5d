#include "DRFN3Internal/DriftnodeOutputs.h"

#include "DRFN3Internal/PinNames.h"

#include <Poco/Timestamp.h>

#include <cmath>

namespace DRFN3Internal {

namespace {

typedef MatrixOutputPin DriftnodeOutputs::*OutputMember;
typedef MatrixInputPin DriftnodeOutputs::*InputMember;

void setAxes(Matrix& m, const Axes& axes)
{
    for (int i = 0; i < 3; ++i) m(i, 0) = axes[static_cast<std::size_t>(i)];
}

} // namespace

DriftnodeOutputs::DriftnodeOutputs(Quillmesh::Core::PinManager* filter, const std::string& suffix)
    : _acc(PinNames::SAMPLES[0] + suffix, filter),
      _accGain(PinNames::GAINS[0] + suffix, filter),
      _accOffset(PinNames::OFFSETS[0] + suffix, filter),
      _mag(PinNames::SAMPLES[1] + suffix, filter),
      _magGain(PinNames::GAINS[1] + suffix, filter),
      _magOffset(PinNames::OFFSETS[1] + suffix, filter),
      _gyro(PinNames::SAMPLES[2] + suffix, filter),
      _gyroGain(PinNames::GAINS[2] + suffix, filter),
      _gyroOffset(PinNames::OFFSETS[2] + suffix, filter),
      _frameInfo(PinNames::FRAME + suffix, filter),
      _button(PinNames::BUTTON + suffix, filter),
      _battery(PinNames::BATTERY + suffix, filter),
      _accGainIn(PinNames::GAINS[0] + suffix, filter),
      _accOffsetIn(PinNames::OFFSETS[0] + suffix, filter),
      _magGainIn(PinNames::GAINS[1] + suffix, filter),
      _magOffsetIn(PinNames::OFFSETS[1] + suffix, filter),
      _gyroGainIn(PinNames::GAINS[2] + suffix, filter),
      _gyroOffsetIn(PinNames::OFFSETS[2] + suffix, filter)
{
    for (Sensor s : {Sensor::Accelerometer, Sensor::Magnetometer, Sensor::Gyroscope})
    {
        samples(s) = Matrix::Zero(3, 1);
        gain(s) = Matrix::Zero(3, 3);
        offset(s) = Matrix::Zero(3, 1);
    }
    _frameInfo.getData() = Matrix::Zero(3, 1);
    _button.getData() = Matrix::Zero(1, 1);
    _battery.getData() = Matrix::Zero(1, 1);

    for (MatrixInputPin* input : {&_accGainIn, &_accOffsetIn, &_magGainIn, &_magOffsetIn, &_gyroGainIn, &_gyroOffsetIn})
        input->setIsBlocking(false);
}

MatrixOutputPin& DriftnodeOutputs::samplePin(Sensor sensor)
{
    static const OutputMember pins[] = {&DriftnodeOutputs::_acc, &DriftnodeOutputs::_mag, &DriftnodeOutputs::_gyro};
    return this->*pins[index(sensor)];
}

MatrixOutputPin& DriftnodeOutputs::gainPin(Sensor sensor)
{
    static const OutputMember pins[] = {&DriftnodeOutputs::_accGain, &DriftnodeOutputs::_magGain,
                                        &DriftnodeOutputs::_gyroGain};
    return this->*pins[index(sensor)];
}

MatrixOutputPin& DriftnodeOutputs::offsetPin(Sensor sensor)
{
    static const OutputMember pins[] = {&DriftnodeOutputs::_accOffset, &DriftnodeOutputs::_magOffset,
                                        &DriftnodeOutputs::_gyroOffset};
    return this->*pins[index(sensor)];
}

MatrixInputPin& DriftnodeOutputs::gainInput(Sensor sensor)
{
    static const InputMember pins[] = {&DriftnodeOutputs::_accGainIn, &DriftnodeOutputs::_magGainIn,
                                       &DriftnodeOutputs::_gyroGainIn};
    return this->*pins[index(sensor)];
}

MatrixInputPin& DriftnodeOutputs::offsetInput(Sensor sensor)
{
    static const InputMember pins[] = {&DriftnodeOutputs::_accOffsetIn, &DriftnodeOutputs::_magOffsetIn,
                                       &DriftnodeOutputs::_gyroOffsetIn};
    return this->*pins[index(sensor)];
}

void DriftnodeOutputs::publishCalibration()
{
    // One reading of the clock for the six: they are published together, after every frame.
    const double now = static_cast<double>(Poco::Timestamp().utcTime()) * 1e-7;
    auto step = [this, now](Sensor sensor, MatrixInputPin& input, MatrixOutputPin& output) {
        if (const MatrixInputPin::Data* data = input.getData())
        {
            output.getData() = data->data;
            input.release();
            setWriteFlag(sensor, true);
        }
        output.push(now);
    };
    for (Sensor s : {Sensor::Accelerometer, Sensor::Magnetometer, Sensor::Gyroscope})
    {
        step(s, gainInput(s), gainPin(s));
        step(s, offsetInput(s), offsetPin(s));
    }
}

bool DriftnodeOutputs::publishFrame(const DataFrame& frame, FrameLayout layout, double frequency)
{
    if (!_frameCounter.update(static_cast<int>(frame.getFrameNumber()))) return false;
    // A controller that reports no usable rate would stamp inf or NaN on every sample and
    // break any consumer that orders by time: drop the frame, keeping it counted so the
    // unwrapped count stays right once the rate is back.
    if (!std::isfinite(frequency) || frequency <= 0.0) return false;

    const SensorValues values = frame.getSensorValues(layout);
    setAxes(samples(Sensor::Accelerometer), values.accelerometer);
    setAxes(samples(Sensor::Magnetometer), values.magnetometer);
    setAxes(samples(Sensor::Gyroscope), values.gyroscope);

    const double count = static_cast<double>(_frameCounter.getUnwrappedCount());
    Matrix& info = _frameInfo.getData();
    info(0, 0) = count;
    info(1, 0) = _frameCounter.getLossRatio();
    info(2, 0) = frequency;
    _button.getData()(0, 0) = frame.getButton() ? 1.0 : 0.0;
    _batteryAverage.add(frame.getBatterySample());
    _battery.getData()(0, 0) = _batteryAverage.mean();

    const double t = count / frequency;
    for (MatrixOutputPin* pin : {&_acc, &_mag, &_gyro, &_frameInfo, &_button, &_battery}) pin->push(t);
    publishCalibration();
    return true;
}

} // namespace DRFN3Internal
