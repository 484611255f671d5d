#ifndef Poco_DeviceIO_Serial_SerialChannel_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannel_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/DeviceIO/Channel.h>
#include <Poco/DeviceIO/Serial/SerialChannelImpl.h>
#include <Poco/DeviceIO/Serial/SerialConfig.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// A serial port. The port is opened and configured by the constructor.
/// A read waits up to the configured time-out for its first byte and returns what came;
/// a time-out of 0 or -1 waits for the full count.
/// Not thread-safe: used from the thread that drives the controller.
class DeviceIO_API SerialChannel : public Channel, private SerialChannelImpl
{
public:
    explicit SerialChannel(SerialConfig* config);

    void open() override;
    void close() override;
    void configure() override;
    /// Reads up to the end-of-file character; needs a configuration with useEOF.
    int read(char*& buffer) override;
    int read(char* buffer, int length) override;
    int write(const char* data, int length) override;
    /// One system call takes whatever is waiting, up to capacity.
    int readAhead(char* buffer, int length, int capacity) override;
    int readPending(char*& buffer, std::string& ahead) override;

    bool isOpen() const { return isOpenImpl(); }

    /// True when the port cannot be opened exclusively, also when it does not exist.
    static bool isPortInUse(const std::string& portName);

protected:
    ~SerialChannel() override;

private:
    const std::string& portName() const { return config->getName(); }
    /// Reads of the port until length bytes came or one read gave none, each asking for what fits in capacity.
    int readLoop(char* buffer, int length, int capacity);
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
