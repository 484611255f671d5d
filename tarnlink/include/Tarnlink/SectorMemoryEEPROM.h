#ifndef Tarnlink_SectorMemoryEEPROM_INCLUDED
#define Tarnlink_SectorMemoryEEPROM_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/DataBlockMemory.h>
#include <cstdint>
#include <map>
#include <vector>

namespace Tarnlink {

/// An EEPROM sector (the unit the device erases) and the data blocks declared in it.
/// Not thread-safe: part of a device's EEPROM image, used with the device from one thread at a time.
class Tarnlink_API SectorMemoryEEPROM
{
public:
    typedef std::map<std::uint32_t, DataBlockMemory> BlockMap;

    SectorMemoryEEPROM(std::uint32_t id = 0, std::uint32_t start = 0, std::uint32_t size = 0);
    virtual ~SectorMemoryEEPROM() = default;

    /// Creates the block on first use; free shrinks by size on every call, as declarations
    /// count their width each time.
    DataBlockMemory& allocateBlock(std::uint32_t blockAddress, std::uint32_t size);
    /// Poco::NotFoundException when no block starts there.
    DataBlockMemory& block(std::uint32_t blockAddress);
    const DataBlockMemory& block(std::uint32_t blockAddress) const;

    std::uint32_t id() const { return _id; }
    std::uint32_t start() const { return _start; }
    std::uint32_t size() const { return _size; }
    std::uint32_t lastAddress() const { return _start + _size - 1; }
    bool contains(std::uint32_t address) const { return address >= _start && address - _start < _size; }
    std::uint32_t freeBytes() const { return _free; }
    const std::vector<std::uint32_t>& blockOrder() const { return _blockOrder; }
    const BlockMap& blocks() const { return _blocks; }

private:
    std::uint32_t _id;
    std::uint32_t _start;
    std::uint32_t _size;
    std::uint32_t _free;
    std::vector<std::uint32_t> _blockOrder;
    BlockMap _blocks;
};

} // namespace Tarnlink

#endif
