#include <Tarnlink/Register.h>

namespace Tarnlink {

Register::Register(std::uint32_t address, std::uint32_t size) : _address(address), _size(size) {}

RegisterField& Register::field(std::uint32_t index)
{
    auto it = _fields.find(index);
    if (it == _fields.end()) it = _fields.emplace(index, RegisterField(index, 0, 0)).first;
    return it->second;
}

Register& Register::addField(std::uint32_t index, std::uint32_t firstBit, std::uint32_t lastBit, bool alwaysSynced)
{
    _fields.emplace(index, RegisterField(index, firstBit, lastBit, alwaysSynced));
    return *this;
}

std::uint32_t Register::value(bool fromDevice) const
{
    std::uint32_t v = 0;
    for (const auto& f : _fields) v |= f.second.shiftedValue(fromDevice);
    return v & 0xFFFFu;
}

void Register::setValue(std::uint32_t raw, bool fromDevice)
{
    for (auto& f : _fields) f.second.set((raw & f.second.mask()) >> f.second.firstBit(), fromDevice);
}

bool Register::isSynced() const
{
    for (const auto& f : _fields)
        if (!f.second.isSynced()) return false;
    return true;
}

void Register::markSynced()
{
    for (auto& f : _fields) f.second.markSynced();
}

} // namespace Tarnlink
