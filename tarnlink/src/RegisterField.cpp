#include <Tarnlink/RegisterField.h>

namespace Tarnlink {

RegisterField::RegisterField(std::uint32_t index, std::uint32_t firstBit, std::uint32_t lastBit, bool alwaysSynced)
    : _index(index), _firstBit(firstBit), _lastBit(lastBit), _alwaysSynced(alwaysSynced)
{
}

void RegisterField::set(std::uint32_t value, bool fromDevice)
{
    _localValue = value;
    if (fromDevice || _alwaysSynced) _deviceValue = value;
}

std::uint32_t RegisterField::widthMask() const
{
    if (_lastBit < _firstBit) return 0;
    const std::uint64_t width = _lastBit - _firstBit + 1;
    return width >= 32 ? 0xFFFFFFFFu : static_cast<std::uint32_t>((std::uint64_t(1) << width) - 1);
}

} // namespace Tarnlink
