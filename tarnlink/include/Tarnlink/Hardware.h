#ifndef Tarnlink_Hardware_INCLUDED
#define Tarnlink_Hardware_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/MemoryOwner.h>
#include <Tarnlink/Protocol.h>
#include <cstdint>

namespace Tarnlink {

/// Base of the controller and the pods: a register image reached through the shared protocol.
/// Not thread-safe: the controller and its pods share one protocol and are used from one thread at a time.
class Tarnlink_API Hardware : public MemoryOwner
{
public:
    Hardware(Protocol* protocol, std::uint8_t writeOpcode, std::uint8_t readOpcode);

    /// Writes the register's local value; throws Poco::IOException when no attempt succeeds.
    void writeRegister(Register& reg, unsigned attempts, bool waitForEcho);
    /// Reads the register from the device; throws Poco::IOException when no attempt succeeds.
    void readRegister(Register& reg, unsigned attempts);

    Protocol* getProtocol() const { return const_cast<Protocol*>(_protocol.get()); }
    std::uint8_t writeOpcode() const { return _writeOpcode; }
    std::uint8_t readOpcode() const { return _readOpcode; }

protected:
    Protocol::Ptr _protocol;
    std::uint8_t _writeOpcode;
    std::uint8_t _readOpcode;
};

} // namespace Tarnlink

#endif
