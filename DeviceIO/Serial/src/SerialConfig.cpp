#include <Poco/DeviceIO/Serial/SerialConfig.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

SerialConfig::SerialConfig(const std::string& portName, unsigned baudRate, unsigned char dataBits, char parity,
                           unsigned char stopBits, unsigned flowControl, unsigned char xonChar, unsigned char xoffChar,
                           bool useEOF, char eofChar, unsigned bufferSize, int timeout)
    : ChannelConfig(portName, timeout),
      SerialConfigImpl(baudRate, dataBits, parity, stopBits, flowControl, xonChar, xoffChar, useEOF, eofChar,
                       bufferSize, timeout)
{
}

SerialConfig::~SerialConfig() = default;

void SerialConfig::setTimeout(int milliseconds)
{
    ChannelConfig::setTimeout(milliseconds);
    setCommTimeoutsImpl(milliseconds);
}

void SerialConfig::setBlocking()
{
    ChannelConfig::setBlocking();
    setCommTimeoutsImpl(-1);
}

void SerialConfig::setTimeoutImpl(int milliseconds)
{
    ChannelConfig::setTimeoutImpl(milliseconds);
    setCommTimeoutsImpl(milliseconds);
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
