#include <Poco/DeviceIO/Serial/SerialChannel_POSIX.h>
#include <Poco/Exception.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

namespace {

bool toSpeed(std::uint32_t baud, speed_t& speed)
{
    static const struct
    {
        std::uint32_t baud;
        speed_t speed;
    } table[] = {
        {1200, B1200},       {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},
        {38400, B38400},     {57600, B57600},   {115200, B115200},   {230400, B230400},
#ifdef B460800
        {460800, B460800},   {921600, B921600}, {1000000, B1000000}, {2000000, B2000000}, {3000000, B3000000},
        {4000000, B4000000},
#endif
    };
    for (const auto& entry : table)
    {
        if (entry.baud == baud)
        {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

} // namespace

//
// SerialConfigImpl
//

SerialConfigImpl::SerialConfigImpl(std::uint32_t baudRate, unsigned char dataBits, char parity, unsigned char stopBits,
                                   std::uint32_t flowControl, unsigned char xonChar, unsigned char xoffChar,
                                   bool useEOF, char eofChar, std::uint32_t bufferSize, int timeout)
    : _baudRate(baudRate),
      _dataBits(dataBits),
      _stopBits(stopBits),
      _useEOF(useEOF),
      _eofChar(eofChar),
      _bufferSize(bufferSize)
{
    setParityCharImpl(parity);
    setFlowControlImpl(flowControl, xonChar, xoffChar);
    setCommTimeoutsImpl(timeout);
}

SerialConfigImpl::~SerialConfigImpl() = default;

void SerialConfigImpl::setParityCharImpl(char parity)
{
    switch (parity)
    {
    case 'N':
    case 'n':
        _parity = 0;
        break;
    case 'O':
    case 'o':
        _parity = 1;
        break;
    case 'E':
    case 'e':
        _parity = 2;
        break;
    case 'M':
    case 'm':
        _parity = 3;
        break;
    case 'S':
    case 's':
        _parity = 4;
        break;
    default:
        throw Poco::InvalidArgumentException(std::string("SerialConfigImpl::setParityCharImpl(") + parity + ")");
    }
}

void SerialConfigImpl::setFlowControlImpl(std::uint32_t flowControl, unsigned char xonChar, unsigned char xoffChar)
{
    if (flowControl == 0)
    {
        xonChar = 0;
        xoffChar = 0;
    }
    else if (flowControl == 1)
    {
        if (xonChar == xoffChar) throw Poco::InvalidAccessException("XON == XOFF - not set.");
    }
    else
    {
        throw Poco::InvalidArgumentException("Invalid argument supplied. Flow control not set.");
    }
    _flowControl = flowControl;
    _xonChar = xonChar;
    _xoffChar = xoffChar;
}

void SerialConfigImpl::setCommTimeoutsImpl(int milliseconds)
{
    _firstByteWait = milliseconds >= 1 ? milliseconds : -1;
}

//
// SerialChannelImpl
//

SerialChannelImpl::SerialChannelImpl(SerialConfigImpl* config) : _fd(-1), _config(config, true) {}

SerialChannelImpl::~SerialChannelImpl()
{
    closeQuietlyImpl();
}

void SerialChannelImpl::handleError(int err, const std::string& /*path*/)
{
    std::string text = std::system_category().message(err);
    switch (err)
    {
    case ENOENT:
        throw Poco::FileNotFoundException(text);
    case EACCES:
    case EPERM:
        throw Poco::FileAccessDeniedException(text);
    case ENOMEM:
        throw Poco::OutOfMemoryException(text);
    case EEXIST:
        throw Poco::FileExistsException(text);
    case EBUSY:
    case EIO:
    case ENXIO:
    case ENODEV:
        throw Poco::IOException(text);
    case EROFS:
        throw Poco::FileReadOnlyException(text);
    default:
        throw Poco::FileException(text);
    }
}

int SerialChannelImpl::openPort(const std::string& portName, bool& setExclusive)
{
    setExclusive = false;
    int fd = ::open(portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int err = 0;
    // The lock comes first: a second opener must fail before it touches the owner's
    // exclusive mode. flock also holds against root and within this process; TIOCEXCL
    // keeps other users out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        err = errno == EWOULDBLOCK ? EBUSY : errno;
    }
    else
    {
        int exclusive = 0;
#ifdef TIOCGEXCL
        // Exclusive already (another program, seen only by root): not ours to clear later.
        if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = 0;
#endif
        if (!exclusive)
        {
            if (::ioctl(fd, TIOCEXCL) != 0)
                err = errno;
            else
                setExclusive = true;
        }
        if (err == 0)
        {
            int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
        }
    }
    if (err != 0)
    {
        closePort(fd, setExclusive);
        setExclusive = false;
        errno = err;
        return -1;
    }
    return fd;
}

void SerialChannelImpl::closePort(int fd, bool setExclusive) noexcept
{
    if (setExclusive) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void SerialChannelImpl::openImpl(const std::string& portName)
{
    _kept.clear();
    _fd = openPort(portName, _setExclusive);
    if (_fd < 0) handleError(errno, portName);
    _attributesSaved = ::tcgetattr(_fd, &_savedAttributes) == 0;
}

void SerialChannelImpl::restoreAttributes(int fd) noexcept
{
    if (_attributesSaved) ::tcsetattr(fd, TCSANOW, &_savedAttributes);
    _attributesSaved = false;
}

void SerialChannelImpl::closeImpl(const std::string& portName)
{
    int fd = _fd;
    _fd = -1; // a failed close still releases the descriptor
    _kept.clear();
    if (fd < 0) return;
    restoreAttributes(fd);
    if (_setExclusive) ::ioctl(fd, TIOCNXCL);
    _setExclusive = false;
    if (::close(fd) != 0 && errno != EINTR) handleError(errno, portName);
}

void SerialChannelImpl::closeQuietlyImpl() noexcept
{
    if (_fd >= 0)
    {
        restoreAttributes(_fd);
        closePort(_fd, _setExclusive);
    }
    _kept.clear();
    _fd = -1;
    _setExclusive = false;
}

void SerialChannelImpl::configureImpl(const std::string& portName)
{
    struct termios tio;
    if (::tcgetattr(_fd, &tio) != 0) handleError(errno, portName);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);

    switch (_config->getDataBits())
    {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    case 8:
        tio.c_cflag |= CS8;
        break;
    default:
        throw Poco::InvalidArgumentException("Unsupported number of data bits");
    }
    switch (_config->getParity())
    {
    case 0:
        break;
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
    case 3:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
#endif
    default:
        throw Poco::InvalidArgumentException("Unsupported parity");
    }
    switch (_config->getStopBits())
    {
    case 0:
        break;
    case 1: // one and a half is not offered by termios; two is the nearest
    case 2:
        tio.c_cflag |= CSTOPB;
        break;
    default:
        throw Poco::InvalidArgumentException("Unsupported stop bits");
    }
    if (_config->getFlowControl() == 0)
    {
        tio.c_cflag |= CRTSCTS;
    }
    else
    {
        // The Win32 settings leave XON/XOFF handling off and only record the characters.
        tio.c_cc[VSTART] = static_cast<cc_t>(_config->getXonChar());
        tio.c_cc[VSTOP] = static_cast<cc_t>(_config->getXoffChar());
    }
    if (_config->getBaudRate() != SerialConfigImpl::KEEP_BAUD_RATE)
    {
        speed_t speed;
        if (!toSpeed(_config->getBaudRate(), speed)) throw Poco::InvalidArgumentException("Unsupported baud rate");
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
    }
    // Reads never block in the driver; poll() does the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(_fd, TCSANOW, &tio) != 0) handleError(errno, portName);
    if (::tcflush(_fd, TCIOFLUSH) != 0) handleError(errno, portName);
    _kept.clear();
    _firstByteWait = _config->getFirstByteWait();
}

int SerialChannelImpl::readOnceImpl(char* buffer, int length, const std::string& portName)
{
    // Under a steady stream something is nearly always waiting: then it is tried before poll()
    // is asked. A read that took all there was says the next will likely have to wait.
    if (_moreWaiting)
    {
        ssize_t first = ::read(_fd, buffer, static_cast<std::size_t>(length));
        if (first > 0)
        {
            _moreWaiting = first == length;
            return static_cast<int>(first);
        }
        if (first < 0 && errno != EAGAIN && errno != EINTR) handleError(errno, portName);
    }

    struct pollfd pfd;
    pfd.fd = _fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    // A signal cuts the wait short; only the time left is waited again, so a process that
    // takes periodic signals still sees its time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_firstByteWait);
    int wait = _firstByteWait;
    int ready;
    for (;;)
    {
        ready = ::poll(&pfd, 1, wait);
        if (ready >= 0 || errno != EINTR) break;
        if (_firstByteWait < 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now() + std::chrono::microseconds(999));
        wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    if (ready < 0) handleError(errno, portName);
    _moreWaiting = false;
    if (ready == 0) return 0;
    ssize_t got = ::read(_fd, buffer, static_cast<std::size_t>(length));
    if (got < 0)
    {
        if (errno == EAGAIN || errno == EINTR) return 0;
        handleError(errno, portName);
    }
    // Readable with nothing to read: the device hung up (unplugged, or the pty master closed).
    if (got == 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) handleError(EIO, portName);
    _moreWaiting = got == length;
    return static_cast<int>(got);
}

void SerialChannelImpl::purgeInputImpl() noexcept
{
    ::tcflush(_fd, TCIFLUSH);
}

int SerialChannelImpl::writeImpl(const char* data, int length, const std::string& portName)
{
    int total = 0;
    while (total < length)
    {
        ssize_t n = ::write(_fd, data + total, static_cast<std::size_t>(length - total));
        if (n < 0)
        {
            if (errno == EINTR) continue;
            handleError(errno, portName);
        }
        if (n == 0) break;
        total += static_cast<int>(n);
    }
    if (total == 0) throw Poco::IOException("Error writing to " + portName);
    if (total != length) handleError(EIO, portName);
    return total;
}

bool SerialChannelImpl::isPortInUseImpl(const std::string& portName)
{
    bool setExclusive = false;
    int fd = openPort(portName, setExclusive);
    if (fd < 0) return true;
    closePort(fd, setExclusive);
    return false;
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
