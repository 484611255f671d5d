#include <Tarnlink/Memory.h>
#include <Tarnlink/RegisterMap.h>
#include <gtest/gtest.h>

using namespace Tarnlink;

TEST(Register, CompositionMasksWideValuesAndTracksSync)
{
    Register reg(2);
    reg.addField(0, 0, 6).addField(1, 8, 9).addField(2, 10, 11);
    reg.addField(1, 0, 15); // a second definition of index 1 is ignored

    EXPECT_EQ(0u, reg.value(false));
    EXPECT_TRUE(reg.isSynced());

    reg.field(0).set(0xFF, false);             // 8 bits into a 7-bit field
    reg.field(1).set(0x7, false);              // 3 bits into a 2-bit field
    EXPECT_EQ(0xFFu, reg.field(0).get(false)); // stored unmasked
    EXPECT_EQ(0x037Fu, reg.value(false));
    EXPECT_EQ(0u, reg.value(true));
    EXPECT_FALSE(reg.isSynced());
    reg.markSynced();
    EXPECT_TRUE(reg.isSynced());
    EXPECT_EQ(0x037Fu, reg.value(true));

    reg.setValue(0x0F12, false); // local only
    EXPECT_EQ(0x12u, reg.field(0).get(false));
    EXPECT_EQ(3u, reg.field(1).get(false));
    EXPECT_EQ(3u, reg.field(2).get(false));
    EXPECT_FALSE(reg.isSynced());
    reg.setValue(0xFFFF, true);
    EXPECT_TRUE(reg.isSynced());
    EXPECT_EQ(0x0F7Fu, reg.value(true)); // bits 7 and 12-15 belong to no field

    Register empty(6);
    EXPECT_EQ(0u, empty.value(false));
    EXPECT_TRUE(empty.isSynced());

    RegisterField synced(0, 0, 3, true);
    synced.set(9, false);
    EXPECT_TRUE(synced.isSynced());
}

TEST(RegisterMap, TablesAndLogNames)
{
    Memory ctrl1, ctrl2, pod;
    RegisterMap::defineControllerRegisters(ctrl1, 1);
    RegisterMap::defineControllerRegisters(ctrl2, 2);
    RegisterMap::definePodRegisters(pod);
    EXPECT_EQ(10u, ctrl1.size());
    EXPECT_EQ(13u, ctrl2.size());
    EXPECT_EQ(15u, pod.size());
    EXPECT_FALSE(pod.hasRegister(PodReg::RF_CTRL));

    // Field layouts that the devices rely on.
    Register& tdma = ctrl2.getRegister(CtrlReg::TDMA_PERIOD);
    tdma.setValue(0x8C35, true);
    EXPECT_EQ(1u, tdma.field(2).get(true));
    EXPECT_EQ(0x0Cu, tdma.field(1).get(true));
    Register& id = pod.getRegister(PodReg::ID);
    id.setValue(0x0A03, true);
    EXPECT_EQ(3u, id.field(0).get(true));
    EXPECT_EQ(1u, id.field(2).get(true));
    EXPECT_EQ(1u, id.field(4).get(true));

    EXPECT_EQ("EEPTROM_CTRL", RegisterMap::logRegisterName(Opcode::WRITE_FPGA_REG, 8));
    EXPECT_EQ("RF_CTRL", RegisterMap::logRegisterName(Opcode::READ_SLAVE_REG, 136));
    EXPECT_EQ("7f", RegisterMap::logRegisterName(Opcode::READ_SLAVE_REG, 0x7F));
    EXPECT_EQ("0d", RegisterMap::logRegisterName(Opcode::READ_FPGA_REG, 13));
    EXPECT_EQ("00", RegisterMap::logRegisterName(Opcode::PROBE, 0)); // no family for the probe
    EXPECT_EQ("READ_FRGA_REG", RegisterMap::logOpcodeName(Opcode::READ_FPGA_REG));
    EXPECT_EQ("ff", RegisterMap::logOpcodeName(Opcode::PROBE));

    ctrl2.getRegister(CtrlReg::RF_CHANNEL).field(0).set(5, false);
    ctrl2.reset();
    for (auto& r : ctrl2)
    {
        EXPECT_EQ(0u, r.second.value(true));
        EXPECT_TRUE(r.second.isSynced());
    }
}
