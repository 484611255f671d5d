#ifndef Poco_DeviceIO_Serial_SerialConfig_POSIX_INCLUDED
#define Poco_DeviceIO_Serial_SerialConfig_POSIX_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/RefCountedObject.h>
#include <cstdint>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// Port settings in the Win32 encoding (parity and stop-bit codes), turned into
/// termios flags when the port is configured, so both platforms take the same values.
/// Not thread-safe, as the configuration it is part of.
class DeviceIO_API SerialConfigImpl : public virtual Poco::RefCountedObject
{
public:
    /// Leaves the line speed as the driver has it (USB CDC ports ignore it).
    static const std::uint32_t KEEP_BAUD_RATE = 0xFFFFFFFFu;

    std::uint32_t getBaudRate() const { return _baudRate; }
    unsigned char getDataBits() const { return _dataBits; }
    /// 0 none, 1 odd, 2 even, 3 mark, 4 space.
    unsigned char getParity() const { return _parity; }
    /// 0 one, 1 one and a half, 2 two.
    unsigned char getStopBits() const { return _stopBits; }
    std::uint32_t getFlowControl() const { return _flowControl; }
    unsigned char getXonChar() const { return _xonChar; }
    unsigned char getXoffChar() const { return _xoffChar; }
    bool getUseEOF() const { return _useEOF; }
    char getEOFChar() const { return _eofChar; }
    std::uint32_t getBufferSize() const { return _bufferSize; }
    /// Wait for the first byte of a read in ms; -1 waits for the full count.
    int getFirstByteWait() const { return _firstByteWait; }

protected:
    SerialConfigImpl(std::uint32_t baudRate, unsigned char dataBits, char parity, unsigned char stopBits,
                     std::uint32_t flowControl, unsigned char xonChar, unsigned char xoffChar, bool useEOF,
                     char eofChar, std::uint32_t bufferSize, int timeout);
    ~SerialConfigImpl() override;

    void setParityCharImpl(char parity);
    void setFlowControlImpl(std::uint32_t flowControl, unsigned char xonChar, unsigned char xoffChar);
    void setCommTimeoutsImpl(int milliseconds);

private:
    std::uint32_t _baudRate;
    unsigned char _dataBits;
    unsigned char _parity = 0;
    unsigned char _stopBits;
    std::uint32_t _flowControl = 0;
    unsigned char _xonChar = 0;
    unsigned char _xoffChar = 0;
    bool _useEOF;
    char _eofChar;
    std::uint32_t _bufferSize;
    int _firstByteWait = -1;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
