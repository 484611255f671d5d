#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <stdexcept>

namespace Poco {
namespace DeviceIO {
namespace Serial {

const char* const VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE = "ORLAN_TARNLINK_PORTS";

VirtualSerialPortEnum::~VirtualSerialPortEnum() = default;

const VirtualSerialPortEnum::DeviceInfo& VirtualSerialPortEnum::get(std::size_t index) const
{
    if (index >= _devices.size()) throw std::out_of_range("invalid vector<T> subscript");
    return _devices[index];
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
