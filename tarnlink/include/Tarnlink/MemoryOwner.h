#ifndef Tarnlink_MemoryOwner_INCLUDED
#define Tarnlink_MemoryOwner_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Memory.h>

namespace Tarnlink {

/// Base of every device object: owns the register image.
/// Not thread-safe: a device object and its image are used from one thread at a time.
class Tarnlink_API MemoryOwner
{
public:
    virtual ~MemoryOwner() = default;
    /// Brings the register image to the device's power-on defaults.
    virtual void resetRegisters() = 0;

    Memory& getMemory() { return memory; }
    const Memory& getMemory() const { return memory; }

protected:
    Memory memory;
};

} // namespace Tarnlink

#endif
