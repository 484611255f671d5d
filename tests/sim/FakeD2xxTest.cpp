#if defined(FAKEFTD2XX_PATH)

#include "FakeFtd2xx.h"
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/Wire.h>
#include <gtest/gtest.h>

using namespace Poco::DeviceIO::Ftd2xx;
using namespace Tarnlink::Sim;

namespace {

Poco::AutoPtr<Ftd2xxChannel> openController()
{
    Poco::AutoPtr<Ftd2xxConfig> config(new Ftd2xxConfig("SIM1", 2000000, 8, 0, 0, 0, 0, 0, 4096, 200, 2));
    return new Ftd2xxChannel(config.get());
}

std::string version(Ftd2xxChannel& channel)
{
    const std::string request = Wire::request(Wire::ReadController, Wire::VERSION);
    channel.write(request.data(), static_cast<int>(request.size()));
    char reply[8];
    int n = channel.read(reply, 8);
    return Wire::toHex(std::string(reply, n > 0 ? static_cast<std::size_t>(n) : 0));
}

} // namespace

TEST(SimFakeD2xx, ControllerGoesAndComesBackThroughTheDriver)
{
    Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, FAKEFTD2XX_PATH);
    fakeftd2xx_reset();
    const unsigned pods[] = {0x123456};
    if (!fakeftd2xx_addSimController("SIM1", pods, 1)) GTEST_SKIP() << "fake built without the simulator";
    Simulator& sim = *static_cast<Simulator*>(fakeftd2xx_simulator("SIM1"));

    Poco::AutoPtr<Ftd2xxChannel> channel = openController();
    // Generation 1, firmware 2.1.
    EXPECT_EQ("55 aa 55 aa 05 00 02 21", version(*channel));

    // Gone 100 ms on: the read that waits into it fails, and so does all that follows.
    sim.disappearAt(sim.clock().now() + 100000);
    char buffer[8];
    EXPECT_THROW(channel->read(buffer, 8), Poco::IOException);
    EXPECT_TRUE(sim.gone());
    EXPECT_THROW(channel->write("x", 1), Poco::IOException);
    EXPECT_TRUE(enumerateDevices().empty());
    EXPECT_THROW(openController(), Poco::IOException);

    // Replugged: listed again; the old handle stays dead, a new one works.
    sim.replug();
    EXPECT_EQ(1u, enumerateDevices().size());
    EXPECT_THROW(channel->write("x", 1), Poco::IOException);
    channel = nullptr;
    channel = openController();
    EXPECT_EQ("55 aa 55 aa 05 00 02 21", version(*channel));
    channel = nullptr;
    fakeftd2xx_reset();
}

#endif
