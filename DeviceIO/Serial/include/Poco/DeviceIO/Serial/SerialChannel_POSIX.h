#ifndef Poco_DeviceIO_Serial_SerialChannel_POSIX_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannel_POSIX_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Serial/SerialConfig_POSIX.h>
#include <cstddef>
#include <string>
#include <termios.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// The POSIX side of SerialChannel: a port descriptor, its saved terminal settings and its calls.
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
    bool isOpenImpl() const { return _fd >= 0; }
    void configureImpl(const std::string& portName);
    /// Waits for data as the configured time-out says, then reads what is there, up to length.
    int readOnceImpl(char* buffer, int length, const std::string& portName);
    /// A read returns what is waiting rather than waiting for its full count.
    bool returnsWhatIsWaitingImpl() const { return true; }
    /// Drops what the port has received; errors are ignored.
    void purgeInputImpl() noexcept;
    /// Bytes after the end-of-file character of a pending read, kept for the next one.
    std::string& keptImpl() { return _kept; }
    const SerialConfigImpl& configImpl() const { return *_config; }
    int writeImpl(const char* data, int length, const std::string& portName);

    static bool isPortInUseImpl(const std::string& portName);
    /// Throws the exception matching err (an errno value) with the system's text.
    static void handleError(int err, const std::string& path);

private:
    /// Opens exclusively; returns -1 with errno set on failure. setExclusive tells
    /// whether this open turned the tty's exclusive mode on, so closing must undo it.
    static int openPort(const std::string& portName, bool& setExclusive);
    static void closePort(int fd, bool setExclusive) noexcept;
    /// Puts back the terminal settings found at open, ignoring failures.
    void restoreAttributes(int fd) noexcept;

    int _fd;
    bool _setExclusive = false;
    /// The settings the terminal had before we made it raw: the path may turn out to be
    /// another program's terminal (a reused pseudo-terminal number), which must not keep ours.
    struct termios _savedAttributes
    {};
    bool _attributesSaved = false;
    /// The configuration's wait, taken at configure() as SetCommTimeouts does.
    int _firstByteWait = -1;
    /// The last read filled all it asked for: more is likely waiting, so the next read is tried
    /// before poll() is asked.
    bool _moreWaiting = true;
    Poco::AutoPtr<SerialConfigImpl> _config;
    std::string _kept;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
