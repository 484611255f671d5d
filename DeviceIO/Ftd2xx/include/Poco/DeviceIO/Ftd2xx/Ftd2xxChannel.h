#ifndef Poco_DeviceIO_Ftd2xx_Ftd2xxChannel_INCLUDED
#define Poco_DeviceIO_Ftd2xx_Ftd2xxChannel_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Channel.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxApi.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxConfig.h>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

class Ftd2xxDriver;

/// An FTDI device driven through the D2XX library. The constructor opens and configures
/// it; a new time-out reaches the device at the next configure().
/// Not thread-safe: used from the thread that drives the controller.
class DeviceIO_API Ftd2xxChannel : public Channel
{
public:
    /// Uses Ftd2xxDriver::instance().
    explicit Ftd2xxChannel(Ftd2xxConfig* config);
    /// Uses the given driver, which must outlive the channel.
    Ftd2xxChannel(Ftd2xxConfig* config, Ftd2xxDriver& driver);

    void open() override;
    void close() override;
    void configure() override;
    /// Not offered by this channel: throws Poco::InvalidAccessException.
    int read(char*& buffer) override;
    int read(char* buffer, int length) override;
    int write(const char* data, int length) override;
    /// An FT_Read waits until all it asks for has come: it asks for what the receive queue
    /// holds, up to capacity, when that is at least length, else for length. Without
    /// FT_GetQueueStatus in the library it reads length as read() does.
    int readAhead(char* buffer, int length, int capacity) override;

    bool isOpen() const { return handle != nullptr; }
    /// The FT_STATUS of the last driver call.
    FT_STATUS getStatus() const { return status; }

protected:
    ~Ftd2xxChannel() override;

private:
    void openAtConstruction();
    [[noreturn]] void deviceError() const;
    /// FT_Read for ask bytes, then for what is missing up to length, until length came or one gave none.
    int readLoop(char* buffer, int length, int ask);
    const std::string& serialNumber() const;

    FT_HANDLE handle = nullptr;
    FT_STATUS status = FT_OK;
    Poco::AutoPtr<Ftd2xxConfig> ftdiConfig;
    Ftd2xxDriver& driver;
};

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco

#endif
