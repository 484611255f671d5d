#ifndef Tarnlink_DriftnodeEEPROM_INCLUDED
#define Tarnlink_DriftnodeEEPROM_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <string>

namespace Tarnlink {

/// Firmware operations on a pod's EEPROM.
/// Not thread-safe: used with its pod and the pod's controller from one thread at a time.
class Tarnlink_API DriftnodeEEPROM
{
public:
    virtual ~DriftnodeEEPROM() = default;
    /// True when the pod's EEPROM matches the firmware file; the search for a free radio
    /// channel starts at startChannel.
    virtual bool verifyFirmware(unsigned startChannel, const std::string& path) = 0;
    /// True when the pod's EEPROM matches the firmware file after writing it.
    virtual bool upgradeFirmware(unsigned startChannel, const std::string& path) = 0;
};

} // namespace Tarnlink

#endif
