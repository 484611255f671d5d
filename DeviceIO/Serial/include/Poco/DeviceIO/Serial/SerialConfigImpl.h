#ifndef Poco_DeviceIO_Serial_SerialConfigImpl_INCLUDED
#define Poco_DeviceIO_Serial_SerialConfigImpl_INCLUDED

#if defined(_WIN32)
#include <Poco/DeviceIO/Serial/SerialConfig_WIN32.h>
#else
#include <Poco/DeviceIO/Serial/SerialConfig_POSIX.h>
#endif

#endif
