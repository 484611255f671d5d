#ifndef Poco_DeviceIO_Ftd2xx_Ftd2xxConfig_INCLUDED
#define Poco_DeviceIO_Ftd2xx_Ftd2xxConfig_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/DeviceIO/ChannelConfig.h>
#include <cstdint>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

/// Settings of an FTDI device opened by its serial number (the configuration's name).
/// Codes are the D2XX ones (parity 0 none, stop bits 0 one, flow control 0 none).
/// Not thread-safe: set up before the channel is opened, by the thread that opens it.
class DeviceIO_API Ftd2xxConfig : public ChannelConfig
{
public:
    Ftd2xxConfig(const std::string& serialNumber, std::uint32_t baudRate, std::uint32_t dataBits, std::uint32_t parity,
                 std::uint32_t stopBits, std::uint32_t flowControl, unsigned char xonChar, unsigned char xoffChar,
                 std::uint32_t usbInTransferSize, int timeout, std::uint32_t latencyTimer);

    std::uint32_t getBaudRate() const { return baudRate; }
    std::uint32_t getDataBits() const { return dataBits; }
    std::uint32_t getParity() const { return parity; }
    std::uint32_t getStopBits() const { return stopBits; }
    std::uint32_t getFlowControl() const { return flowControl; }
    unsigned char getXonChar() const { return xonChar; }
    unsigned char getXoffChar() const { return xoffChar; }
    std::uint32_t getUsbInTransferSize() const { return usbInTransferSize; }
    std::uint32_t getLatencyTimer() const { return latencyTimer; }

protected:
    ~Ftd2xxConfig() override;

    std::uint32_t baudRate;
    std::uint32_t dataBits;
    std::uint32_t parity;
    std::uint32_t stopBits;
    std::uint32_t flowControl;
    unsigned char xonChar;
    unsigned char xoffChar;
    std::uint32_t usbInTransferSize;
    std::uint32_t latencyTimer;
};

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco

#endif
