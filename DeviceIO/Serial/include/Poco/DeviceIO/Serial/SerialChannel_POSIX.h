#ifndef Poco_DeviceIO_Serial_SerialChannel_POSIX_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannel_POSIX_INCLUDED

#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Serial/SerialConfig_POSIX.h>
#include <cstddef>
#include <string>
#include <termios.h>
#include <vector>

namespace Poco {
namespace DeviceIO {
namespace Serial {

class SerialChannelImpl
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
    int readImpl(char* buffer, int length, const std::string& portName);
    int readPendingImpl(char*& buffer, const std::string& portName);
    int writeImpl(const char* data, int length, const std::string& portName);

    static bool isPortInUseImpl(const std::string& portName);
    /// Throws the exception matching err (an errno value) with the system's text.
    static void handleError(int err, const std::string& path);

private:
    /// Opens exclusively; returns -1 with errno set on failure. setExclusive tells
    /// whether this open turned the tty's exclusive mode on, so closing must undo it.
    static int openPort(const std::string& portName, bool& setExclusive);
    static void closePort(int fd, bool setExclusive) noexcept;
    /// Waits for data as the configured time-out says, then reads what is there.
    int readOnce(char* buffer, int length, const std::string& portName);
    /// Reads what the driver holds into the read-ahead, waiting only when it holds nothing;
    /// false when the time-out passed.
    bool fillAhead(const std::string& portName);
    void purgeInput();
    void dropAhead() noexcept;
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
    Poco::AutoPtr<SerialConfigImpl> _config;
    /// Bytes received but not yet handed out: a one-byte read is then no system call.
    /// Also holds what followed the end-of-file character of a pending read.
    std::vector<char> _ahead;
    std::size_t _aheadPos = 0;
    std::size_t _aheadEnd = 0;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
