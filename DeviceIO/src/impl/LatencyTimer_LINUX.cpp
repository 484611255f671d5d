#include <Poco/DeviceIO/Serial/LatencyTimer.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace Poco {
namespace DeviceIO {
namespace Serial {

namespace {

std::string errorText(int err)
{
    return std::system_category().message(err);
}

/// The attribute sits on the usb-serial port device the tty belongs to.
fs::path attributeOf(const std::string& portName, const fs::path& ttyClass)
{
    std::error_code ec;
    fs::path names[2] = {fs::path(portName).filename(), fs::canonical(portName, ec).filename()};
    // The name as given first: a udev symlink resolves to the tty, and the tests' device
    // folder links a tty name to a pseudo-terminal.
    for (const fs::path& name : names)
    {
        if (name.empty()) continue;
        fs::path file = ttyClass / name / "device" / "latency_timer";
        if (fs::exists(file, ec)) return file;
    }
    return fs::path();
}

bool readValue(const fs::path& file, unsigned long& value)
{
    std::ifstream in(file);
    std::string text;
    if (!std::getline(in, text)) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 10);
    return end != text.c_str();
}

int writeValue(const fs::path& file, unsigned value)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return errno;
    const std::string text = std::to_string(value);
    int err = 0;
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) err = errno ? errno : EIO;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

/// ftdi_sio answers the flag with a 1 ms timer.
int setLowLatencyFlag(const std::string& portName)
{
    const int fd = ::open(portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = 0;
    struct serial_struct serial;
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
    {
        err = errno;
    }
    else if (!(serial.flags & ASYNC_LOW_LATENCY))
    {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) err = errno;
    }
    ::close(fd);
    return err;
}

} // namespace

std::string lowerLatencyTimer(const std::string& portName, unsigned milliseconds, const std::string& sysRoot)
{
    std::string why;
    const fs::path attribute = attributeOf(portName, fs::path(sysRoot) / "class" / "tty");
    if (attribute.empty())
    {
        why = "no latency_timer attribute";
    }
    else
    {
        unsigned long current = 0;
        if (readValue(attribute, current) && current <= milliseconds) return std::string();
        const int err = writeValue(attribute, milliseconds);
        if (err == 0) return std::string();
        why = "latency_timer: " + errorText(err);
    }
    const int err = setLowLatencyFlag(portName);
    if (err == 0) return std::string();
    return why + "; low-latency flag: " + errorText(err);
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
