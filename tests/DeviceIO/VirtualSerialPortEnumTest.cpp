#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Environment.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Poco::DeviceIO::Serial;

namespace {

/// A sysfs tree with two ACM ports of the generation 2 controller, an FTDI port behind
/// its interface, and ports of no USB device.
class FakeSysfs
{
public:
    FakeSysfs()
    {
        root = fs::temp_directory_path() / ("sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root);
        usbDevice("1-1", "0483", "a027");
        port("ttyACM1", "devices/usb1/1-1/1-1:1.0");
        usbDevice("1-3", "0483", "a027");
        port("ttyACM0", "devices/usb1/1-3/1-3:1.0");
        usbDevice("1-2", "0403", "6001");
        std::ofstream(root / "sys/devices/usb1/1-2/serial") << "FT1A2B3C\n";
        fs::create_directories(root / "sys/devices/usb1/1-2/1-2:1.0/ttyUSB0");
        port("ttyUSB0", "devices/usb1/1-2/1-2:1.0/ttyUSB0");
        fs::create_directories(root / "sys/devices/platform/serial8250");
        port("ttyS0", "devices/platform/serial8250");
        fs::create_directories(root / "sys/class/tty/tty0");
    }
    ~FakeSysfs() { fs::remove_all(root); }

    /// Another tty on the interface of an existing USB device.
    void addPort(const std::string& name, const std::string& usbName)
    {
        port(name, "devices/usb1/" + usbName + "/" + usbName + ":1.0");
    }

    std::string sys() const { return (root / "sys").string(); }
    std::string dev() const { return (root / "dev").string(); }

private:
    void usbDevice(const std::string& name, const std::string& vendor, const std::string& product)
    {
        fs::path dir = root / "sys/devices/usb1" / name;
        fs::create_directories(dir / (name + ":1.0"));
        std::ofstream(dir / "idVendor") << vendor << "\n";
        std::ofstream(dir / "idProduct") << product << "\n";
        std::ofstream(dir / (name + ":1.0") / "bInterfaceNumber") << "00\n";
    }
    void port(const std::string& name, const std::string& target)
    {
        fs::create_directories(root / "sys/class/tty" / name);
        fs::create_directory_symlink("../../../" + target, root / "sys/class/tty" / name / "device");
    }

    fs::path root;
};

std::vector<std::string> names(const VirtualSerialPortEnum& ports)
{
    std::vector<std::string> result;
    for (std::size_t i = 0; i < ports.count(); ++i) result.push_back(ports.get(i).portName);
    return result;
}

} // namespace

TEST(VirtualSerialPortEnum, FindsPortsOfTheUsbIdsInNameOrder)
{
    FakeSysfs tree;
    Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");

    VirtualSerialPortEnum acm(0x0483, 0xA027, tree.sys(), tree.dev());
    EXPECT_EQ((std::vector<std::string>{tree.dev() + "/ttyACM0", tree.dev() + "/ttyACM1"}), names(acm));
    EXPECT_TRUE(acm.get(0).inUse); // no such device node
    EXPECT_EQ("", acm.get(0).identifier);
    try
    {
        acm.get(2);
        FAIL() << "index 2 accepted";
    }
    catch (const std::out_of_range& e)
    {
        EXPECT_STREQ("invalid vector<T> subscript", e.what());
    }

    // Numbers in names compare as numbers, so the order is the order of plugging.
    tree.addPort("ttyACM10", "1-1");
    tree.addPort("ttyACM2", "1-3");
    tree.addPort("ttyACM9", "1-1");
    EXPECT_EQ((std::vector<std::string>{tree.dev() + "/ttyACM0", tree.dev() + "/ttyACM1", tree.dev() + "/ttyACM2",
                                        tree.dev() + "/ttyACM9", tree.dev() + "/ttyACM10"}),
              names(VirtualSerialPortEnum(0x0483, 0xA027, tree.sys(), tree.dev())));

    VirtualSerialPortEnum ftdi(0x0403, 0x6001, tree.sys(), tree.dev());
    EXPECT_EQ(std::vector<std::string>{tree.dev() + "/ttyUSB0"}, names(ftdi));
    EXPECT_EQ("FT1A2B3C", ftdi.get(0).identifier) << "the USB serial number";
    EXPECT_EQ(0u, VirtualSerialPortEnum(0x1234, 0x5678, tree.sys(), tree.dev()).count());
    EXPECT_EQ(0u, VirtualSerialPortEnum(0x0483, 0xA027, tree.sys() + "/missing", tree.dev()).count());
}

TEST(VirtualSerialPortEnum, AppendsExtraPortsOnceWithTheirUse)
{
    FakeSysfs tree;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    std::string pty = ptsname(master);

    Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, pty + "::" + tree.dev() + "/ttyACM1:" + pty);
    VirtualSerialPortEnum ports(0x0483, 0xA027, tree.sys(), tree.dev());
    EXPECT_EQ((std::vector<std::string>{tree.dev() + "/ttyACM0", tree.dev() + "/ttyACM1", pty}), names(ports));
    EXPECT_FALSE(ports.get(2).inUse);

    {
        Poco::AutoPtr<SerialConfig> cfg(new SerialConfig(pty, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, 10));
        Poco::AutoPtr<SerialChannel> held(new SerialChannel(cfg.get()));
        VirtualSerialPortEnum again(0x0483, 0xA027, tree.sys(), tree.dev());
        EXPECT_TRUE(again.get(2).inUse);
    }

    // Another variable for another kind of controller; none at all without one.
    Poco::Environment::set("TEST_OTHER_PORTS", tree.dev() + "/ttyUSB0:" + pty);
    VirtualSerialPortEnum other(0x0403, 0x6001, tree.sys(), tree.dev(), "TEST_OTHER_PORTS");
    EXPECT_EQ((std::vector<std::string>{tree.dev() + "/ttyUSB0", pty}), names(other));
    EXPECT_EQ("", other.get(1).identifier);
    EXPECT_EQ(1u, VirtualSerialPortEnum(0x0403, 0x6001, tree.sys(), tree.dev(), nullptr).count());
    Poco::Environment::set("TEST_OTHER_PORTS", "");
    Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");
    ::close(master);
}
