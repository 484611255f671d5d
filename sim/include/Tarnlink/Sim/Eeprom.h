#ifndef Tarnlink_Sim_Eeprom_INCLUDED
#define Tarnlink_Sim_Eeprom_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <cstdint>
#include <set>
#include <vector>

namespace Tarnlink {
namespace Sim {

/// Flash-like byte memory with 16-bit word access. The word at an even address A holds
/// byte A in its high half and byte A+1 in its low half; wider values are big-endian.
/// Erasing sets bytes to 0xFF; programming can only clear bits (new = old & value), so a
/// word written without an erase first may not read back as written. Addresses wrap at size.
class TarnlinkSim_API Eeprom
{
public:
    explicit Eeprom(std::uint32_t size = 0x10000);

    std::uint32_t size() const { return static_cast<std::uint32_t>(_bytes.size()); }

    std::uint8_t byte(std::uint32_t address) const;
    std::uint16_t word(std::uint32_t address) const;
    std::uint32_t uint32(std::uint32_t address) const;
    double real(std::uint32_t address) const;

    /// Direct stores for tests and factory set-up: no flash rules, stuck words included.
    void pokeByte(std::uint32_t address, std::uint8_t value);
    void pokeWord(std::uint32_t address, std::uint16_t value);
    void pokeUInt32(std::uint32_t address, std::uint32_t value);
    void pokeReal(std::uint32_t address, double value);

    /// A device write: ANDs the value into the word unless the word is stuck.
    /// Returns true when the word now reads as value.
    bool program(std::uint32_t address, std::uint16_t value);
    /// Sets the bytes first..last (inclusive) to 0xFF; stuck words keep their content.
    void erase(std::uint32_t first, std::uint32_t last);
    /// Fills everything with 0xFF (the blank state).
    void clear();

    /// A stuck word ignores every program and erase (the word at address & ~1).
    void setStuck(std::uint32_t address, bool stuck = true);
    bool isStuck(std::uint32_t address) const;

    /// Number of program() calls so far.
    std::uint64_t programCount() const { return _programs; }

private:
    std::vector<std::uint8_t> _bytes;
    std::set<std::uint32_t> _stuck;
    std::uint64_t _programs = 0;
};

} // namespace Sim
} // namespace Tarnlink

#endif
