#include "FakeFtd2xx.h"
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/DeviceIO/Serial/SerialConfig.h>
#include <Poco/Environment.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/ControllerV2Factory.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/Log.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

using namespace Tarnlink;
using Poco::DeviceIO::Ftd2xx::Ftd2xxDriver;
using Poco::DeviceIO::Serial::VirtualSerialPortEnum;

namespace {

class Discovery : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeftd2xx_reset();
        Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, FAKEFTD2XX_PATH);
        Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");
        Poco::Environment::set(ControllerEnum::GEN1_PORTS_VARIABLE, "");
    }
    void TearDown() override
    {
        fakeftd2xx_reset();
        Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");
        Poco::Environment::set(ControllerEnum::GEN1_PORTS_VARIABLE, "");
    }
    /// Starts a simulated generation 2 controller on a pty and lists it as an extra port.
    std::string serveGeneration2()
    {
        sims.push_back(std::make_unique<Sim::Simulator>(Sim::Generation::Second));
        servers.push_back(std::make_unique<Sim::PtyServer>(*sims.back()));
        servers.back()->start();
        std::string ports = Poco::Environment::get(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");
        ports += (ports.empty() ? "" : ":") + servers.back()->slavePath();
        Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, ports);
        return servers.back()->slavePath();
    }

    std::vector<std::unique_ptr<Sim::Simulator>> sims;
    std::vector<std::unique_ptr<Sim::PtyServer>> servers;
};

/// sysfs and /dev with USB serial ports: tty name -> USB ids and serial number; each
/// device node may link to a pseudo-terminal.
class FakeTree
{
public:
    FakeTree() : root(fs::temp_directory_path() / ("discovery-" + std::to_string(::getpid())))
    {
        fs::remove_all(root);
        fs::create_directories(root / "dev");
        fs::create_directories(root / "sys/devices/platform/serial8250");
        link("ttyS0", "devices/platform/serial8250");
    }
    ~FakeTree() { fs::remove_all(root); }

    /// A USB serial port; usb-serial drivers put a port device between interface and tty.
    void usbPort(const std::string& tty, const std::string& ids, const std::string& serial, bool usbSerial)
    {
        const std::string usb = "1-" + std::to_string(++devices);
        fs::path dir = root / "sys/devices/usb1" / usb;
        fs::create_directories(dir / (usb + ":1.0"));
        std::ofstream(dir / "idVendor") << ids.substr(0, 4) << "\n";
        std::ofstream(dir / "idProduct") << ids.substr(5) << "\n";
        std::ofstream(dir / "serial") << serial << "\n";
        std::ofstream(dir / (usb + ":1.0") / "bInterfaceNumber") << "00\n";
        std::string target = "devices/usb1/" + usb + "/" + usb + ":1.0";
        if (usbSerial)
        {
            target += "/" + tty;
            fs::create_directories(root / "sys" / target);
            std::ofstream(root / "sys" / target / "latency_timer") << "16\n";
        }
        link(tty, target);
    }
    void node(const std::string& tty, const std::string& target) { fs::create_symlink(target, root / "dev" / tty); }
    fs::path latencyTimer(const std::string& tty) const
    {
        return root / "sys/class/tty" / tty / "device/latency_timer";
    }

    std::string sys() const { return (root / "sys").string(); }
    std::string dev() const { return (root / "dev").string(); }

private:
    void link(const std::string& tty, const std::string& target)
    {
        fs::create_directories(root / "sys/class/tty" / tty);
        fs::create_directory_symlink("../../../" + target, root / "sys/class/tty" / tty / "device");
    }

    fs::path root;
    int devices = 0;
};

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string portName(const ControllerFactory& factory)
{
    Poco::Any port = factory.getProperty("PortName");
    return port.empty() ? std::string() : Poco::AnyCast<std::string>(port);
}

/// Without file capabilities for the current thread, so that root too is refused a read-only file.
class Unprivileged
{
public:
    Unprivileged() : _root(::geteuid() == 0)
    {
        if (_root) ::setfsuid(65534);
    }
    ~Unprivileged()
    {
        if (_root) ::setfsuid(0);
    }

private:
    bool _root;
};

/// Opens the controller through its factory, makes the pods stream and reads frames from all of them.
unsigned streamThrough(const ControllerFactory& factory, const std::vector<std::uint32_t>& pods)
{
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel(factory.createChannel());
    Poco::AutoPtr<Protocol> protocol(new Protocol(channel.get()));
    std::unique_ptr<Controller> controller(factory.createController(protocol.get()));
    const unsigned code = controller->getHardwareCode();
    controller->setChannel(0);
    controller->setFrameMode(1);
    controller->setFrequency(100);
    std::vector<std::unique_ptr<Driftnode3>> streaming;
    for (std::size_t i = 0; i < pods.size(); ++i)
    {
        streaming.emplace_back(new Driftnode3(controller.get(), pods[i]));
        streaming.back()->setSlot(unsigned(i + 1));
        streaming.back()->setStreamingState(Driftnode::Streaming);
    }
    controller->setState(Controller::Transmission);
    std::set<unsigned> positions;
    for (int i = 0; i < 10 * int(pods.size()); ++i)
    {
        std::string frame;
        EXPECT_TRUE(controller->readDataFrame(frame)) << "frame " << i;
        if (frame.size() == 22) positions.insert(static_cast<unsigned char>(frame[0]));
    }
    controller->setState(Controller::Idle);
    EXPECT_EQ(pods.size(), positions.size());
    std::string rest;
    channel->readString(rest, 64);
    EXPECT_TRUE(rest.empty()) << "still streaming after leaving transmission";
    return code;
}

} // namespace

TEST_F(Discovery, ListsGeneration2BeforeGeneration1AndLeavesOutBusyOnes)
{
    std::string first = serveGeneration2();
    std::string second = serveGeneration2();
    fakeftd2xx_addDevice("FT1", "DRFNCTRL", 0, 0);
    fakeftd2xx_addDevice("FT2", "DRFNCTRL", 1, 0); // opened by another program

    ControllerEnum all(false);
    ASSERT_EQ(4u, all.count());
    EXPECT_EQ(first, Poco::AnyCast<std::string>(all.get(0)->getProperty("PortName")));
    EXPECT_EQ(second, Poco::AnyCast<std::string>(all.get(1)->getProperty("PortName")));
    EXPECT_EQ("FT1", all.get(2)->getIdentifier());
    EXPECT_EQ("FT2", all.get(3)->getIdentifier());
    EXPECT_THROW(all.get(4), std::out_of_range);

    Poco::AutoPtr<ControllerFactory> v2 = all.get(0);
    Poco::AutoPtr<ControllerFactory> v1 = all.get(2);
    EXPECT_EQ(2u, v2->getGeneration());
    EXPECT_EQ(150u, v2->getTimeout());
    EXPECT_EQ(0x0483, Poco::AnyCast<int>(v2->getProperty("VID")));
    EXPECT_EQ(0xA027, Poco::AnyCast<int>(v2->getProperty("PID")));
    EXPECT_EQ(150, Poco::AnyCast<int>(v2->getProperty("Timeout")));
    EXPECT_EQ(1u, v1->getGeneration());
    EXPECT_EQ(200u, v1->getTimeout());
    EXPECT_EQ(0x0403, Poco::AnyCast<int>(v1->getProperty("VID")));
    EXPECT_EQ(0x6001, Poco::AnyCast<int>(v1->getProperty("PID")));
    EXPECT_TRUE(v1->getProperty("PortName").empty());
    EXPECT_TRUE(v2->getProperty("Serial").empty());

    Poco::AutoPtr<Poco::DeviceIO::Channel> held(v2->createChannel());
    ControllerEnum available(true);
    ASSERT_EQ(2u, available.count());
    EXPECT_EQ(second, Poco::AnyCast<std::string>(available.get(0)->getProperty("PortName")));
    EXPECT_EQ("FT1", available.get(1)->getIdentifier());

    // Without the D2XX library the generation 2 ports are still listed.
    Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, "/nonexistent/libftd2xx.so");
    ControllerEnum withoutD2xx(true);
    ASSERT_EQ(1u, withoutD2xx.count());
    EXPECT_EQ(second, portName(*withoutD2xx.get(0)));
}

TEST_F(Discovery, Generation1SerialPortsComeBetweenGeneration2AndD2xxOncePerController)
{
    FakeTree tree;
    tree.usbPort("ttyUSB0", "0403:6001", "FTSIM1", true);
    tree.usbPort("ttyACM0", "0483:a027", "ST0001", false);
    Sim::Simulator sim(Sim::Generation::First);
    sim.addPod(0x123456);
    Sim::PtyServer server(sim);
    server.start();
    tree.node("ttyUSB0", server.stablePath());
    fakeftd2xx_addDevice("FT2", "DRFNCTRL", 0, 0);
    fakeftd2xx_addDevice("FTSIM1", "DRFNCTRL", 0, 0); // the same chip, seen by D2XX too

    ControllerEnum all(false, tree.sys(), tree.dev());
    ASSERT_EQ(3u, all.count());
    EXPECT_EQ(tree.dev() + "/ttyACM0", portName(*all.get(0)));
    EXPECT_EQ(2u, all.get(0)->getGeneration());
    Poco::AutoPtr<ControllerFactory> tty = all.get(1);
    EXPECT_EQ(1u, tty->getGeneration());
    EXPECT_EQ("FTSIM1", tty->getIdentifier());
    EXPECT_EQ(tree.dev() + "/ttyUSB0", portName(*tty));
    EXPECT_EQ(200u, tty->getTimeout());
    EXPECT_EQ(0x0403, Poco::AnyCast<int>(tty->getProperty("VID")));
    EXPECT_EQ(0x6001, Poco::AnyCast<int>(tty->getProperty("PID")));
    EXPECT_EQ("FT2", all.get(2)->getIdentifier());
    EXPECT_EQ("", portName(*all.get(2)));

    // Frames of the simulated generation 1 controller, found and opened as a serial port.
    EXPECT_EQ(2u, streamThrough(*tty, {0x123456}));
    EXPECT_EQ("2", readFile(tree.latencyTimer("ttyUSB0")));

    // Held by another program: neither the port nor its D2XX twin is offered.
    Poco::AutoPtr<Poco::DeviceIO::Channel> held(tty->createChannel());
    ControllerEnum available(true, tree.sys(), tree.dev());
    ASSERT_EQ(1u, available.count()) << "the ACM node does not exist, so it counts as in use";
    EXPECT_EQ("FT2", available.get(0)->getIdentifier());
    held = nullptr;
    ControllerEnum released(true, tree.sys(), tree.dev());
    ASSERT_EQ(2u, released.count());
    EXPECT_EQ("FTSIM1", released.get(0)->getIdentifier());

    // The simulator named in the variable, by anyone without the udev rules' sysfs entry.
    Poco::Environment::set(ControllerEnum::GEN1_PORTS_VARIABLE, server.stablePath());
    Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, "/nonexistent/libftd2xx.so");
    ControllerEnum named(true, tree.sys() + "/missing", tree.dev());
    ASSERT_EQ(1u, named.count());
    EXPECT_EQ(1u, named.get(0)->getGeneration());
    EXPECT_EQ(server.stablePath(), portName(*named.get(0)));
}

TEST_F(Discovery, Generation1SerialChannelIsRaw2MbaudAndLowersTheLatencyTimer)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, ::grantpt(master));
    ASSERT_EQ(0, ::unlockpt(master));
    const std::string slave = ::ptsname(master);
    ::chmod(slave.c_str(), 0666); // opened below without root's rights too
    FakeTree tree;
    tree.usbPort("ttyUSB3", "0403:6001", "FT9", true);
    tree.node("ttyUSB3", slave);
    Poco::TemporaryFile logFile;
    Poco::Logger& log = createLogger(logFile.path());
    log.information("start");
    ControllerV1Factory factory("FT9", tree.dev() + "/ttyUSB3", tree.sys());

    {
        Poco::AutoPtr<Poco::DeviceIO::Channel> channel(factory.createChannel());
        struct termios tio;
        ASSERT_EQ(0, ::tcgetattr(master, &tio)); // the master reports the slave's settings
        EXPECT_EQ(speed_t(B2000000), ::cfgetospeed(&tio));
        EXPECT_EQ(speed_t(B2000000), ::cfgetispeed(&tio));
        EXPECT_EQ(tcflag_t(CS8), tio.c_cflag & CSIZE);
        EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP));
        EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
        EXPECT_EQ(0u, tio.c_oflag & OPOST);
        EXPECT_EQ(200, channel->getConfig()->getTimeout());
        EXPECT_EQ("2", readFile(tree.latencyTimer("ttyUSB3")));
    }

    // A timer the udev rules left low is kept, not written.
    std::ofstream(tree.latencyTimer("ttyUSB3")) << "1\n";
    {
        Poco::AutoPtr<Poco::DeviceIO::Channel> reopened(factory.createChannel());
    }
    EXPECT_EQ("1\n", readFile(tree.latencyTimer("ttyUSB3")));
    EXPECT_EQ(std::string::npos, readFile(logFile.path()).find("atency")) << "nothing to say yet";

    // Neither the attribute nor the driver's flag (a pseudo-terminal has none): noted once, and the port works.
    std::ofstream(tree.latencyTimer("ttyUSB3")) << "16\n";
    ::chmod(tree.latencyTimer("ttyUSB3").c_str(), 0444);
    {
        Unprivileged unprivileged;
        for (int i = 0; i < 2; ++i)
        {
            Poco::AutoPtr<Poco::DeviceIO::Channel> channel(factory.createChannel());
            EXPECT_EQ(3, channel->write("abc", 3));
        }
    }
    destroyLogger();
    const std::string text = readFile(logFile.path());
    const std::size_t note = text.find("Latency timer of " + tree.dev() + "/ttyUSB3 not lowered (latency_timer: ");
    EXPECT_NE(std::string::npos, note) << text;
    EXPECT_NE(std::string::npos, text.find("low-latency flag: ", note)) << text;
    EXPECT_EQ(std::string::npos, text.find("Latency timer", note + 1)) << "once: " << text;
    EXPECT_EQ("16\n", readFile(tree.latencyTimer("ttyUSB3")));
    ::close(master);
}
