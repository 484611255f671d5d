// The Win32 serial channel on a COM port that a Linux drfn3 sim serves, in real time.
// The controller's register echo is the peer: a write of TEST (register 6) comes back as it was
// sent, a read of it as 05 06 and the value.
#include "Wine.h"

#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/Exception.h>
#include <Tarnlink/Sleep.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

using namespace Poco::DeviceIO::Serial;
using WineTest::LinuxSim;
using WineTest::systemText;
using WineTest::underWine;
using Clock = std::chrono::steady_clock;

namespace {

const std::string WRITE_TEST("\x55\xAA\x55\xAA\x04\x06\x12\x34", 8);
const std::string READ_TEST("\x55\xAA\x55\xAA\x05\x06\x00\x00", 8);
const std::string READ_REPLY("\x55\xAA\x55\xAA\x05\x06\x12\x34", 8);

/// The generation 2 controller's settings: no rate in particular, hardware handshake, 150 ms.
SerialConfig* controllerSettings(const std::string& port, bool useEOF = false, char eof = 4, unsigned bufferSize = 4096)
{
    return new SerialConfig(port, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, useEOF, eof, bufferSize, 150);
}

/// The port's settings, read through a handle of its own (Wine lets a second one open).
DCB stateOf(const std::string& port)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    HANDLE handle = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, handle) << GetLastError();
    EXPECT_TRUE(GetCommState(handle, &dcb));
    CloseHandle(handle);
    return dcb;
}

int sinceMs(Clock::time_point start)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

/// Time for the controller's replies to cross the pseudo-terminal, waited as the device
/// library waits (Sleep, here).
void letRepliesArrive()
{
    const auto start = Clock::now();
    Tarnlink::sleepMilliseconds(150);
    EXPECT_GE(sinceMs(start), 140);
}

#define SKIP_WITHOUT_SIMULATOR()                                                                                       \
    if (!LinuxSim::unavailable().empty()) GTEST_SKIP() << LinuxSim::unavailable()

} // namespace

TEST(Win32SerialRealtime, SettingsReachThePortAndReadsTakeWhatIsThereWithinTheTimeOut)
{
    SKIP_WITHOUT_SIMULATOR();
    LinuxSim sim(61);
    ASSERT_TRUE(sim.started());
    {
        // Software flow control, two stop bits, at a set rate: as the terminal keeps them.
        Poco::AutoPtr<SerialConfig> cfg(
            new SerialConfig(sim.port(), 115200, 8, 'N', 2, 1, 17, 19, false, 0, 4096, 150));
        Poco::AutoPtr<SerialChannel> port(new SerialChannel(cfg.get()));
        const DCB dcb = stateOf(sim.port());
        EXPECT_EQ(115200u, dcb.BaudRate);
        EXPECT_EQ(8, dcb.ByteSize);
        EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
        EXPECT_EQ(17, dcb.XonChar);
        EXPECT_EQ(19, dcb.XoffChar);
    }
    // The controller's: one stop bit, hardware handshake without XON/XOFF characters (Wine puts
    // the pseudo-terminal at 38400 for the rate 0xFFFFFFFF, which a terminal ignores).
    Poco::AutoPtr<SerialConfig> cfg(controllerSettings(sim.port()));
    Poco::AutoPtr<SerialChannel> port(new SerialChannel(cfg.get()));
    const DCB controller = stateOf(sim.port());
    EXPECT_EQ(ONESTOPBIT, controller.StopBits);
    EXPECT_EQ(0, controller.XonChar | controller.XoffChar);

    ASSERT_EQ(8, port->write(WRITE_TEST.data(), 8));
    letRepliesArrive();
    char buffer[10];
    std::memset(buffer, '\xEE', sizeof(buffer));
    auto start = Clock::now();
    ASSERT_EQ(8, port->read(buffer, 10)) << "the echo, and nothing more";
    EXPECT_EQ(WRITE_TEST, std::string(buffer, 8));
    EXPECT_EQ(0, buffer[8] | buffer[9]);
    // Windows returns what is there at once; Wine's ReadFile, asked for more than is there,
    // waits its whole time-out constant first.
    if (!underWine())
    {
        EXPECT_LT(sinceMs(start), 100);
    }

    start = Clock::now();
    EXPECT_EQ(0, port->read(buffer, 4)) << "nothing came";
    EXPECT_GE(sinceMs(start), 140);
    EXPECT_LT(sinceMs(start), 2000);

    // configure() drops what has arrived.
    ASSERT_EQ(8, port->write(READ_TEST.data(), 8));
    letRepliesArrive();
    port->configure();
    EXPECT_EQ(0, port->read(buffer, 8));
    ASSERT_EQ(8, port->write(READ_TEST.data(), 8));
    EXPECT_EQ(8, port->read(buffer, 8));
    EXPECT_EQ(READ_REPLY, std::string(buffer, 8)) << "the write above reached the controller";
    port->close();

    // The pending read up to the end-of-file character (the read opcode, 05), in chunks of 4:
    // the marker, then the character, after which the port's queue (the second reply) goes and
    // the rest of the chunk is kept for the next call.
    Poco::AutoPtr<SerialConfig> eofCfg(controllerSettings(sim.port(), true, 0x05, 4));
    Poco::AutoPtr<SerialChannel> eofPort(new SerialChannel(eofCfg.get()));
    ASSERT_EQ(8, eofPort->write(READ_TEST.data(), 8));
    ASSERT_EQ(8, eofPort->write(READ_TEST.data(), 8));
    letRepliesArrive();
    char* pending = nullptr;
    ASSERT_EQ(4, eofPort->read(pending));
    EXPECT_EQ(READ_REPLY.substr(0, 4), std::string(pending, 4));
    std::free(pending);
    pending = nullptr;
    ASSERT_EQ(3, eofPort->read(pending));
    EXPECT_EQ(READ_REPLY.substr(5), std::string(pending, 3));
    std::free(pending);
}

TEST(Win32SerialRealtime, ErrorsSayWhatTheSystemSays)
{
    SKIP_WITHOUT_SIMULATOR();
    try
    {
        Poco::AutoPtr<SerialConfig> cfg(controllerSettings("COM250"));
        Poco::AutoPtr<SerialChannel> nowhere(new SerialChannel(cfg.get()));
        FAIL() << "COM250 opened";
    }
    catch (const Poco::FileNotFoundException& e)
    {
        EXPECT_EQ(systemText(ERROR_FILE_NOT_FOUND), e.message());
    }
    EXPECT_TRUE(SerialChannel::isPortInUse("COM250")) << "a port that is not there cannot be had either";

    LinuxSim sim(62);
    ASSERT_TRUE(sim.started());
    Poco::AutoPtr<SerialConfig> cfg(controllerSettings(sim.port()));
    Poco::AutoPtr<SerialChannel> port(new SerialChannel(cfg.get()));
    try
    {
        port->write(WRITE_TEST.data(), 0);
        FAIL() << "an empty write went through";
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_EQ("Error writing to " + sim.port(), e.message());
    }
    if (underWine())
    {
        std::cout << "[   NOTE   ] Wine opens a COM port that is a pseudo-terminal a second time (and isPortInUse "
                     "says false): exclusive opening is not checked under Wine\n";
    }
    else
    {
        EXPECT_TRUE(SerialChannel::isPortInUse(sim.port()));
        EXPECT_THROW(Poco::AutoPtr<SerialChannel>(new SerialChannel(cfg.get())), Poco::FileAccessDeniedException);
    }

    // The pseudo-terminal hangs up: nothing more comes, and the next write fails with the
    // system's text (Wine's ERROR_NOT_READY for a hung-up terminal).
    ASSERT_TRUE(sim.stop());
    char buffer[8];
    EXPECT_EQ(0, port->read(buffer, 8));
    try
    {
        port->write(WRITE_TEST.data(), 8);
        FAIL() << "a write reached a port that is gone";
    }
    catch (const Poco::FileException& e)
    {
        if (underWine())
        {
            EXPECT_EQ(systemText(ERROR_NOT_READY), e.message());
        }
        EXPECT_FALSE(e.message().empty());
    }
    port->close();
    EXPECT_THROW(port->open(), Poco::FileNotFoundException) << "its name leads nowhere now";
    EXPECT_FALSE(port->isOpen());
}
