#include <Tarnlink/Memory.h>

namespace Tarnlink {

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
