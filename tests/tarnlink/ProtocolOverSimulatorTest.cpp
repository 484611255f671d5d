#include <Poco/AutoPtr.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <Tarnlink/ReadRegisterCommand.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/WriteRegisterCommand.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>
#include <gtest/gtest.h>
#include <sstream>

using namespace Tarnlink;

namespace {

struct Wire
{
    Sim::Simulator sim{Sim::Generation::Second, 3};
    Poco::AutoPtr<Sim::VirtualChannel> channel{new Sim::VirtualChannel(sim, 100)};
    const std::string& marker = Command::frameMarker();

    bool write(std::uint8_t opcode, std::uint8_t address, std::uint16_t value, std::ostream& log)
    {
        WriteRegisterCommand cmd(marker, opcode, address, value, true);
        return cmd.execute(*channel, log);
    }
    bool write(std::uint8_t opcode, std::uint8_t address, std::uint16_t value)
    {
        std::ostringstream log;
        return write(opcode, address, value, log);
    }
    bool read(std::uint8_t opcode, std::uint8_t address, std::uint32_t& value, std::ostream& log)
    {
        ReadRegisterCommand cmd(marker, opcode, address, &value);
        return cmd.execute(*channel, log);
    }
    void select(std::uint32_t serial)
    {
        ASSERT_TRUE(write(Opcode::WRITE_FPGA_REG, CtrlReg::SLAVE_ADDR_LSB, serial & 0xFFFF));
        ASSERT_TRUE(write(Opcode::WRITE_FPGA_REG, CtrlReg::SLAVE_ADDR_MSB, 0x1200 | (serial >> 16)));
    }
};

} // namespace

TEST(ProtocolOverSimulator, RegistersFramesReportsAndAbsentPods)
{
    Wire w;
    w.sim.controller().setFirmwareVersion(0, 7);
    Sim::Pod& pod = w.sim.addPod(0x10BEEF);

    std::ostringstream log;
    std::uint32_t value = 0;
    ASSERT_TRUE(w.read(Opcode::READ_FPGA_REG, CtrlReg::VERSION, value, log));
    EXPECT_EQ(0x0507u, value);
    ASSERT_TRUE(w.write(Opcode::WRITE_FPGA_REG, CtrlReg::TEST, 0xA5C3));
    ASSERT_TRUE(w.read(Opcode::READ_FPGA_REG, CtrlReg::TEST, value, log));
    EXPECT_EQ(0xA5C3u, value);

    // Pod registers through the selected slave.
    w.select(0x10BEEF);
    ASSERT_TRUE(w.write(Opcode::WRITE_SLAVE_REG, PodReg::TDMA_DELAY, 901));
    EXPECT_EQ(901u, pod.registerValue(PodReg::TDMA_DELAY));
    ASSERT_TRUE(w.read(Opcode::READ_SLAVE_REG, PodReg::VBATT, value, log));
    EXPECT_EQ(pod.config().vbattRaw, value);

    // An absent pod: the controller answers FF FF FF FF and the command gives up at once.
    w.select(0x222222);
    std::ostringstream absent;
    EXPECT_FALSE(w.read(Opcode::READ_SLAVE_REG, PodReg::VERSION, value, absent));
    EXPECT_NE(std::string::npos, absent.str().find("RX:55:aa:55:aa:ff:ff:ff:ff (CTRL_TIMEOUT)")) << absent.str();
    EXPECT_EQ(0u, w.sim.available());

    // A pairing report from a pod in pairing mode.
    pod.setPairing(true);
    ASSERT_TRUE(w.write(Opcode::WRITE_FPGA_REG, CtrlReg::PAIRING_CTRL, 1));
    std::string report;
    ReadFrameCommand pairing(w.marker, 6, 3, &report);
    ASSERT_TRUE(pairing.execute(*w.channel));
    EXPECT_EQ(std::string("\x10\xBE\xEF", 3), report);
    pod.setPairing(false);
    ASSERT_TRUE(w.write(Opcode::WRITE_FPGA_REG, CtrlReg::PAIRING_CTRL, 0));

    // Data frames once the pod streams and transmission is on.
    w.select(0x10BEEF);
    ASSERT_TRUE(w.write(Opcode::WRITE_SLAVE_REG, PodReg::ID, 0x0304));
    ASSERT_TRUE(w.write(Opcode::WRITE_FPGA_REG, CtrlReg::FRAME_MODE, 1));
    ASSERT_TRUE(w.write(Opcode::WRITE_FPGA_REG, CtrlReg::TDMA_PERIOD, 2500));
    WriteRegisterCommand start(w.marker, Opcode::WRITE_FPGA_REG, CtrlReg::TDMA_PERIOD, 0x8000 | 2500, false);
    ASSERT_TRUE(start.execute(*w.channel));
    std::string frame;
    ReadFrameCommand data(w.marker, 1, 22, &frame);
    ASSERT_TRUE(data.execute(*w.channel));
    ASSERT_EQ(22u, frame.size());
    EXPECT_EQ(4, frame[0]); // network position
    const unsigned first = static_cast<unsigned char>(frame[1]) * 256u + static_cast<unsigned char>(frame[2]);
    ASSERT_TRUE(data.execute(*w.channel));
    const unsigned second = static_cast<unsigned char>(frame[1]) * 256u + static_cast<unsigned char>(frame[2]);
    EXPECT_EQ((first + 1) & 0xFFFF, second);
    EXPECT_EQ(pod.lastSample().frameNumber, second);
}
