#ifndef Tarnlink_FirmwareWord_INCLUDED
#define Tarnlink_FirmwareWord_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Register.h>
#include <cstdint>

namespace Tarnlink {

/// One 16-bit word of a firmware file and the word read back from the device at the same address.
/// Field 0 holds the first file byte (bits 8-15), field 1 the second (bits 0-7).
/// Not thread-safe while written; several threads may read it at once.
struct Tarnlink_API FirmwareWord
{
    explicit FirmwareWord(std::uint32_t address = 0);

    /// The value that counts: the high byte alone for a single trailing byte.
    std::uint32_t fileValue() const { return oddByte ? fileWord.field(0).get(false) : fileWord.value(false); }
    std::uint32_t eepromValue() const { return oddByte ? eepromWord.field(0).get(false) : eepromWord.value(false); }
    bool matches() const { return fileValue() == eepromValue(); }

    mutable Register fileWord;
    mutable Register eepromWord;
    bool oddByte = false;
};

} // namespace Tarnlink

#endif
