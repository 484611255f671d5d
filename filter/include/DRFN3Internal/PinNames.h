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
