#include <Tarnlink/Memory.h>
#include <Tarnlink/Register.h>
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

Register& Memory::addRegister(std::uint32_t address, std::uint32_t size)
{
    return _registers.emplace(address, Register(address, size)).first->second;
}

Register& Memory::getRegister(std::uint32_t address)
{
    return addRegister(address);
}

void Memory::reset()
{
    for (auto& r : _registers) r.second.setValue(0, true);
}

} // namespace Tarnlink
