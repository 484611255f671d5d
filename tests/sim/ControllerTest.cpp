#include "Helpers.h"
#include <Tarnlink/Sim/Rack.h>
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>

using namespace SimTest;

TEST(SimController, RegisterExchangesByteForByte)
{
    Simulator first(Generation::First);
    // Hardware code 2, firmware 2.1: a major of 2 or more drives this pod kind.
    EXPECT_EQ("55 aa 55 aa 05 00 02 21", exchange(first, Wire::ReadController, Wire::VERSION));
    // The older firmware stays available, to see the host refuse it.
    first.controller().setFirmwareVersion(1, 10);
    EXPECT_EQ("55 aa 55 aa 05 00 02 1a", exchange(first, Wire::ReadController, Wire::VERSION));
    EXPECT_EQ(32000u, first.controller().tickNanoseconds());
    // Generation 1 stops at FRAME_MODE: no answer beyond it.
    EXPECT_EQ("", exchange(first, Wire::ReadController, Wire::SYNC_CTRL));

    Simulator second(Generation::Second);
    second.controller().setFirmwareVersion(0, 6);
    EXPECT_EQ("55 aa 55 aa 05 00 05 06", exchange(second, Wire::ReadController, Wire::VERSION));
    EXPECT_EQ(1000u, second.controller().tickNanoseconds());
    second.controller().setFirmwareVersion(0, 7);
    EXPECT_EQ(2000u, second.controller().tickNanoseconds());

    // Writes echo their four bytes and take effect; VERSION ignores writes but still echoes.
    EXPECT_EQ("55 aa 55 aa 04 02 0f 46", exchange(second, Wire::WriteController, Wire::RF_CHANNEL, 0x0F46));
    EXPECT_EQ(0x46u, second.controller().channelCode());
    EXPECT_EQ("55 aa 55 aa 04 00 12 34", exchange(second, Wire::WriteController, Wire::VERSION, 0x1234));
    EXPECT_EQ("55 aa 55 aa 05 00 05 07", exchange(second, Wire::ReadController, Wire::VERSION));
    exchange(second, Wire::WriteController, Wire::FRAME_MODE, 1);
    EXPECT_EQ(22u, second.controller().frameLength());

    // The probe gets no answer; bytes outside a request are discarded and recorded.
    EXPECT_EQ("", exchange(second, Wire::Probe, 0, 0));
    second.feed(std::string("\x01\x02", 2));
    EXPECT_EQ(1u, second.recorder().count(Record::Discarded));

    // The radio channel table and the hex helpers the other tests build on.
    EXPECT_EQ(0x00u, Wire::channelCode(0));
    EXPECT_EQ(0x46u, Wire::channelCode(7));
    EXPECT_EQ(0x76u, Wire::channelCode(31));
    EXPECT_EQ(7u, Wire::channelIndex(0x46));
    EXPECT_EQ(32u, Wire::channelIndex(0x01));
    EXPECT_THROW(Wire::channelCode(32), std::exception);
    EXPECT_EQ("55 aa 55 aa 05 00 00 00", Wire::toHex(Wire::request(5, 0)));
    EXPECT_EQ(Wire::request(2, 0x86, 0x1234), Wire::fromHex("55aa55aa 02 86 12 34"));
}

TEST(SimController, ReplyLatencyInstantModeAndStatesFromRegisterBits)
{
    Simulator sim;
    sim.feed(Wire::request(Wire::ReadController, Wire::TEST));
    EXPECT_EQ(0u, sim.available());
    sim.advance(sim.timing().controllerReply - 1);
    EXPECT_EQ(0u, sim.available());
    sim.advance(1);
    EXPECT_EQ(8u, sim.available());
    sim.take();

    sim.setInstant(true);
    sim.feed(Wire::request(Wire::ReadController, Wire::TEST));
    EXPECT_EQ(8u, sim.available());

    // A request split over several writes is still one request.
    sim.take();
    std::string request = Wire::request(Wire::WriteController, Wire::TEST, 0xBEEF);
    sim.feed(request.substr(0, 3));
    sim.feed(request.substr(3));
    EXPECT_EQ(hexReply(4, Wire::TEST, 0xBEEF), Wire::toHex(sim.take()));
    EXPECT_EQ(0xBEEF, sim.controller().registerValue(Wire::TEST));

    // The states follow the register bits.
    sim.setInstant(false);
    Controller& c = sim.controller();
    EXPECT_EQ(ControllerState::Idle, c.state());
    exchange(sim, Wire::WriteController, Wire::PAIRING_CTRL, 1);
    EXPECT_EQ(ControllerState::Pairing, c.state());
    exchange(sim, Wire::WriteController, Wire::PAIRING_CTRL, 2);
    EXPECT_EQ(ControllerState::Listening, c.state());
    exchange(sim, Wire::WriteController, Wire::PAIRING_CTRL, 0);
    // The write that starts streaming, and writes while streaming, get no echo.
    EXPECT_EQ("", exchange(sim, Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
    EXPECT_EQ(ControllerState::Transmission, c.state());
    EXPECT_EQ(5000000u, c.framePeriodNanoseconds());
    EXPECT_EQ("", exchange(sim, Wire::WriteController, Wire::TDMA_PERIOD, 2500));
    EXPECT_EQ(ControllerState::Idle, c.state());
    EXPECT_EQ(hexReply(4, Wire::TDMA_PERIOD, 2500), exchange(sim, Wire::WriteController, Wire::TDMA_PERIOD, 2500));

    select(sim, 0x123456);
    EXPECT_TRUE(c.slaveSelected());
    EXPECT_EQ(0x123456u, c.selectedSerial());
}

TEST(SimController, SecondGenerationEeprom)
{
    Simulator sim(Generation::Second);
    sim.controller().setSerialNumber(0xA1B2C3);
    auto readWord = [&](std::uint16_t address) {
        exchange(sim, Wire::WriteController, Wire::EEPROM_ADDR, address);
        std::string reply = Wire::fromHex(exchange(sim, Wire::ReadController, Wire::EEPROM_DATA));
        return static_cast<unsigned>((static_cast<std::uint8_t>(reply[6]) << 8) | static_cast<std::uint8_t>(reply[7]));
    };
    EXPECT_EQ(0x00A1u, readWord(0x7000));
    EXPECT_EQ(0xB2C3u, readWord(0x7002));

    // Erase and write need open access (code 1); sector s covers 512 bytes from s * 0x200.
    const std::uint16_t a = 24 * 0x200 + 0x10;
    sim.controller().eeprom().pokeWord(a, 0x1234);
    exchange(sim, Wire::WriteController, Wire::EEPTROM_CTRL, (24 << 8) | 4);
    EXPECT_EQ(0x1234u, readWord(a));
    exchange(sim, Wire::WriteController, Wire::EEPTROM_CTRL, 1);
    EXPECT_TRUE(sim.controller().eepromOpen());
    exchange(sim, Wire::WriteController, Wire::EEPTROM_CTRL, (24 << 8) | 4);
    EXPECT_EQ(0xFFFFu, readWord(a));
    EXPECT_EQ(0xFFFFu, readWord(24 * 0x200 + 0x1FE));
    EXPECT_EQ(0x00A1u, readWord(0x7000)); // outside the erased sector
    exchange(sim, Wire::WriteController, Wire::EEPROM_ADDR, a);
    exchange(sim, Wire::WriteController, Wire::EEPROM_DATA, 0xCAFE);
    EXPECT_EQ(0xCAFEu, readWord(a));
    exchange(sim, Wire::WriteController, Wire::EEPTROM_CTRL, 2);
    EXPECT_FALSE(sim.controller().eepromOpen());
    EXPECT_EQ(0xA1B2C3u, sim.controller().serialNumber());
}

TEST(SimRack, ControllersShareOneClockAndHearEachOthersNetworks)
{
    Rack rack;
    Simulator& a = rack.add();
    Simulator& b = rack.add();
    EXPECT_EQ(1u, a.seed());
    EXPECT_NE(a.seed(), b.seed());
    rack.advance(5000);
    EXPECT_EQ(5000, a.clock().now());
    EXPECT_EQ(5000, b.clock().now());
    EXPECT_EQ(0xA10001u, Rack::serialOf(0, 0));
    EXPECT_EQ(0xA10110u, Rack::serialOf(1, 15));

    const unsigned three = Wire::channelCode(3);
    exchange(a, Wire::WriteController, Wire::RF_CHANNEL, three);
    exchange(b, Wire::WriteController, Wire::RF_CHANNEL, three);
    EXPECT_FALSE(b.isBusyCode(three));
    // a streams on channel 3: b, listening there, hears it; a does not hear itself.
    exchange(a, Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500);
    EXPECT_TRUE(b.isBusyCode(three));
    EXPECT_FALSE(a.isBusyCode(three));
    EXPECT_FALSE(b.isBusyCode(Wire::channelCode(4)));
    exchange(b, Wire::WriteController, Wire::PAIRING_CTRL, 2);
    b.take();
    rack.advance(20000);
    EXPECT_GT(b.available(), 0u);
    // Stopped, or gone from the bus, it leaves the channel free.
    exchange(a, Wire::WriteController, Wire::TDMA_PERIOD, 2500);
    EXPECT_FALSE(b.isBusyCode(three));
    exchange(a, Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500);
    EXPECT_TRUE(b.isBusyCode(three));
    a.disappearAt(a.clock().now() + 1);
    rack.advance(10);
    EXPECT_FALSE(b.isBusyCode(three));
    b.take();
    rack.advance(20000);
    EXPECT_EQ(0u, b.available());
}
