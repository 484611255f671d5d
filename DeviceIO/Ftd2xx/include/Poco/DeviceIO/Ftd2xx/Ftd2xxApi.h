#ifndef Poco_DeviceIO_Ftd2xx_Ftd2xxApi_INCLUDED
#define Poco_DeviceIO_Ftd2xx_Ftd2xxApi_INCLUDED

// Types and calling convention of the D2XX driver library's C interface, as its
// Windows and Linux builds export it (DWORD and ULONG are 32-bit in both).

#include <cstdint>

#if defined(_WIN32)
#define FTD2XX_API __stdcall
#else
#define FTD2XX_API
#endif

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

#if defined(_WIN32)
typedef unsigned long FT_DWORD;
#else
typedef std::uint32_t FT_DWORD;
#endif
typedef FT_DWORD FT_STATUS;
typedef void* FT_HANDLE;

const FT_STATUS FT_OK = 0;
const FT_DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
const FT_DWORD FT_PURGE_RX = 1;
const FT_DWORD FT_PURGE_TX = 2;
const FT_DWORD FT_FLAGS_OPENED = 1;

struct FT_DEVICE_LIST_INFO_NODE
{
    FT_DWORD Flags;
    FT_DWORD Type;
    FT_DWORD ID;
    FT_DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

static_assert(sizeof(FT_DWORD) == 4, "D2XX words are 32-bit");
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == (sizeof(void*) == 4 ? 100 : 104), "D2XX record layout");

typedef FT_STATUS(FTD2XX_API* FT_OpenFn)(int, FT_HANDLE*);
typedef FT_STATUS(FTD2XX_API* FT_OpenExFn)(void*, FT_DWORD, FT_HANDLE*);
typedef FT_STATUS(FTD2XX_API* FT_CloseFn)(FT_HANDLE);
typedef FT_STATUS(FTD2XX_API* FT_ReadFn)(FT_HANDLE, void*, FT_DWORD, FT_DWORD*);
typedef FT_STATUS(FTD2XX_API* FT_WriteFn)(FT_HANDLE, void*, FT_DWORD, FT_DWORD*);
typedef FT_STATUS(FTD2XX_API* FT_SetBaudRateFn)(FT_HANDLE, FT_DWORD);
typedef FT_STATUS(FTD2XX_API* FT_SetDataCharacteristicsFn)(FT_HANDLE, unsigned char, unsigned char, unsigned char);
typedef FT_STATUS(FTD2XX_API* FT_SetFlowControlFn)(FT_HANDLE, unsigned short, unsigned char, unsigned char);
typedef FT_STATUS(FTD2XX_API* FT_PurgeFn)(FT_HANDLE, FT_DWORD);
typedef FT_STATUS(FTD2XX_API* FT_SetTimeoutsFn)(FT_HANDLE, FT_DWORD, FT_DWORD);
typedef FT_STATUS(FTD2XX_API* FT_SetLatencyTimerFn)(FT_HANDLE, unsigned char);
typedef FT_STATUS(FTD2XX_API* FT_SetUSBParametersFn)(FT_HANDLE, FT_DWORD, FT_DWORD);
typedef FT_STATUS(FTD2XX_API* FT_GetDeviceInfoFn)(FT_HANDLE, FT_DWORD*, FT_DWORD*, char*, char*, void*);
typedef FT_STATUS(FTD2XX_API* FT_CreateDeviceInfoListFn)(FT_DWORD*);
typedef FT_STATUS(FTD2XX_API* FT_GetDeviceInfoListFn)(FT_DEVICE_LIST_INFO_NODE*, FT_DWORD*);
typedef FT_STATUS(FTD2XX_API* FT_GetDriverVersionFn)(FT_HANDLE, FT_DWORD*);

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco

#endif
