#ifndef Poco_DeviceIO_Serial_SerialChannel_WIN32_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannel_WIN32_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Serial/SerialConfig_WIN32.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// The Win32 side of SerialChannel: a port handle and its calls.
/// Not thread-safe, as the channel it is part of.
class DeviceIO_API SerialChannelImpl
{
protected:
    explicit SerialChannelImpl(SerialConfigImpl* config);
    ~SerialChannelImpl();

    void openImpl(const std::string& portName);
    void closeImpl(const std::string& portName);
    /// Closes an open port, swallowing errors; for destructors.
    void closeQuietlyImpl() noexcept;
    bool isOpenImpl() const { return _handle != INVALID_HANDLE_VALUE; }
    void configureImpl(const std::string& portName);
    /// One ReadFile; returns the bytes it delivered.
    int readOnceImpl(char* buffer, int length, const std::string& portName);
    /// The time-outs applied make ReadFile return what is waiting rather than its full count.
    /// Not under Wine: there ReadFile waits its whole time-out constant unless the full count came.
    bool returnsWhatIsWaitingImpl() const { return _appliedTimeouts.ReadIntervalTimeout == MAXDWORD && !underWine(); }
    /// Drops what the port has received; errors are ignored.
    void purgeInputImpl() noexcept;
    /// Bytes after the end-of-file character of a pending read, kept for the next one.
    std::string& keptImpl() { return _kept; }
    const SerialConfigImpl& configImpl() const { return *_config; }
    int writeImpl(const char* data, int length, const std::string& portName);

    static bool isPortInUseImpl(const std::string& portName);
    static void handleLastError(const std::string& path);
    static std::string lastErrorText();

private:
    static HANDLE openPort(const std::string& portName);
    static bool underWine();

    HANDLE _handle;
    /// What SetCommTimeouts was last given: a changed configuration waits for configure().
    COMMTIMEOUTS _appliedTimeouts;
    Poco::AutoPtr<SerialConfigImpl> _config;
    std::string _kept;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
