#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/Hardware.h>
#include <Tarnlink/ReadRegisterCommand.h>
#include <Tarnlink/WriteRegisterCommand.h>

namespace Tarnlink {

Hardware::Hardware(Protocol* protocol, std::uint8_t writeOpcode, std::uint8_t readOpcode)
    : _protocol(protocol, true), _writeOpcode(writeOpcode), _readOpcode(readOpcode)
{
}

void Hardware::writeRegister(Register& reg, unsigned attempts, bool waitForEcho)
{
    WriteRegisterCommand command(Command::frameMarker(), _writeOpcode, static_cast<std::uint8_t>(reg.address() & 0xFF),
                                 static_cast<std::uint16_t>(reg.value(false)), waitForEcho);
    for (unsigned i = 0; i < attempts; ++i)
    {
        if (_protocol && _protocol->execute(command))
        {
            reg.markSynced();
            return;
        }
    }
    throw Poco::IOException("Could not write register: " + Poco::NumberFormatter::formatHex(reg.address()));
}

void Hardware::readRegister(Register& reg, unsigned attempts)
{
    std::uint32_t result = 0;
    ReadRegisterCommand command(Command::frameMarker(), _readOpcode, static_cast<std::uint8_t>(reg.address() & 0xFF),
                                &result);
    for (unsigned i = 0; i < attempts; ++i)
    {
        if (_protocol && _protocol->execute(command))
        {
            reg.setValue(result, true);
            return;
        }
    }
    throw Poco::IOException("Could not read register: " + Poco::NumberFormatter::formatHex(reg.address()));
}

} // namespace Tarnlink
