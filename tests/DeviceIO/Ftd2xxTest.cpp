#include "FakeFtd2xx.h"
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <gtest/gtest.h>
#include <cstring>

using namespace Poco::DeviceIO::Ftd2xx;

namespace {

std::string written(const char* serial)
{
    char buf[256];
    std::size_t n = fakeftd2xx_written(serial, buf, sizeof(buf));
    return std::string(buf, std::min(n, sizeof(buf)));
}

std::string calls(const char* serial)
{
    char buf[512];
    std::size_t n = fakeftd2xx_calls(serial, buf, sizeof(buf));
    return std::string(buf, std::min(n, sizeof(buf)));
}

std::string frame(unsigned i)
{
    std::string body(22, static_cast<char>(i));
    body[0] = static_cast<char>(i >> 8);
    return std::string("\x55\xAA\x55\xAA\x01", 5) + body;
}

Poco::AutoPtr<Ftd2xxConfig> controllerConfig(const std::string& serial)
{
    return new Ftd2xxConfig(serial, 2000000, 8, 0, 0, 0, 0, 0, 4096, 200, 2);
}

class Ftd2xx : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, FAKEFTD2XX_PATH);
        fakeftd2xx_reset();
    }
    void TearDown() override { fakeftd2xx_reset(); }

    template <typename E>
    std::string writeError(Ftd2xxChannel& ch, const char* data, int length)
    {
        try
        {
            ch.write(data, length);
        }
        catch (const E& e)
        {
            return e.message();
        }
        return "no exception";
    }
};

} // namespace

TEST(Ftd2xxDriver, FailedLoadsAreNotRemembered)
{
    EXPECT_THROW(Ftd2xxDriver("/nonexistent/libftd2xx.so"), Poco::LibraryLoadException);
    try
    {
        Ftd2xxDriver partial(FAKEFTD2XX_PARTIAL_PATH);
        FAIL() << "bound a library without FT_SetUSBParameters";
    }
    catch (const Poco::NotFoundException& e)
    {
        EXPECT_NE(std::string::npos, e.message().find("FT_SetUSBParameters")) << e.message();
    }

    Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, "/nonexistent/libftd2xx.so");
    EXPECT_THROW(enumerateDevices(), Poco::LibraryLoadException);
    EXPECT_THROW(enumerateDevices(), Poco::LibraryLoadException);
    Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, FAKEFTD2XX_PATH);
    fakeftd2xx_reset();
    fakeftd2xx_addDevice("A1", "DRFNCTRL", 0, 0);
    EXPECT_EQ(1u, enumerateDevices().size());
    EXPECT_EQ(&Ftd2xxDriver::instance(), &Ftd2xxDriver::instance());
    fakeftd2xx_reset();
}

TEST_F(Ftd2xx, EnumerationSkipsDevicesWithoutSerialAndReportsErrorsAsEmpty)
{
    fakeftd2xx_addDevice("A100", "DRFNCTRL", 0, 0);
    fakeftd2xx_addDevice("", "Blank EEPROM", 0, 0);
    fakeftd2xx_addDevice("B200", "Other", FT_FLAGS_OPENED, 0);
    auto devices = enumerateDevices();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ("A100", devices[0].serialNumber);
    EXPECT_EQ("DRFNCTRL", devices[0].description);
    EXPECT_FALSE(devices[0].opened);
    EXPECT_EQ("B200", devices[1].serialNumber);
    EXPECT_TRUE(devices[1].opened);
    EXPECT_EQ(0x04036001u, devices[1].id);

    fakeftd2xx_failNext("FT_CreateDeviceInfoList", 4);
    EXPECT_TRUE(enumerateDevices().empty());
    fakeftd2xx_failNext("FT_GetDeviceInfoList", 4);
    EXPECT_TRUE(enumerateDevices().empty());
}

TEST_F(Ftd2xx, ChannelConfiguresReadsAndWrites)
{
    fakeftd2xx_addDevice("A100", "DRFNCTRL", 0, 0);
    Poco::AutoPtr<Ftd2xxConfig> cfg = controllerConfig("A100");
    Poco::AutoPtr<Ftd2xxChannel> ch(new Ftd2xxChannel(cfg.get()));
    EXPECT_EQ(1, fakeftd2xx_openHandles("A100"));
    EXPECT_EQ("SetBaudRate(2000000);SetDataCharacteristics(8,0,0);SetTimeouts(200,200);SetFlowControl(0,0,0);"
              "Purge(3);SetLatencyTimer(2);SetUSBParameters(4096,4096);",
              calls("A100"));

    fakeftd2xx_queueRead("A100", "0123", 4);
    fakeftd2xx_queueRead("A100", "456789", 6);
    char buf[22];
    std::memset(buf, 0xEE, sizeof(buf));
    ASSERT_EQ(10, ch->read(buf, 22));
    EXPECT_EQ("0123456789", std::string(buf, 10));
    for (int i = 10; i < 22; ++i) EXPECT_EQ(0, buf[i]) << i;
    EXPECT_EQ(0, ch->read(buf, 22));
    char* pending = nullptr;
    EXPECT_THROW(ch->read(pending), Poco::InvalidAccessException);

    EXPECT_EQ(6, ch->write("abcdef", 6));
    EXPECT_EQ("abcdef", written("A100"));
    fakeftd2xx_shortWrite("A100", 0);
    EXPECT_EQ("Error writing to A100", writeError<Poco::IOException>(*ch, "abcdef", 6));
    fakeftd2xx_shortWrite("A100", 3);
    EXPECT_EQ("Unable to communicate with device: A100", writeError<Poco::IOException>(*ch, "abcdef", 6));
    EXPECT_EQ("Error writing to A100", writeError<Poco::IOException>(*ch, "", 0));

    fakeftd2xx_failNext("FT_Read", 4);
    EXPECT_THROW(ch->read(buf, 4), Poco::IOException);
    EXPECT_EQ(4u, ch->getStatus());

    ch->setTimeout(50); // reaches the device at the next configure()
    EXPECT_EQ(std::string::npos, calls("A100").find("SetTimeouts(50,50)"));
    ch->configure();
    EXPECT_NE(std::string::npos, calls("A100").find("SetTimeouts(50,50)"));
}

TEST_F(Ftd2xx, ChannelReleasesTheDeviceExactlyOnce)
{
    fakeftd2xx_addDevice("A100", "DRFNCTRL", 0, 0);
    fakeftd2xx_addDevice("B200", "Other", FT_FLAGS_OPENED, 0);
    Poco::AutoPtr<Ftd2xxConfig> cfg = controllerConfig("A100");
    Poco::AutoPtr<Ftd2xxChannel> ch(new Ftd2xxChannel(cfg.get()));
    ch->close();
    EXPECT_EQ(0, fakeftd2xx_openHandles("A100"));
    ch->close();
    EXPECT_EQ(FT_OK, ch->getStatus()); // no second FT_Close on the released handle
    EXPECT_THROW(ch->read(nullptr, 4), Poco::IOException);
    ch->open();
    EXPECT_EQ(1, fakeftd2xx_openHandles("A100"));
    ch = nullptr;
    EXPECT_EQ(0, fakeftd2xx_openHandles("A100"));

    fakeftd2xx_failNext("FT_SetLatencyTimer", 4);
    EXPECT_THROW(Poco::AutoPtr<Ftd2xxChannel>(new Ftd2xxChannel(cfg.get())), Poco::IOException);
    EXPECT_EQ(0, fakeftd2xx_openHandles("A100")); // a failed construction gives the device back

    Poco::AutoPtr<Ftd2xxConfig> busy = controllerConfig("B200");
    try
    {
        Poco::AutoPtr<Ftd2xxChannel> other(new Ftd2xxChannel(busy.get()));
        FAIL() << "opened a device in use";
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_EQ("Unable to communicate with device: B200", e.message());
    }
}

TEST_F(Ftd2xx, ProtocolTakesQueuedFramesTogetherAndLoneFramesInOneReadEach)
{
    fakeftd2xx_addDevice("A100", "DRFNCTRL", 0, 0);
    Poco::AutoPtr<Ftd2xxChannel> ch(new Ftd2xxChannel(controllerConfig("A100").get()));
    Tarnlink::Protocol::Ptr protocol(new Tarnlink::Protocol(ch.get()));
    std::string body;
    Tarnlink::ReadFrameCommand read(Tarnlink::Command::frameMarker(), 1, 22, &body);
    auto readFrames = [&](unsigned from, unsigned count) {
        for (unsigned i = from; i < from + count; ++i)
        {
            ASSERT_TRUE(protocol->execute(read)) << i;
            ASSERT_EQ(frame(i).substr(5), body) << i;
        }
    };

    // 200 frames waiting: 5400 bytes, two buffers' worth.
    std::string queued;
    for (unsigned i = 0; i < 200; ++i) queued += frame(i);
    fakeftd2xx_queueRead("A100", queued.data(), queued.size());
    readFrames(0, 200);
    EXPECT_LE(fakeftd2xx_readCalls("A100") * 4, 200u);

    // Nothing waiting when the protocol asks: each frame arrives during its read.
    fakeftd2xx_arriveLate("A100", 1);
    const unsigned before = fakeftd2xx_readCalls("A100");
    for (unsigned i = 0; i < 50; ++i)
    {
        const std::string one = frame(i);
        fakeftd2xx_queueRead("A100", one.data(), one.size());
        readFrames(i, 1);
    }
    EXPECT_LE(fakeftd2xx_readCalls("A100") - before, 50u);
    // An FT_Read asking for more than came would have waited out the read time-out.
    EXPECT_EQ(0u, fakeftd2xx_shortReads("A100"));
}

TEST_F(Ftd2xx, SimulatedControllerAnswersRegisterReads)
{
    const unsigned pods[] = {0x123456};
    if (!fakeftd2xx_addSimController("SIM1", pods, 1)) GTEST_SKIP() << "fake built without the simulator";
    ASSERT_EQ(1u, enumerateDevices().size());
    Poco::AutoPtr<Ftd2xxChannel> ch(new Ftd2xxChannel(controllerConfig("SIM1").get()));
    // Read controller register 9 (FRAME_MODE).
    const std::string request("\x55\xAA\x55\xAA\x05\x09\x00\x00", 8);
    ASSERT_EQ(8, ch->write(request.data(), 8));
    char reply[8];
    ASSERT_EQ(8, ch->read(reply, 8));
    EXPECT_EQ(std::string("\x55\xAA\x55\xAA\x05\x09", 6), std::string(reply, 6));
    EXPECT_EQ(0, ch->read(reply, 8)); // nothing more: the read time-out passes in virtual time
}
