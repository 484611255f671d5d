#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/SectorMemoryEEPROM.h>

namespace Tarnlink {

SectorMemoryEEPROM::SectorMemoryEEPROM(std::uint32_t id, std::uint32_t start, std::uint32_t size)
    : _id(id), _start(start), _size(size), _free(size)
{
}

DataBlockMemory& SectorMemoryEEPROM::allocateBlock(std::uint32_t blockAddress, std::uint32_t size)
{
    BlockMap::iterator it = _blocks.find(blockAddress);
    if (it == _blocks.end())
    {
        it = _blocks.emplace(blockAddress, DataBlockMemory(blockAddress)).first;
        _blockOrder.push_back(blockAddress);
    }
    _free -= size;
    return it->second;
}

DataBlockMemory& SectorMemoryEEPROM::block(std::uint32_t blockAddress)
{
    return const_cast<DataBlockMemory&>(static_cast<const SectorMemoryEEPROM&>(*this).block(blockAddress));
}

const DataBlockMemory& SectorMemoryEEPROM::block(std::uint32_t blockAddress) const
{
    BlockMap::const_iterator it = _blocks.find(blockAddress);
    if (it == _blocks.end())
        throw Poco::NotFoundException("No EEPROM block at 0x" + Poco::NumberFormatter::formatHex(blockAddress, 4));
    return it->second;
}

} // namespace Tarnlink
