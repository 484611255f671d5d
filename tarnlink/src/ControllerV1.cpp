#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/RegisterMap.h>

namespace Tarnlink {

ControllerV1::ControllerV1(Protocol* protocol) : Controller(protocol)
{
    RegisterMap::defineControllerRegisters(memory, 1);
    resetRegisters();
}

void ControllerV1::setSyncMode(unsigned)
{
    _syncMode = 0;
}

unsigned ControllerV1::getSyncMode()
{
    return _syncMode;
}

bool ControllerV1::verifyFirmware(const std::string&)
{
    return false;
}

bool ControllerV1::upgradeFirmware(const std::string&)
{
    return false;
}

} // namespace Tarnlink
