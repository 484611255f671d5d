#ifndef Poco_DeviceIO_Serial_SerialConfigImpl_INCLUDED
#define Poco_DeviceIO_Serial_SerialConfigImpl_INCLUDED

// Ahead of DeviceIO's own on the include path: the Win32 implementation on any platform.
#include <Poco/DeviceIO/Serial/SerialConfig_WIN32.h>

#endif
