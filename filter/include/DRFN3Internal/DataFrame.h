#ifndef DRFN3Internal_DataFrame_INCLUDED
#define DRFN3Internal_DataFrame_INCLUDED

#include <array>
#include <cstddef>
#include <string>

namespace DRFN3Internal {

/// Axis order and scale of the sensor values in a frame, which depend on the pod's firmware.
enum class FrameLayout
{
    Current,
    Older ///< firmware 1.0 to 1.14
};

FrameLayout frameLayoutFor(unsigned major, unsigned minor);

typedef std::array<int, 3> Axes;

struct SensorValues
{
    Axes accelerometer{};
    Axes magnetometer{};
    Axes gyroscope{};
};

/// One data frame body as the controller delivers it in frame mode 1.
class DataFrame
{
public:
    static constexpr std::size_t SIZE = 22;

    /// False, leaving this frame as it was, when body is shorter than SIZE; bytes past
    /// SIZE are ignored.
    bool decode(const std::string& body);

    /// Position of the sending pod in the network list.
    unsigned getRecordIndex() const { return _recordIndex; }
    unsigned getFrameNumber() const { return _frameNumber; }
    SensorValues getSensorValues(FrameLayout layout) const;
    bool getButton() const { return (_status & 1u) != 0; }
    /// Battery level of this frame alone, 12.5 to 100 percent.
    double getBatterySample() const;

private:
    unsigned _recordIndex = 0;
    unsigned _frameNumber = 0;
    // The nine signed big-endian words from offset 3 on, in frame order.
    std::array<int, 9> _words{};
    unsigned _status = 0;
};

} // namespace DRFN3Internal

#endif
