#ifndef DRFN3Internal_PinNames_INCLUDED
#define DRFN3Internal_PinNames_INCLUDED

#include <cstdio>
#include <string>

namespace DRFN3Internal {

/// The names of a pod's pins: a base name followed by suffix(serial). Hosts that tap the
/// pins (drfn3, the Python package) take the names from here, so they cannot drift apart.
/// Arrays are indexed by sensor: accelerometer, magnetometer, gyroscope.
namespace PinNames {

constexpr const char* SAMPLES[3] = {"3a", "3m", "3g"};
constexpr const char* GAINS[3] = {"3aGain", "3mGain", "3gGain"};
constexpr const char* OFFSETS[3] = {"3aOff", "3mOff", "3gOff"};
/// Frame count, loss ratio and frequency.
constexpr const char* FRAME = "FrameNb";
constexpr const char* BUTTON = "Button";
constexpr const char* BATTERY = "Battery";
/// The calibration pins in the order the filter takes its inputs.
constexpr const char* CALIBRATION[6] = {"3aGain", "3aOff", "3mGain", "3mOff", "3gGain", "3gOff"};

/// The orientation filter, one per pod: its inputs have the names of that pod's sample and
/// calibration pins without the suffix, its outputs these names (FilterOrientation.h).
constexpr const char* ORIENTATION_FILTER = "FilterOrientation";
/// w, x, y, z (4x1).
constexpr const char* QUATERNION = "Quat";
/// Roll, pitch, yaw in degrees (3x1).
constexpr const char* ROLL_PITCH_YAW = "RPY";
/// What the estimate used (1x1): 1 accelerometer, 2 magnetometer, 4 gyroscope, added.
constexpr const char* ORIENTATION_MODE = "Mode";
/// Gyroscope bias estimate in rad/s (3x1).
constexpr const char* GYRO_BIAS = "GyroBias";

/// "#0x" and the serial in upper-case hexadecimal without leading zeros.
inline std::string suffix(unsigned serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "#0x%X", serial);
    return text;
}

} // namespace PinNames

} // namespace DRFN3Internal

#endif
