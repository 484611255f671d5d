#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/MemoryEEPROM.h>

namespace Tarnlink {

MemoryEEPROM::MemoryEEPROM(std::uint32_t size) : _size(size) {}

SectorMemoryEEPROM& MemoryEEPROM::addSector(std::uint32_t id, std::uint32_t start, std::uint32_t size)
{
    return _sectors.emplace(id, SectorMemoryEEPROM(id, start, size)).first->second;
}

std::uint32_t MemoryEEPROM::findSectorId(std::uint32_t address) const
{
    for (const SectorMap::value_type& entry : _sectors)
        if (entry.second.contains(address)) return entry.first;
    return 0;
}

SectorMemoryEEPROM& MemoryEEPROM::sector(std::uint32_t id)
{
    return const_cast<SectorMemoryEEPROM&>(static_cast<const MemoryEEPROM&>(*this).sector(id));
}

const SectorMemoryEEPROM& MemoryEEPROM::sector(std::uint32_t id) const
{
    SectorMap::const_iterator it = _sectors.find(id);
    if (it == _sectors.end())
        throw Poco::NotFoundException("No EEPROM sector 0x" + Poco::NumberFormatter::formatHex(id, 2));
    return it->second;
}

DataBlockMemory& MemoryEEPROM::block(std::uint32_t blockAddress)
{
    return sector(findSectorId(blockAddress)).block(blockAddress);
}

const DataBlockMemory& MemoryEEPROM::block(std::uint32_t blockAddress) const
{
    return sector(findSectorId(blockAddress)).block(blockAddress);
}

} // namespace Tarnlink
