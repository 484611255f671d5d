#include <Tarnlink/Sim/Eeprom.h>
#include <cstring>

namespace Tarnlink {
namespace Sim {

Eeprom::Eeprom(std::uint32_t size) : _bytes(size ? size : 2, 0xFF) {}

std::uint8_t Eeprom::byte(std::uint32_t address) const
{
    return _bytes[address % _bytes.size()];
}

std::uint16_t Eeprom::word(std::uint32_t address) const
{
    return static_cast<std::uint16_t>((byte(address) << 8) | byte(address + 1));
}

std::uint32_t Eeprom::uint32(std::uint32_t address) const
{
    return (static_cast<std::uint32_t>(word(address)) << 16) | word(address + 2);
}

double Eeprom::real(std::uint32_t address) const
{
    std::uint64_t pattern = 0;
    for (unsigned k = 0; k < 8; ++k) pattern = (pattern << 8) | byte(address + k);
    double value;
    std::memcpy(&value, &pattern, sizeof value);
    return value;
}

void Eeprom::pokeByte(std::uint32_t address, std::uint8_t value)
{
    _bytes[address % _bytes.size()] = value;
}

void Eeprom::pokeWord(std::uint32_t address, std::uint16_t value)
{
    pokeByte(address, static_cast<std::uint8_t>(value >> 8));
    pokeByte(address + 1, static_cast<std::uint8_t>(value & 0xFF));
}

void Eeprom::pokeUInt32(std::uint32_t address, std::uint32_t value)
{
    pokeWord(address, static_cast<std::uint16_t>(value >> 16));
    pokeWord(address + 2, static_cast<std::uint16_t>(value & 0xFFFF));
}

void Eeprom::pokeReal(std::uint32_t address, double value)
{
    std::uint64_t pattern;
    std::memcpy(&pattern, &value, sizeof value);
    for (int k = 7; k >= 0; --k)
    {
        pokeByte(address + static_cast<std::uint32_t>(k), static_cast<std::uint8_t>(pattern & 0xFF));
        pattern >>= 8;
    }
}

bool Eeprom::program(std::uint32_t address, std::uint16_t value)
{
    ++_programs;
    if (!isStuck(address)) pokeWord(address, static_cast<std::uint16_t>(word(address) & value));
    return word(address) == value;
}

void Eeprom::erase(std::uint32_t first, std::uint32_t last)
{
    for (std::uint32_t a = first; a <= last && a < _bytes.size(); ++a)
        if (!isStuck(a)) _bytes[a] = 0xFF;
}

void Eeprom::clear()
{
    std::fill(_bytes.begin(), _bytes.end(), 0xFF);
}

void Eeprom::setStuck(std::uint32_t address, bool stuck)
{
    std::uint32_t even = (address % _bytes.size()) & ~1u;
    if (stuck)
        _stuck.insert(even);
    else
        _stuck.erase(even);
}

bool Eeprom::isStuck(std::uint32_t address) const
{
    return !_stuck.empty() && _stuck.count((address % _bytes.size()) & ~1u) > 0;
}

} // namespace Sim
} // namespace Tarnlink
