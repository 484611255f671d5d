#include "Helpers.h"
#include <Tarnlink/Sim/Simulator.h>
#include <gtest/gtest.h>

using namespace SimTest;

namespace {

const std::uint32_t kSerial = 0x100001;

struct SimPod : ::testing::Test
{
    Simulator sim;
    Pod* pod = nullptr;

    void SetUp() override
    {
        pod = &sim.addPod(kSerial);
        select(sim, kSerial);
    }

    std::uint16_t readPod(std::uint8_t address)
    {
        std::string reply = Wire::fromHex(exchange(sim, Wire::ReadSlave, address));
        EXPECT_EQ(8u, reply.size());
        EXPECT_EQ(static_cast<char>(address), reply[5]);
        return static_cast<std::uint16_t>((static_cast<std::uint8_t>(reply[6]) << 8) |
                                          static_cast<std::uint8_t>(reply[7]));
    }
    void writePod(std::uint8_t address, std::uint16_t value)
    {
        EXPECT_EQ(hexReply(Wire::WriteSlave, address, value), exchange(sim, Wire::WriteSlave, address, value));
    }
};

} // namespace

TEST_F(SimPod, RegisterReadWriteAndRadioReach)
{
    // Type 3, firmware 1.15; power-on defaults of the sensor registers.
    EXPECT_EQ("55 aa 55 aa 03 80 03 1f", exchange(sim, Wire::ReadSlave, Wire::POD_VERSION));
    EXPECT_EQ(0x0006u, readPod(Wire::LOWPWR_CTRL));
    EXPECT_EQ(3u, readPod(Wire::ACC_CTRL));
    EXPECT_EQ(1u, readPod(Wire::GYR_CTRL));
    EXPECT_EQ(3768u, readPod(Wire::VBATT));

    // 200 Hz at 1.5 us ticks: 3333 = 0x0D05.
    EXPECT_EQ("55 aa 55 aa 02 81 0d 05", exchange(sim, Wire::WriteSlave, Wire::SAMPLE_PERIOD, 3333));
    EXPECT_EQ(3333u, pod->registerValue(Wire::SAMPLE_PERIOD));

    // The pod echoes its channel change on the old channel, then is gone from it.
    writePod(Wire::POD_RF_CHANNEL, 0x46);
    EXPECT_EQ(0x46u, pod->channelCode());
    EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, Wire::POD_VERSION));
    exchange(sim, Wire::WriteController, Wire::RF_CHANNEL, 0x0F46);
    EXPECT_EQ(0x031Fu, readPod(Wire::POD_VERSION));

    // Unknown serial, unpowered or unreachable pods: the controller answers FF FF FF FF.
    pod->setReachable(false);
    EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, Wire::POD_VERSION));
    pod->setReachable(true);
    select(sim, 0x100002);
    EXPECT_EQ(kTimeout, exchange(sim, Wire::WriteSlave, Wire::SAMPLE_PERIOD, 1));
    select(sim, kSerial);
    writePod(Wire::ID, 0x0400); // switch off
    EXPECT_FALSE(pod->powered());
    EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, Wire::POD_VERSION));
    pod->setPowered(true);
    EXPECT_EQ(0u, pod->channelCode()); // boots on channel index 0
}

TEST_F(SimPod, OnlyItsOwnRegistersAnswerAndSilenceEndsInATimeoutReply)
{
    // 136 and 144-255 are no pod registers: the pod stays silent, so the controller sends
    // FF FF FF FF after the pod time-out, and a write leaves nothing to read back.
    for (unsigned address : {136u, 144u, 200u, 255u})
    {
        const std::uint8_t a = static_cast<std::uint8_t>(address);
        sim.feed(Wire::request(Wire::WriteSlave, a, 0x4321));
        const Micros sent = sim.clock().now();
        EXPECT_TRUE(sim.waitForOutput(sent + 50000));
        EXPECT_EQ(sent + 10000, sim.clock().now()) << address;
        EXPECT_EQ(kTimeout, Wire::toHex(sim.take())) << address;
        EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, a)) << address;
        EXPECT_EQ(0u, pod->registerValue(address)) << address;
    }
    // Its neighbours answer.
    EXPECT_EQ("55 aa 55 aa 03 87 00 00", exchange(sim, Wire::ReadSlave, Wire::POD_RF_CHANNEL));
    EXPECT_EQ("55 aa 55 aa 03 89 0e b8", exchange(sim, Wire::ReadSlave, Wire::VBATT));
    EXPECT_EQ("55 aa 55 aa 03 8f 00 01", exchange(sim, Wire::ReadSlave, Wire::GYR_CTRL));

    // A register that stops answering after two reads; the others still answer.
    pod->failRegisterAfter(Wire::VTEMP, 2);
    EXPECT_EQ(2299u, readPod(Wire::VTEMP));
    EXPECT_EQ(2299u, readPod(Wire::VTEMP));
    EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, Wire::VTEMP));
    EXPECT_EQ(3768u, readPod(Wire::VBATT));
    sim.controller().failRegisterAfter(Wire::TEST, 0);
    EXPECT_EQ("", exchange(sim, Wire::ReadController, Wire::TEST));

    // An unknown serial: FF FF FF FF once the pod time-out has passed, not before.
    select(sim, 0x222222);
    sim.feed(Wire::request(Wire::ReadSlave, Wire::POD_VERSION));
    sim.advance(sim.timing().podTimeout - 1);
    EXPECT_EQ(0u, sim.available());
    sim.advance(1);
    EXPECT_EQ(kTimeout, Wire::toHex(sim.take()));
}

TEST_F(SimPod, EepromWindowFollowsOffsetAcrossPages)
{
    pod->pokeEepromWord(0xFA7E, 0x1122);
    pod->pokeEepromWord(0xFA80, 0x3344);
    writePod(Wire::EEPROM_OFFSET, 0xFA00);
    EXPECT_EQ("55 aa 55 aa 03 7e 11 22", exchange(sim, Wire::ReadSlave, 0x7E));
    writePod(Wire::EEPROM_OFFSET, 0xFA80);
    EXPECT_EQ("55 aa 55 aa 03 00 33 44", exchange(sim, Wire::ReadSlave, 0x00));
    // The factory identity: 0x12, 0x00, low 16 bits of the serial; word 0x0300 at +10.
    writePod(Wire::EEPROM_OFFSET, 0xFC00);
    EXPECT_EQ(0x1200u, readPod(0x00));
    EXPECT_EQ(0x0001u, readPod(0x02));
    EXPECT_EQ(0x0300u, readPod(0x0A));
}

TEST_F(SimPod, FlashWritesNeedUnlockAndErase)
{
    const std::uint16_t unlock = 0x0100, lock = 0x0000;
    writePod(Wire::EEPROM_OFFSET, 0xFA00);
    const std::uint16_t before = pod->eepromWord(0xFA20);

    // Locked: the echo comes back but nothing sticks.
    writePod(0x20, 0x0000);
    EXPECT_EQ(before, pod->eepromWord(0xFA20));

    // Unlocked but not erased: programming only clears bits.
    writePod(Wire::EEPROM_CTRL, unlock);
    writePod(0x20, 0x5A5A);
    EXPECT_EQ(before & 0x5A5A, pod->eepromWord(0xFA20));

    // Sector 0x20 erases 0xFA00-0xFAFF only; then the word sticks.
    writePod(Wire::EEPROM_CTRL, 0x0320);
    EXPECT_EQ(0xFFFFu, readPod(0x20));
    EXPECT_EQ(0xFFFFu, pod->eepromWord(0xFAFE));
    EXPECT_NE(0xFFFFu, pod->eepromWord(0xFB08)); // set 2 survives
    writePod(0x20, 0x5A5A);
    EXPECT_EQ(0x5A5Au, readPod(0x20));

    // A stuck word never takes a write.
    pod->makeWordStuck(0xFA22);
    writePod(0x22, 0x0000);
    EXPECT_EQ(0xFFFFu, readPod(0x22));

    writePod(Wire::EEPROM_CTRL, lock);
    EXPECT_FALSE(pod->eepromUnlocked());
    writePod(0x24, 0x0000);
    EXPECT_EQ(0xFFFFu, pod->eepromWord(0xFA24));

    // The program area is read-only outside the protected area.
    writePod(Wire::EEPROM_CTRL, unlock);
    writePod(Wire::EEPROM_OFFSET, 0x0000);
    writePod(0x10, 0x0000);
    EXPECT_EQ(0xFFFFu, pod->eepromWord(0x0010));
}

TEST_F(SimPod, ProtectedAreaThroughBootFlagAndReboot)
{
    writePod(Wire::EEPROM_CTRL, 0x0100);
    writePod(Wire::EEPROM_OFFSET, 0xFF80);
    writePod(0x7E, 0xFFFE);
    writePod(Wire::EEPROM_CTRL, 0x0000);
    writePod(Wire::ID, 0x0800); // reboot
    EXPECT_EQ(1u, pod->rebootCount());
    EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, Wire::POD_VERSION));
    sim.advance(sim.timing().rebootTime);
    EXPECT_EQ(0x0F1Fu, readPod(Wire::POD_VERSION));
    EXPECT_TRUE(pod->inProtectedArea());

    // Program sectors can be erased and written now; sector k spans 0xFA0 bytes.
    pod->pokeEepromWord(0x0FA0, 0x0000);
    pod->pokeEepromWord(0x0F9E, 0x0000);
    writePod(Wire::EEPROM_CTRL, 0x0300); // sector 0
    EXPECT_EQ(0xFFFFu, pod->eepromWord(0x0F9E));
    EXPECT_EQ(0x0000u, pod->eepromWord(0x0FA0));
    writePod(Wire::EEPROM_OFFSET, 0x0000);
    writePod(0x10, 0xAABB);
    EXPECT_EQ(0xAABBu, pod->eepromWord(0x0010));

    // Command 0x23 leaves the protected area and clears the boot flag.
    writePod(Wire::EEPROM_CTRL, 0x0323);
    EXPECT_FALSE(pod->inProtectedArea());
    EXPECT_EQ(0xFFFFu, pod->eepromWord(Pod::kBootFlag));
    EXPECT_EQ(0x031Fu, readPod(Wire::POD_VERSION));
}

TEST(SimPodCalibration, FactoryCalibrationInBothAreas)
{
    Simulator sim;
    Pod& pod = sim.addPod(0xA01234);
    for (unsigned set = 0; set < 3; ++set)
    {
        std::array<double, 9> gain = pod.factoryGain(set);
        EXPECT_EQ(gain, pod.calibrationGain(set, Pod::kWorkingArea));
        EXPECT_EQ(gain, pod.calibrationGain(set, Pod::kManufacturingArea));
        EXPECT_EQ(pod.factoryOffset(set), pod.calibrationOffset(set, Pod::kManufacturingArea));
        EXPECT_GT(gain[0], 0.0);
    }
    // G(0, 1) of set 0 sits at 0xFA1C + 8 * (0 + 3 * 1), stored big-endian.
    EXPECT_EQ(pod.factoryGain(0)[1], pod.eeprom().real(0xFA34));
    EXPECT_EQ(0x12001234u, pod.eeprom().uint32(0xFA00));
    EXPECT_EQ(0x0300u, pod.eepromWord(0xFC0A));
    // Set headers: BCD date, 00 03.
    EXPECT_EQ(0x0003u, pod.eepromWord(0xFB06));
    EXPECT_EQ(24.5, pod.eeprom().real(0xFD08));

    PodConfig blank;
    blank.serial = 0x100002;
    blank.factoryCalibration = false;
    EXPECT_EQ(0xFFFFu, sim.addPod(blank).eepromWord(0xFA00));
}

TEST(SimPodBattery, VbattFollowsTheFirmwareScale)
{
    // 3.9 V is 3.9 * 4096 / (2.8 * 3.55) = 1607 = 0x647 on the older scale (before 1.14, and
    // 15.0-15.1), 3.9 * 4096 / (1.2 * 3.5325) = 3768 = 0xEB8 on the newer one.
    const struct
    {
        unsigned major, minor;
        const char* reply;
    } cases[] = {{1, 13, "55 aa 55 aa 03 89 06 47"},
                 {1, 14, "55 aa 55 aa 03 89 0e b8"},
                 {15, 1, "55 aa 55 aa 03 89 06 47"},
                 {15, 2, "55 aa 55 aa 03 89 0e b8"},
                 {2, 0, "55 aa 55 aa 03 89 0e b8"}};
    for (const auto& c : cases)
    {
        Simulator sim;
        PodConfig config;
        config.firmwareMajor = c.major;
        config.firmwareMinor = c.minor;
        sim.addPod(config);
        select(sim, config.serial);
        EXPECT_EQ(c.reply, exchange(sim, Wire::ReadSlave, Wire::VBATT)) << c.major << "." << c.minor;
    }

    // A firmware change rescales; 3.5 V on the older scale is 1442 = 0x5A2; a fixed raw value stays.
    Simulator sim;
    Pod& pod = sim.addPod(kSerial);
    select(sim, kSerial);
    pod.setFirmwareVersion(1, 13);
    pod.setBatteryVolts(3.5);
    EXPECT_EQ("55 aa 55 aa 03 89 05 a2", exchange(sim, Wire::ReadSlave, Wire::VBATT));
    pod.setVbattRaw(0x123);
    pod.setFirmwareVersion(1, 15);
    EXPECT_EQ("55 aa 55 aa 03 89 01 23", exchange(sim, Wire::ReadSlave, Wire::VBATT));
}
