#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Environment.h>
#include <Poco/StringTokenizer.h>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

namespace fs = std::filesystem;

namespace Poco {
namespace DeviceIO {
namespace Serial {

namespace {

std::string readAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == '\r')) value.pop_back();
    return value;
}

std::string hex4(unsigned short id)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", id);
    return text;
}

/// A tty's device link leads to the USB interface (ACM) or to a port device below it
/// (usb-serial drivers); the USB device is the interface's parent. Empty when the tty
/// is not on USB.
fs::path usbDeviceOf(const fs::path& device)
{
    std::error_code ec;
    fs::path dir = fs::canonical(device, ec);
    if (ec) return fs::path();
    for (int depth = 0; depth < 3 && !dir.empty() && dir != dir.root_path(); ++depth, dir = dir.parent_path())
    {
        if (fs::exists(dir / "bInterfaceNumber", ec)) return dir.parent_path();
    }
    return fs::path();
}

bool matchesUsbIds(const fs::path& usbDevice, const std::string& vendor, const std::string& product)
{
    return !usbDevice.empty() && readAttribute(usbDevice / "idVendor") == vendor &&
           readAttribute(usbDevice / "idProduct") == product;
}

/// Runs of digits compare by value, so ttyACM2 comes before ttyACM10.
bool naturalLess(const std::string& a, const std::string& b)
{
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size())
    {
        if (isDigit(a[i]) && isDigit(b[j]))
        {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && isDigit(a[endA])) ++endA;
            while (endB < b.size() && isDigit(b[endB])) ++endB;
            std::size_t startA = i, startB = j;
            while (startA + 1 < endA && a[startA] == '0') ++startA;
            while (startB + 1 < endB && b[startB] == '0') ++startB;
            const std::size_t lengthA = endA - startA, lengthB = endB - startB;
            if (lengthA != lengthB) return lengthA < lengthB;
            const int order = a.compare(startA, lengthA, b, startB, lengthB);
            if (order != 0) return order < 0;
            i = endA;
            j = endB;
        }
        else
        {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b; // equal values with different zero padding still get one order
}

std::string identity(const std::string& path)
{
    std::error_code ec;
    fs::path canonical = fs::canonical(path, ec);
    return ec ? path : canonical.string();
}

} // namespace

VirtualSerialPortEnum::VirtualSerialPortEnum(unsigned short vendorId, unsigned short productId,
                                             const std::string& sysRoot, const std::string& devRoot,
                                             const char* extraPortsVariable)
{
    const std::string vendor = hex4(vendorId);
    const std::string product = hex4(productId);
    const fs::path ttyClass = fs::path(sysRoot) / "class" / "tty";
    std::vector<std::pair<std::string, std::string>> found; // name, USB serial
    std::error_code ec;
    for (fs::directory_iterator it(ttyClass, ec), end; !ec && it != end; it.increment(ec))
    {
        const fs::path usbDevice = usbDeviceOf(it->path() / "device");
        if (matchesUsbIds(usbDevice, vendor, product))
            found.emplace_back(it->path().filename().string(), readAttribute(usbDevice / "serial"));
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return naturalLess(a.first, b.first); });

    std::set<std::string> seen;
    for (const auto& [name, serial] : found)
    {
        std::string port = devRoot + "/" + name;
        seen.insert(identity(port));
        _devices.emplace_back(port, serial, SerialChannel::isPortInUse(port));
    }
    if (!extraPortsVariable) return;
    Poco::StringTokenizer extra(Poco::Environment::get(extraPortsVariable, ""), ":",
                                Poco::StringTokenizer::TOK_IGNORE_EMPTY | Poco::StringTokenizer::TOK_TRIM);
    for (const auto& port : extra)
    {
        // A udev symlink to a port already found is the same controller.
        const std::string target = identity(port);
        if (!seen.insert(target).second) continue;
        const fs::path usbDevice = usbDeviceOf(ttyClass / fs::path(target).filename() / "device");
        _devices.emplace_back(port, usbDevice.empty() ? std::string() : readAttribute(usbDevice / "serial"),
                              SerialChannel::isPortInUse(port));
    }
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
