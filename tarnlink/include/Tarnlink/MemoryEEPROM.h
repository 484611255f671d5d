#ifndef Tarnlink_MemoryEEPROM_INCLUDED
#define Tarnlink_MemoryEEPROM_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/SectorMemoryEEPROM.h>
#include <cstdint>
#include <map>

namespace Tarnlink {

/// The host's picture of the part of a device EEPROM it cares about, by sector id.
/// Not thread-safe: a device's EEPROM image, used with the device from one thread at a time.
class Tarnlink_API MemoryEEPROM
{
public:
    typedef std::map<std::uint32_t, SectorMemoryEEPROM> SectorMap;

    explicit MemoryEEPROM(std::uint32_t size = 0);
    virtual ~MemoryEEPROM() = default;

    /// An id already present keeps its first sector.
    SectorMemoryEEPROM& addSector(std::uint32_t id, std::uint32_t start, std::uint32_t size);
    /// The lowest id whose sector holds the address; 0 when none does.
    std::uint32_t findSectorId(std::uint32_t address) const;
    /// Poco::NotFoundException for an unknown id.
    SectorMemoryEEPROM& sector(std::uint32_t id);
    const SectorMemoryEEPROM& sector(std::uint32_t id) const;
    /// The block starting at blockAddress, wherever its sector is.
    DataBlockMemory& block(std::uint32_t blockAddress);
    const DataBlockMemory& block(std::uint32_t blockAddress) const;

    std::uint32_t size() const { return _size; }
    const SectorMap& sectors() const { return _sectors; }

private:
    std::uint32_t _size;
    SectorMap _sectors;
};

} // namespace Tarnlink

#endif
