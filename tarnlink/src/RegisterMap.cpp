#include <Tarnlink/RegisterMap.h>
#include <cstdio>

namespace Tarnlink {

namespace {
const char* const controllerNames[] = {"VERSION",      "TDMA_PERIOD", "RF_CHANNEL",  "SLAVE_ADDR_MSB", "SLAVE_ADDR_LSB",
                                       "PAIRING_CTRL", "TEST",        "EEPROM_DATA", "EEPTROM_CTRL",   "FRAME_MODE",
                                       "EEPROM_ADDR",  "SYNC_CTRL",   "FWU_VERSION"};
const char* const podNames[] = {
    "VERSION", "SAMPLE_PERIOD", "MAGRST_CTRL", "TEST_CTRL",   "TDMA_DELAY",  "EEPROM_OFFSET", "ID",       "RF_CHANNEL",
    "RF_CTRL", "VBATT",         "VTEMP",       "LOWPWR_CTRL", "EEPROM_CTRL", "ACC_CTRL",      "MAG_CTRL", "GYR_CTRL"};

std::string hex2(std::uint32_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(v & 0xFF));
    return buf;
}
} // namespace

const char* RegisterMap::opcodeName(std::uint8_t opcode)
{
    switch (opcode)
    {
    case Opcode::WRITE_SLAVE_REG:
        return "WRITE_SLAVE_REG";
    case Opcode::READ_SLAVE_REG:
        return "READ_SLAVE_REG";
    case Opcode::WRITE_FPGA_REG:
        return "WRITE_FPGA_REG";
    case Opcode::READ_FPGA_REG:
        return "READ_FRGA_REG";
    default:
        return nullptr;
    }
}

const char* RegisterMap::controllerRegisterName(std::uint32_t address)
{
    return address < sizeof controllerNames / sizeof *controllerNames ? controllerNames[address] : nullptr;
}

const char* RegisterMap::podRegisterName(std::uint32_t address)
{
    if (address < PodReg::VERSION || address > PodReg::GYR_CTRL) return nullptr;
    return podNames[address - PodReg::VERSION];
}

std::string RegisterMap::logRegisterName(std::uint8_t opcode, std::uint32_t address)
{
    const char* name = nullptr;
    if (opcode == Opcode::WRITE_SLAVE_REG || opcode == Opcode::READ_SLAVE_REG)
        name = podRegisterName(address);
    else if (opcode == Opcode::WRITE_FPGA_REG || opcode == Opcode::READ_FPGA_REG)
        name = controllerRegisterName(address);
    return name ? std::string(name) : hex2(address);
}

std::string RegisterMap::logOpcodeName(std::uint8_t opcode)
{
    const char* name = opcodeName(opcode);
    return name ? std::string(name) : hex2(opcode);
}

void RegisterMap::defineControllerRegisters(Memory& m, int generation)
{
    m.addRegister(CtrlReg::VERSION).addField(0, 0, 3).addField(1, 4, 7).addField(2, 8, 11);
    m.addRegister(CtrlReg::TDMA_PERIOD).addField(0, 0, 7).addField(1, 8, 14).addField(2, 15, 15);
    m.addRegister(CtrlReg::RF_CHANNEL).addField(0, 0, 6).addField(1, 8, 9).addField(2, 10, 11);
    m.addRegister(CtrlReg::SLAVE_ADDR_MSB).addField(0, 0, 7).addField(1, 8, 15);
    m.addRegister(CtrlReg::SLAVE_ADDR_LSB).addField(0, 0, 7).addField(1, 8, 15);
    m.addRegister(CtrlReg::PAIRING_CTRL).addField(0, 0, 0).addField(1, 1, 1);
    m.addRegister(CtrlReg::TEST).addField(0, 0, 15);
    m.addRegister(CtrlReg::EEPROM_DATA).addField(0, 0, 7).addField(1, 8, 15);
    m.addRegister(CtrlReg::EEPTROM_CTRL).addField(0, 0, 7).addField(1, 8, 15);
    m.addRegister(CtrlReg::FRAME_MODE).addField(0, 0, 0);
    if (generation >= 2)
    {
        m.addRegister(CtrlReg::EEPROM_ADDR).addField(0, 0, 7).addField(1, 8, 15);
        m.addRegister(CtrlReg::SYNC_CTRL).addField(0, 0, 0).addField(1, 1, 1);
        m.addRegister(CtrlReg::FWU_VERSION).addField(0, 0, 3).addField(1, 4, 7);
    }
}

void RegisterMap::definePodRegisters(Memory& m)
{
    // Definition order of the pod; the map orders by address anyway.
    m.addRegister(PodReg::VERSION).addField(0, 0, 3).addField(1, 4, 7).addField(2, 8, 11);
    m.addRegister(PodReg::SAMPLE_PERIOD).addField(0, 0, 15);
    m.addRegister(PodReg::ACC_CTRL).addField(0, 0, 1);
    m.addRegister(PodReg::MAG_CTRL).addField(0, 0, 2);
    m.addRegister(PodReg::GYR_CTRL).addField(0, 0, 0).addField(1, 1, 1).addField(2, 2, 2);
    m.addRegister(PodReg::MAGRST_CTRL).addField(0, 0, 0).addField(1, 1, 1).addField(2, 2, 2).addField(3, 8, 15);
    m.addRegister(PodReg::TEST_CTRL).addField(0, 0, 0);
    m.addRegister(PodReg::TDMA_DELAY).addField(0, 0, 15);
    m.addRegister(PodReg::EEPROM_OFFSET).addField(0, 0, 7).addField(1, 8, 15);
    m.addRegister(PodReg::ID)
        .addField(0, 0, 7)
        .addField(1, 8, 8)
        .addField(2, 9, 9)
        .addField(3, 10, 10)
        .addField(4, 11, 11);
    m.addRegister(PodReg::RF_CHANNEL).addField(0, 0, 14);
    m.addRegister(PodReg::VBATT).addField(0, 0, 11);
    m.addRegister(PodReg::VTEMP).addField(0, 0, 11);
    m.addRegister(PodReg::LOWPWR_CTRL).addField(0, 0, 0).addField(1, 1, 1).addField(2, 2, 3);
    m.addRegister(PodReg::EEPROM_CTRL).addField(0, 0, 7).addField(1, 8, 8).addField(2, 9, 9);
}

} // namespace Tarnlink
