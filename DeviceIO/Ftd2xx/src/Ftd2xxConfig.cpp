#include <Poco/DeviceIO/Ftd2xx/Ftd2xxConfig.h>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

Ftd2xxConfig::Ftd2xxConfig(const std::string& serialNumber, std::uint32_t baudRate_, std::uint32_t dataBits_,
                           std::uint32_t parity_, std::uint32_t stopBits_, std::uint32_t flowControl_,
                           unsigned char xonChar_, unsigned char xoffChar_, std::uint32_t usbInTransferSize_,
                           int timeout_, std::uint32_t latencyTimer_)
    : ChannelConfig(serialNumber, timeout_),
      baudRate(baudRate_),
      dataBits(dataBits_),
      parity(parity_),
      stopBits(stopBits_),
      flowControl(flowControl_),
      xonChar(xonChar_),
      xoffChar(xoffChar_),
      usbInTransferSize(usbInTransferSize_),
      latencyTimer(latencyTimer_)
{
}

Ftd2xxConfig::~Ftd2xxConfig() = default;

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco
