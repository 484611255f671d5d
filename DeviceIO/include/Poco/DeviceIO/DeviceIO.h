#ifndef Poco_DeviceIO_DeviceIO_INCLUDED
#define Poco_DeviceIO_DeviceIO_INCLUDED

// DeviceIO_API marks what the DeviceIO library offers its users: exported from the DLL while it is
// built, imported by the programs and libraries that use it (Windows); on other systems the
// default visibility.

#if defined(_WIN32) && !defined(DeviceIO_STATIC)
#if defined(DeviceIO_EXPORTS)
#define DeviceIO_API __declspec(dllexport)
#else
#define DeviceIO_API __declspec(dllimport)
#endif
#endif

#if !defined(DeviceIO_API)
#if defined(__GNUC__)
#define DeviceIO_API __attribute__((visibility("default")))
#else
#define DeviceIO_API
#endif
#endif

#endif
