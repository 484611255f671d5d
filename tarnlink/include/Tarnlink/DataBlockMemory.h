#ifndef Tarnlink_DataBlockMemory_INCLUDED
#define Tarnlink_DataBlockMemory_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <cstdint>
#include <map>
#include <string>

namespace Tarnlink {

/// A run of declared EEPROM values starting at one address. Each value keeps its bytes in host
/// order under its own EEPROM address; the device byte order is the transfer code's business.
/// Not thread-safe: part of a device's EEPROM image, used with the device from one thread at a time.
class Tarnlink_API DataBlockMemory
{
public:
    typedef std::map<std::uint32_t, std::string> DataMap;

    explicit DataBlockMemory(std::uint32_t address = 0);
    virtual ~DataBlockMemory() = default;

    /// An address already declared keeps its first value, but the size still grows.
    void declareByte(std::uint32_t address, std::uint8_t value);
    void declareUInt32(std::uint32_t address, std::uint32_t value);
    void declareDouble(std::uint32_t address, double value);

    /// Throw Poco::NotFoundException for an undeclared address and Poco::InvalidArgumentException
    /// when the declared value has another width.
    void storeByte(std::uint32_t address, std::uint8_t value);
    void storeUInt32(std::uint32_t address, std::uint32_t value);
    void storeDouble(std::uint32_t address, double value);

    /// The stored bytes; Poco::NotFoundException for an undeclared address.
    const std::string& bytes(std::uint32_t address) const;
    std::uint8_t byteAt(std::uint32_t address) const;
    std::uint32_t uint32At(std::uint32_t address) const;
    double doubleAt(std::uint32_t address) const;
    bool isDeclared(std::uint32_t address) const { return _data.count(address) != 0; }

    std::size_t entryCount() const { return _data.size(); }
    std::uint32_t address() const { return _address; }
    std::uint32_t size() const { return _size; }
    std::uint32_t lastAddress() const { return _address + _size - 1; }
    const DataMap& data() const { return _data; }

private:
    void declare(std::uint32_t address, std::string bytes);
    void store(std::uint32_t address, std::string bytes);
    const std::string& sized(std::uint32_t address, std::size_t width) const;

    std::uint32_t _address;
    std::uint32_t _size = 0;
    DataMap _data;
};

} // namespace Tarnlink

#endif
