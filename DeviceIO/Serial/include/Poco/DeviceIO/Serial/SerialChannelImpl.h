#ifndef Poco_DeviceIO_Serial_SerialChannelImpl_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannelImpl_INCLUDED

#if defined(_WIN32)
#include <Poco/DeviceIO/Serial/SerialChannel_WIN32.h>
#else
#include <Poco/DeviceIO/Serial/SerialChannel_POSIX.h>
#endif

#endif
