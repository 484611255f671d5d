#include "DRFN3Internal/DataFrame.h"

#include <cstdint>

namespace DRFN3Internal {

namespace {

unsigned byteAt(const std::string& body, std::size_t offset)
{
    return static_cast<unsigned char>(body[offset]);
}

unsigned wordAt(const std::string& body, std::size_t offset)
{
    return (byteAt(body, offset) << 8) | byteAt(body, offset + 1);
}

// Word k of the frame sits at offset 3 + 2k: s(3) is word 0, s(19) word 8.
enum Word
{
    S3,
    S5,
    S7,
    S9,
    S11,
    S13,
    S15,
    S17,
    S19
};

} // namespace

FrameLayout frameLayoutFor(unsigned major, unsigned minor)
{
    return major == 1 && minor < 15 ? FrameLayout::Older : FrameLayout::Current;
}

bool DataFrame::decode(const std::string& body)
{
    if (body.size() < SIZE) return false;
    _recordIndex = byteAt(body, 0);
    _frameNumber = wordAt(body, 1);
    for (std::size_t k = 0; k < _words.size(); ++k)
        _words[k] = static_cast<std::int16_t>(static_cast<std::uint16_t>(wordAt(body, 3 + 2 * k)));
    _status = byteAt(body, 21);
    return true;
}

SensorValues DataFrame::getSensorValues(FrameLayout layout) const
{
    const std::array<int, 9>& s = _words;
    SensorValues v;
    if (layout == FrameLayout::Older)
    {
        // Integer division truncates toward zero, as the older firmware's scale expects.
        v.accelerometer = {s[S5] / 16, -(s[S3] / 16), -(s[S7] / 16)};
        v.magnetometer = {-s[S11], s[S9], s[S13]};
        v.gyroscope = {-s[S17], s[S15], s[S19]};
    }
    else
    {
        v.accelerometer = {s[S3], s[S5], s[S7]};
        v.magnetometer = {s[S9], s[S11], s[S13]};
        v.gyroscope = {s[S15], s[S17], s[S19]};
    }
    return v;
}

double DataFrame::getBatterySample() const
{
    return (((_status >> 1) & 7u) + 1) * 12.5;
}

} // namespace DRFN3Internal
