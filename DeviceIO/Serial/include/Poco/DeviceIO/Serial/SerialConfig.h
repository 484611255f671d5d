#ifndef Poco_DeviceIO_Serial_SerialConfig_INCLUDED
#define Poco_DeviceIO_Serial_SerialConfig_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/DeviceIO/ChannelConfig.h>
#include <Poco/DeviceIO/Serial/SerialConfigImpl.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// Settings of a serial port. Parity is a character (N, O, E, M, S); stop bits use the
/// Win32 codes (0 one, 1 one and a half, 2 two); flow control 0 is hardware, 1 software.
/// Not thread-safe: set up before the channel is opened, by the thread that opens it.
class DeviceIO_API SerialConfig : public ChannelConfig, public SerialConfigImpl
{
public:
    SerialConfig(const std::string& portName, unsigned baudRate, unsigned char dataBits, char parity,
                 unsigned char stopBits, unsigned flowControl, unsigned char xonChar, unsigned char xoffChar,
                 bool useEOF, char eofChar, unsigned bufferSize, int timeout);

    void setTimeout(int milliseconds) override;
    void setBlocking() override;
    void setTimeoutImpl(int milliseconds) override;

protected:
    ~SerialConfig() override;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
