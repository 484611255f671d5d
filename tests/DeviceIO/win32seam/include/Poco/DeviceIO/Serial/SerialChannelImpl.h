#ifndef Poco_DeviceIO_Serial_SerialChannelImpl_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannelImpl_INCLUDED

// Ahead of DeviceIO's own on the include path: the Win32 implementation on any platform.
#include <Poco/DeviceIO/Serial/SerialChannel_WIN32.h>
#define DEVICEIO_WIN32_SEAM 1

#endif
