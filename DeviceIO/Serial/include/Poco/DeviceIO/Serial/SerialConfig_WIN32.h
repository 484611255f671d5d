#ifndef Poco_DeviceIO_Serial_SerialConfig_WIN32_INCLUDED
#define Poco_DeviceIO_Serial_SerialConfig_WIN32_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <winsock2.h>
#include <windows.h>
#include <Poco/RefCountedObject.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// Win32 port settings, kept ready for SetCommState and SetCommTimeouts.
/// Not thread-safe, as the configuration it is part of.
class DeviceIO_API SerialConfigImpl : public virtual Poco::RefCountedObject
{
public:
    const DCB& dcb() const { return _dcb; }
    const COMMTIMEOUTS& commTimeouts() const { return _timeouts; }
    DWORD getFlowControl() const { return _flowControl; }
    bool getUseEOF() const { return _useEOF; }
    char getEOFChar() const { return _eofChar; }
    DWORD getBufferSize() const { return _bufferSize; }

protected:
    SerialConfigImpl(DWORD baudRate, unsigned char dataBits, char parity, unsigned char stopBits, DWORD flowControl,
                     unsigned char xonChar, unsigned char xoffChar, bool useEOF, char eofChar, DWORD bufferSize,
                     int timeout);
    ~SerialConfigImpl() override;

    void setParityCharImpl(char parity);
    void setFlowControlImpl(DWORD flowControl, unsigned char xonChar, unsigned char xoffChar);
    void setCommTimeoutsImpl(int milliseconds);

private:
    DCB _dcb;
    DWORD _flowControl;
    bool _useEOF;
    DWORD _bufferSize;
    COMMTIMEOUTS _timeouts;
    char _eofChar;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
