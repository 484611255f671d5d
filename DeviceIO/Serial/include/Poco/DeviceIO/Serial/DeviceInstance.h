#ifndef Poco_DeviceIO_Serial_DeviceInstance_INCLUDED
#define Poco_DeviceIO_Serial_DeviceInstance_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>

#if defined(_WIN32)

#include <winsock2.h>
#include <windows.h>
#include <setupapi.h>
#include <Poco/AutoPtr.h>
#include <Poco/RefCountedObject.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// The SetupAPI functions that device enumeration calls: the system's, unless a test has put
/// stand-ins in their place (current() is the one table the enumeration reads).
struct DeviceIO_API SetupApi
{
    HDEVINFO(WINAPI* getClassDevs)(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* enumDeviceInfo)(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
    BOOL(WINAPI* getDeviceInstanceId)(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD required);
    BOOL(WINAPI* destroyDeviceInfoList)(HDEVINFO set);

    static SetupApi& current();
    /// The system's own functions.
    static SetupApi system();
};

/// One device of a SetupAPI device-information set (which it does not own).
/// Not thread-safe: used by the enumeration that made it, within that enumeration's call.
class DeviceIO_API DeviceInstance : public Poco::RefCountedObject
{
public:
    DeviceInstance(HDEVINFO deviceInfoSet, DWORD index);

    bool isValid() const { return _valid; }
    Poco::AutoPtr<DeviceInstance> next() const;
    /// The device instance id, for example USB\VID_0483&PID_A027\5&1A2B3C&0&2.
    std::string getId() const;

protected:
    ~DeviceInstance() override;

private:
    HDEVINFO _set;
    SP_DEVINFO_DATA _data;
    DWORD _index;
    bool _valid;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
#endif
