#ifndef Tarnlink_Memory_INCLUDED
#define Tarnlink_Memory_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Register.h>
#include <cstdint>
#include <map>

namespace Tarnlink {

/// The host-side register image of one device, by address.
/// Not thread-safe: used with its device from one thread at a time.
class Tarnlink_API Memory
{
public:
    typedef std::map<std::uint32_t, Register> RegisterMap;

    /// An address already present keeps the existing register.
    Register& addRegister(std::uint32_t address, std::uint32_t size = 2);
    /// A missing address is created empty; callers only use table addresses.
    Register& getRegister(std::uint32_t address);
    bool hasRegister(std::uint32_t address) const { return _registers.count(address) != 0; }
    /// All fields 0 on both sides.
    void reset();

    RegisterMap::iterator begin() { return _registers.begin(); }
    RegisterMap::iterator end() { return _registers.end(); }
    RegisterMap::const_iterator begin() const { return _registers.begin(); }
    RegisterMap::const_iterator end() const { return _registers.end(); }
    std::size_t size() const { return _registers.size(); }

private:
    RegisterMap _registers;
};

} // namespace Tarnlink

#endif
