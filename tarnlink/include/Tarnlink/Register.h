#ifndef Tarnlink_Register_INCLUDED
#define Tarnlink_Register_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/RegisterField.h>
#include <cstdint>
#include <map>

namespace Tarnlink {

/// A 16-bit device register split into fields; the low 8 bits of the address go on the wire.
/// Not thread-safe: part of a device's register image, used with the device from one thread at a time.
class Tarnlink_API Register
{
public:
    typedef std::map<std::uint32_t, RegisterField> FieldMap;

    explicit Register(std::uint32_t address = 0, std::uint32_t size = 2);
    virtual ~Register() = default;

    std::uint32_t address() const { return _address; }
    std::uint32_t size() const { return _size; }
    /// A missing index is created empty (bits 0-0); callers only ask for defined fields.
    RegisterField& field(std::uint32_t index);
    const FieldMap& fields() const { return _fields; }
    /// An index already present keeps its first definition.
    Register& addField(std::uint32_t index, std::uint32_t firstBit, std::uint32_t lastBit, bool alwaysSynced = false);

    std::uint32_t value(bool fromDevice) const;
    void setValue(std::uint32_t raw, bool fromDevice);
    bool isSynced() const;
    void markSynced();

private:
    std::uint32_t _address;
    std::uint32_t _size;
    FieldMap _fields;
};

} // namespace Tarnlink

#endif
