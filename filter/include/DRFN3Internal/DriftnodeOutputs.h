#ifndef DRFN3Internal_DriftnodeOutputs_INCLUDED
#define DRFN3Internal_DriftnodeOutputs_INCLUDED

#include "DRFN3Internal/DataFrame.h"
#include "DRFN3Internal/FrameCounter.h"
#include "DRFN3Internal/MovingAverage.h"

#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/PinManager.h"
#include "Quillmesh/Core/TimeStampedData.h"

#include <string>

namespace DRFN3Internal {

typedef Quillmesh::Core::RowMatrixXd Matrix;
typedef Quillmesh::Core::OutputPin<Matrix> MatrixOutputPin;
typedef Quillmesh::Core::InputPin<Matrix> MatrixInputPin;

enum class Sensor
{
    Accelerometer,
    Magnetometer,
    Gyroscope
};

/// The pins and streaming state of one pod of the network. Pin names are the base name
/// ("3a", "3aGain", ...) followed by the suffix; the pins register with the filter.
class DriftnodeOutputs
{
public:
    DriftnodeOutputs(Quillmesh::Core::PinManager* filter, const std::string& suffix);
    DriftnodeOutputs(const DriftnodeOutputs&) = delete;
    DriftnodeOutputs& operator=(const DriftnodeOutputs&) = delete;

    MatrixOutputPin& samplePin(Sensor sensor);
    MatrixOutputPin& gainPin(Sensor sensor);
    MatrixOutputPin& offsetPin(Sensor sensor);
    MatrixOutputPin& frameInfoPin() { return _frameInfo; }
    MatrixOutputPin& buttonPin() { return _button; }
    MatrixOutputPin& batteryPin() { return _battery; }
    MatrixInputPin& gainInput(Sensor sensor);
    MatrixInputPin& offsetInput(Sensor sensor);

    // The output pins' own matrices, filled in place before a publish.
    Matrix& samples(Sensor sensor) { return samplePin(sensor).getData(); }
    Matrix& gain(Sensor sensor) { return gainPin(sensor).getData(); }
    Matrix& offset(Sensor sensor) { return offsetPin(sensor).getData(); }

    FrameCounter& frameCounter() { return _frameCounter; }
    MovingAverage& batteryAverage() { return _batteryAverage; }

    /// Set when a calibration matrix arrived on an input pin: it must be written to the pod.
    bool getWriteFlag(Sensor sensor) const { return _write[index(sensor)]; }
    void setWriteFlag(Sensor sensor, bool value) { _write[index(sensor)] = value; }
    /// Set while the calibration must be read from the pod.
    bool getReadFlag(Sensor sensor) const { return _read[index(sensor)]; }
    void setReadFlag(Sensor sensor, bool value) { _read[index(sensor)] = value; }

    /// Takes the calibration matrices waiting on the input pins into the matching outputs
    /// (setting the write flags), then publishes all six calibration outputs with the
    /// wall-clock time in seconds since 15 October 1582.
    void publishCalibration();

    /// Counts the frame, and unless the counter drops it fills and publishes the sample,
    /// frame, button and battery pins at the pod's time (unwrapped count / frequency), then
    /// runs publishCalibration(). True when it published.
    bool publishFrame(const DataFrame& frame, FrameLayout layout, double frequency);

private:
    static std::size_t index(Sensor sensor) { return static_cast<std::size_t>(sensor); }

    // Declaration order is the pins' creation order, which the host shows to users.
    MatrixOutputPin _acc;
    MatrixOutputPin _accGain;
    MatrixOutputPin _accOffset;
    MatrixOutputPin _mag;
    MatrixOutputPin _magGain;
    MatrixOutputPin _magOffset;
    MatrixOutputPin _gyro;
    MatrixOutputPin _gyroGain;
    MatrixOutputPin _gyroOffset;
    MatrixOutputPin _frameInfo;
    MatrixOutputPin _button;
    MatrixOutputPin _battery;
    MatrixInputPin _accGainIn;
    MatrixInputPin _accOffsetIn;
    MatrixInputPin _magGainIn;
    MatrixInputPin _magOffsetIn;
    MatrixInputPin _gyroGainIn;
    MatrixInputPin _gyroOffsetIn;
    FrameCounter _frameCounter;
    MovingAverage _batteryAverage;
    bool _write[3] = {false, false, false};
    bool _read[3] = {true, true, true};
};

} // namespace DRFN3Internal

#endif
