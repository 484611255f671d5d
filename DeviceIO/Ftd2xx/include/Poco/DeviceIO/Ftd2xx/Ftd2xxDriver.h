#ifndef Poco_DeviceIO_Ftd2xx_Ftd2xxDriver_INCLUDED
#define Poco_DeviceIO_Ftd2xx_Ftd2xxDriver_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxApi.h>
#include <Poco/SharedLibrary.h>
#include <Util/System/Functor.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

/// The D2XX driver library, loaded at run time, with its entry points bound.
/// Thread-safe once constructed: the bound entry points never change; instance() locks.
class DeviceIO_API Ftd2xxDriver : public Poco::SharedLibrary
{
public:
    /// Loads the library at path and binds every entry point. Throws
    /// Poco::LibraryLoadException when it cannot be loaded and Poco::NotFoundException
    /// naming the first missing entry point.
    explicit Ftd2xxDriver(const std::string& path);
    ~Ftd2xxDriver() override;

    /// The driver of this process, loaded on first use from ORLAN_FTD2XX_LIBRARY or the
    /// platform default. A failed load is not remembered: the next call tries again.
    /// Drivers stay loaded until the process ends.
    static Ftd2xxDriver& instance();
    /// The library instance() loads: ORLAN_FTD2XX_LIBRARY, else the platform's name.
    static std::string libraryPath();

    static const char* const LIBRARY_VARIABLE;

    Util::System::Functor<FT_STATUS, int, FT_HANDLE*> FT_Open;
    Util::System::Functor<FT_STATUS, void*, FT_DWORD, FT_HANDLE*> FT_OpenEx;
    Util::System::Functor<FT_STATUS, FT_HANDLE> FT_Close;
    Util::System::Functor<FT_STATUS, FT_HANDLE, void*, FT_DWORD, FT_DWORD*> FT_Read;
    Util::System::Functor<FT_STATUS, FT_HANDLE, void*, FT_DWORD, FT_DWORD*> FT_Write;
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD> FT_SetBaudRate;
    Util::System::Functor<FT_STATUS, FT_HANDLE, unsigned char, unsigned char, unsigned char> FT_SetDataCharacteristics;
    Util::System::Functor<FT_STATUS, FT_HANDLE, unsigned short, unsigned char, unsigned char> FT_SetFlowControl;
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD> FT_Purge;
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD, FT_DWORD> FT_SetTimeouts;
    Util::System::Functor<FT_STATUS, FT_HANDLE, unsigned char> FT_SetLatencyTimer;
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD, FT_DWORD> FT_SetUSBParameters;
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD*, FT_DWORD*, char*, char*, void*> FT_GetDeviceInfo;
    Util::System::Functor<FT_STATUS, FT_DWORD*> FT_CreateDeviceInfoList;
    Util::System::Functor<FT_STATUS, FT_DEVICE_LIST_INFO_NODE*, FT_DWORD*> FT_GetDeviceInfoList;
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD*> FT_GetDriverVersion;
    /// Bound when the library has it (empty otherwise): the bytes waiting in the receive queue.
    Util::System::Functor<FT_STATUS, FT_HANDLE, FT_DWORD*> FT_GetQueueStatus;

private:
    template <typename R, typename... Args>
    void bind(Util::System::Functor<R, Args...>& functor, const char* name);
    template <typename R, typename... Args>
    void bindIfPresent(Util::System::Functor<R, Args...>& functor, const char* name);
};

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco

#endif
