#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>
#include <algorithm>
#include <cstring>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

Ftd2xxChannel::Ftd2xxChannel(Ftd2xxConfig* cfg)
    : Channel(cfg, ""), ftdiConfig(cfg, true), driver(Ftd2xxDriver::instance())
{
    openAtConstruction();
}

Ftd2xxChannel::Ftd2xxChannel(Ftd2xxConfig* cfg, Ftd2xxDriver& drv)
    : Channel(cfg, ""), ftdiConfig(cfg, true), driver(drv)
{
    openAtConstruction();
}

Ftd2xxChannel::~Ftd2xxChannel()
{
    if (handle)
    {
        try
        {
            status = driver.FT_Close(handle);
        }
        catch (...)
        {
        }
        handle = nullptr;
    }
}

void Ftd2xxChannel::openAtConstruction()
{
    try
    {
        open();
    }
    catch (...)
    {
        // No destructor runs for a half-built channel: release the device here.
        if (handle) driver.FT_Close(handle);
        handle = nullptr;
        throw;
    }
}

const std::string& Ftd2xxChannel::serialNumber() const
{
    static const std::string none;
    return ftdiConfig ? ftdiConfig->getName() : none;
}

void Ftd2xxChannel::deviceError() const
{
    throw Poco::IOException("Unable to communicate with device", serialNumber());
}

void Ftd2xxChannel::open()
{
    if (!ftdiConfig) throw Poco::NullPointerException("FTDI channel has no configuration");
    if (handle) close();
    std::string serial = ftdiConfig->getName();
    FT_HANDLE opened = nullptr;
    status = driver.FT_OpenEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &opened);
    if (status != FT_OK) deviceError();
    handle = opened;
    configure();
}

void Ftd2xxChannel::close()
{
    if (!handle) return;
    status = driver.FT_Close(handle);
    handle = nullptr;
}

void Ftd2xxChannel::configure()
{
    if (!ftdiConfig) throw Poco::NullPointerException("FTDI channel has no configuration");
    if (!handle) deviceError();
    const Ftd2xxConfig& c = *ftdiConfig;
    const FT_DWORD timeout = static_cast<FT_DWORD>(c.getTimeout());
    if ((status = driver.FT_SetBaudRate(handle, c.getBaudRate())) != FT_OK) deviceError();
    if ((status = driver.FT_SetDataCharacteristics(handle, static_cast<unsigned char>(c.getDataBits()),
                                                   static_cast<unsigned char>(c.getStopBits()),
                                                   static_cast<unsigned char>(c.getParity()))) != FT_OK)
        deviceError();
    if ((status = driver.FT_SetTimeouts(handle, timeout, timeout)) != FT_OK) deviceError();
    if ((status = driver.FT_SetFlowControl(handle, static_cast<unsigned short>(c.getFlowControl()), c.getXonChar(),
                                           c.getXoffChar())) != FT_OK)
        deviceError();
    if ((status = driver.FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX)) != FT_OK) deviceError();
    if ((status = driver.FT_SetLatencyTimer(handle, static_cast<unsigned char>(c.getLatencyTimer()))) != FT_OK)
        deviceError();
    if ((status = driver.FT_SetUSBParameters(handle, c.getUsbInTransferSize(), 4096)) != FT_OK) deviceError();
}

int Ftd2xxChannel::read(char*&)
{
    throw Poco::InvalidAccessException();
}

int Ftd2xxChannel::readLoop(char* buffer, int length, int ask)
{
    int readCount = 0;
    for (;;)
    {
        FT_DWORD read = 0;
        status = driver.FT_Read(handle, buffer + readCount, static_cast<FT_DWORD>(ask), &read);
        if (status != FT_OK) deviceError();
        if (read == 0) return readCount;
        if (!(read <= static_cast<FT_DWORD>(ask)))
            Poco::Bugcheck::assertion("read <= length - readCount", __FILE__, __LINE__);
        readCount += static_cast<int>(read);
        if (readCount >= length) return readCount;
        ask = length - readCount;
    }
}

int Ftd2xxChannel::read(char* buffer, int length)
{
    if (length <= 0) return 0;
    if (!handle) deviceError();
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    return readLoop(buffer, length, length);
}

int Ftd2xxChannel::readAhead(char* buffer, int length, int capacity)
{
    if (length <= 0) return 0;
    if (!handle) deviceError();
    int ask = length;
    if (driver.FT_GetQueueStatus)
    {
        FT_DWORD queued = 0;
        if ((status = driver.FT_GetQueueStatus(handle, &queued)) != FT_OK) deviceError();
        if (queued > static_cast<FT_DWORD>(length))
            ask = queued < static_cast<FT_DWORD>(capacity) ? static_cast<int>(queued) : std::max(capacity, length);
    }
    return readLoop(buffer, length, ask);
}

int Ftd2xxChannel::write(const char* data, int length)
{
    if (!handle) deviceError();
    FT_DWORD written = 0;
    status = driver.FT_Write(handle, const_cast<char*>(data), static_cast<FT_DWORD>(length < 0 ? 0 : length), &written);
    if (status != FT_OK) deviceError();
    if (written == static_cast<FT_DWORD>(length) && written > 0) return static_cast<int>(written);
    if (written == 0) throw Poco::IOException("Error writing to " + serialNumber());
    deviceError();
}

std::vector<Ftd2xxDeviceInfo> enumerateDevices()
{
    return enumerateDevices(Ftd2xxDriver::instance());
}

std::vector<Ftd2xxDeviceInfo> enumerateDevices(Ftd2xxDriver& driver)
{
    std::vector<Ftd2xxDeviceInfo> devices;
    FT_DWORD count = 0;
    if (driver.FT_CreateDeviceInfoList(&count) != FT_OK || count == 0) return devices;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    std::memset(nodes.data(), 0, nodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    FT_DWORD filled = count;
    if (driver.FT_GetDeviceInfoList(nodes.data(), &filled) != FT_OK) return devices;
    if (filled > count) filled = count;
    for (FT_DWORD i = 0; i < filled; ++i)
    {
        const FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
        std::string serial(node.SerialNumber, strnlen(node.SerialNumber, sizeof(node.SerialNumber)));
        if (serial.empty()) continue;
        Ftd2xxDeviceInfo info;
        info.type = node.Type;
        info.id = node.ID;
        info.locationId = node.LocId;
        info.serialNumber = serial;
        info.description.assign(node.Description, strnlen(node.Description, sizeof(node.Description)));
        info.opened = (node.Flags & FT_FLAGS_OPENED) != 0;
        devices.push_back(info);
    }
    return devices;
}

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco
