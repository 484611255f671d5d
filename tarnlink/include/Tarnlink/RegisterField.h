#ifndef Tarnlink_RegisterField_INCLUDED
#define Tarnlink_RegisterField_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <cstdint>

namespace Tarnlink {

/// A bit field of a 16-bit register, holding the host's value and the value last known in the device.
/// Not thread-safe: part of a device's register image, used with the device from one thread at a time.
class Tarnlink_API RegisterField
{
public:
    RegisterField(std::uint32_t index = 0, std::uint32_t firstBit = 0, std::uint32_t lastBit = 0,
                  bool alwaysSynced = false);
    virtual ~RegisterField() = default;

    /// Stores unmasked; only the low bits reach the composed register value.
    void set(std::uint32_t value, bool fromDevice);
    std::uint32_t get(bool fromDevice) const { return fromDevice ? _deviceValue : _localValue; }
    bool isSynced() const { return _localValue == _deviceValue; }
    void markSynced() { _deviceValue = _localValue; }

    std::uint32_t index() const { return _index; }
    std::uint32_t firstBit() const { return _firstBit; }
    std::uint32_t lastBit() const { return _lastBit; }
    bool alwaysSynced() const { return _alwaysSynced; }
    /// Width mask before shifting.
    std::uint32_t widthMask() const;
    std::uint32_t mask() const { return widthMask() << _firstBit; }
    std::uint32_t shiftedValue(bool fromDevice) const { return (get(fromDevice) & widthMask()) << _firstBit; }

private:
    std::uint32_t _index;
    std::uint32_t _firstBit;
    std::uint32_t _lastBit;
    bool _alwaysSynced;
    std::uint32_t _localValue = 0;
    std::uint32_t _deviceValue = 0;
};

} // namespace Tarnlink

#endif
