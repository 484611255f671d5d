#include "FakeFtd2xx.h"
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Environment.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/ControllerV2Factory.h>
#include <Tarnlink/Hardware.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <stdexcept>

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
    }
    void TearDown() override
    {
        fakeftd2xx_reset();
        Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");
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

/// A pod reached through the controller's slave registers, just enough to make it stream.
class PodRegisters : public Hardware
{
public:
    PodRegisters(Protocol* protocol, Controller& controller, std::uint32_t serial)
        : Hardware(protocol, Opcode::WRITE_SLAVE_REG, Opcode::READ_SLAVE_REG), _controller(controller), _serial(serial)
    {
        RegisterMap::definePodRegisters(memory);
        resetRegisters();
    }
    void resetRegisters() override { memory.reset(); }
    void startStreaming(unsigned position)
    {
        _controller.setSlaveAddress(_serial);
        Register& id = memory.getRegister(PodReg::ID);
        id.field(0).set(position, false);
        id.field(1).set(1, false);
        id.field(2).set(1, false);
        writeRegister(id, 20, true);
    }

private:
    Controller& _controller;
    std::uint32_t _serial;
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
    for (std::size_t i = 0; i < pods.size(); ++i) PodRegisters(protocol, *controller, pods[i]).startStreaming(unsigned(i + 1));
    controller->setState(Controller::Transmission);
    std::set<unsigned> positions;
    for (int i = 0; i < 10 * int(pods.size()); ++i) {
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
}

TEST_F(Discovery, MissingD2xxLibraryStillListsGeneration2)
{
    std::string port = serveGeneration2();
    Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, "/nonexistent/libftd2xx.so");
    ControllerEnum controllers(true);
    ASSERT_EQ(1u, controllers.count());
    EXPECT_EQ(port, Poco::AnyCast<std::string>(controllers.get(0)->getProperty("PortName")));
}

TEST_F(Discovery, StreamsFromControllersOfBothGenerations)
{
    serveGeneration2();
    {
        auto lock = sims.back()->lock();
        sims.back()->addPod(0x10AA01);
        sims.back()->addPod(0x10AA02);
    }
    const unsigned pods[] = {0x123456};
    if (!fakeftd2xx_addSimController("SIM1", pods, 1)) GTEST_SKIP() << "fake built without the simulator";
    ControllerEnum controllers(true);
    ASSERT_EQ(2u, controllers.count());
    EXPECT_EQ(5u, streamThrough(*controllers.get(0), {0x10AA01, 0x10AA02}));
    EXPECT_EQ(2u, streamThrough(*controllers.get(1), {0x123456}));
}
