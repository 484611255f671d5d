#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/DataBlockMemory.h>
#include <cstring>

namespace Tarnlink {

namespace {
template <typename T>
std::string toBytes(T value)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(&bytes[0], &value, sizeof value);
    return bytes;
}

template <typename T>
T fromBytes(const std::string& bytes)
{
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::string hexAddress(std::uint32_t address)
{
    return "0x" + Poco::NumberFormatter::formatHex(address, 4);
}
} // namespace

DataBlockMemory::DataBlockMemory(std::uint32_t address) : _address(address) {}

void DataBlockMemory::declare(std::uint32_t address, std::string bytes)
{
    _size += static_cast<std::uint32_t>(bytes.size());
    _data.emplace(address, std::move(bytes));
}

void DataBlockMemory::declareByte(std::uint32_t address, std::uint8_t value)
{
    declare(address, toBytes(value));
}
void DataBlockMemory::declareUInt32(std::uint32_t address, std::uint32_t value)
{
    declare(address, toBytes(value));
}
void DataBlockMemory::declareDouble(std::uint32_t address, double value)
{
    declare(address, toBytes(value));
}

void DataBlockMemory::store(std::uint32_t address, std::string bytes)
{
    sized(address, bytes.size());
    _data[address] = std::move(bytes);
}

void DataBlockMemory::storeByte(std::uint32_t address, std::uint8_t value)
{
    store(address, toBytes(value));
}
void DataBlockMemory::storeUInt32(std::uint32_t address, std::uint32_t value)
{
    store(address, toBytes(value));
}
void DataBlockMemory::storeDouble(std::uint32_t address, double value)
{
    store(address, toBytes(value));
}

const std::string& DataBlockMemory::bytes(std::uint32_t address) const
{
    DataMap::const_iterator it = _data.find(address);
    if (it == _data.end()) throw Poco::NotFoundException("No value declared at EEPROM address " + hexAddress(address));
    return it->second;
}

const std::string& DataBlockMemory::sized(std::uint32_t address, std::size_t width) const
{
    const std::string& stored = bytes(address);
    // A width mismatch would silently change the layout the transfers rely on.
    if (stored.size() != width)
        throw Poco::InvalidArgumentException("EEPROM value at " + hexAddress(address) + " is " +
                                             std::to_string(stored.size()) + " bytes wide, not " +
                                             std::to_string(width));
    return stored;
}

std::uint8_t DataBlockMemory::byteAt(std::uint32_t address) const
{
    return static_cast<std::uint8_t>(bytes(address)[0]);
}

std::uint32_t DataBlockMemory::uint32At(std::uint32_t address) const
{
    return fromBytes<std::uint32_t>(sized(address, 4));
}

double DataBlockMemory::doubleAt(std::uint32_t address) const
{
    return fromBytes<double>(sized(address, 8));
}

} // namespace Tarnlink
