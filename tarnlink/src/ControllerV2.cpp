#include <Poco/Exception.h>
#include <Poco/FileStream.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/FirmwareImage.h>
#include <Tarnlink/Progress.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sleep.h>

namespace Tarnlink {

namespace {

enum EepromCode : unsigned
{
    OPEN_ACCESS = 1,
    CLOSE_ACCESS = 2,
    ERASE_SECTOR = 4
};

const unsigned FIRST_FIRMWARE_SECTOR = 24;
const unsigned LAST_FIRMWARE_SECTOR = 54;

// Read and restored around an upgrade, in this order.
const std::uint32_t savedRegisters[] = {
    CtrlReg::VERSION,      CtrlReg::TDMA_PERIOD, CtrlReg::RF_CHANNEL, CtrlReg::SLAVE_ADDR_MSB, CtrlReg::SLAVE_ADDR_LSB,
    CtrlReg::PAIRING_CTRL, CtrlReg::TEST,        CtrlReg::FRAME_MODE, CtrlReg::EEPROM_DATA,    CtrlReg::EEPTROM_CTRL,
    CtrlReg::EEPROM_ADDR,  CtrlReg::SYNC_CTRL,   CtrlReg::FWU_VERSION};

Register dataRegister()
{
    Register data(CtrlReg::EEPROM_DATA);
    data.addField(0, 0, 15);
    return data;
}

void loadChecked(FirmwareImage& image)
{
    if (!image.isValid() || image.entries().empty()) throw Poco::FileException("Invalid firmware file");
}

} // namespace

ControllerV2::ControllerV2(Protocol* protocol) : Controller(protocol)
{
    RegisterMap::defineControllerRegisters(memory, 2);
    resetRegisters();
    try
    {
        setEepromControl(OPEN_ACCESS);
        const std::uint32_t high = readEepromWord(0x7000) & 0xFF;
        const std::uint32_t low = readEepromWord(0x7002);
        _serialNumber = (high << 16) | low;
    }
    catch (const Poco::Exception&)
    {
    }
    try
    {
        setEepromControl(CLOSE_ACCESS);
    }
    catch (const Poco::Exception&)
    {
    }
}

void ControllerV2::setEepromControl(unsigned code, unsigned sector)
{
    Register& ctrl = reg(CtrlReg::EEPTROM_CTRL);
    ctrl.field(0).set(code, false);
    if (code == ERASE_SECTOR) ctrl.field(1).set(sector, false);
    writeRegister(ctrl, 20, true);
}

void ControllerV2::setSyncMode(unsigned mode)
{
    if (getSyncMode() == mode) return;
    // Real controllers have only ever been sent 0 here. What bit 0 does on the hardware is
    // unknown; if it is an external-sync mode waiting for a trigger, no frame would come.
    // So the register gets 0 whatever the mode, and only the host remembers the request.
    Register& sync = reg(CtrlReg::SYNC_CTRL);
    sync.field(0).set(0, false);
    sync.field(1).set(0, false);
    writeRegister(sync, 10, true);
    _syncMode = mode;
}

unsigned ControllerV2::getSyncMode()
{
    Register& sync = reg(CtrlReg::SYNC_CTRL);
    readRegister(sync, 10);
    _syncMode = sync.field(0).get(true) != 0 ? 1 : 0;
    return _syncMode;
}

unsigned ControllerV2::getTickNanoseconds()
{
    return compareVersion(0, 7) < 0 ? 1000 : 2000;
}

std::uint16_t ControllerV2::readEepromWord(std::uint32_t address)
{
    Register& addr = reg(CtrlReg::EEPROM_ADDR);
    addr.setValue(address, false);
    writeRegister(addr, 20, true);
    Register data = dataRegister();
    readRegister(data, 30);
    return static_cast<std::uint16_t>(data.value(true));
}

void ControllerV2::writeEepromWord(std::uint32_t address, std::uint16_t value)
{
    for (int tries = 0; tries < 50; ++tries)
    {
        Register& addr = reg(CtrlReg::EEPROM_ADDR);
        addr.setValue(address, false);
        writeRegister(addr, 20, true);
        Register data = dataRegister();
        data.setValue(value, false);
        writeRegister(data, 30, true);
        sleepMilliseconds(2);
        if (readEepromWord(address) == value) return;
    }
}

void ControllerV2::saveRegisters()
{
    for (std::uint32_t address : savedRegisters) readRegister(reg(address), 10);
}

void ControllerV2::restoreRegisters()
{
    for (std::uint32_t address : savedRegisters) writeRegister(reg(address), 10, true);
}

bool ControllerV2::upgradeFirmware(const std::string& path)
{
    FirmwareImage image(path);
    loadChecked(image);
    const std::size_t words = image.entries().size();
    try
    {
        saveRegisters();
        reg(CtrlReg::VERSION).setValue(0, true); // read again once the new firmware runs
        setEepromControl(OPEN_ACCESS);
        {
            const ProgressPhase phase(ProgressStep::FirmwareUpgrade, ProgressStep::Erase, _serialNumber, true, 0);
            for (unsigned sector = FIRST_FIRMWARE_SECTOR; sector <= LAST_FIRMWARE_SECTOR; ++sector)
                setEepromControl(ERASE_SECTOR, sector);
        }
        _state = Idle;
        ProgressPhase writing(ProgressStep::FirmwareUpgrade, ProgressStep::Write, _serialNumber, true, words);
        for (auto& entry : image)
        {
            FirmwareWord& word = entry.second;
            if (word.oddByte) word.fileWord.field(1).set(0xFF, false); // leave the unused byte erased
            writeEepromWord(entry.first, static_cast<std::uint16_t>(word.fileWord.value(false)));
            writing.step();
        }
        ProgressPhase reading(ProgressStep::FirmwareUpgrade, ProgressStep::Read, _serialNumber, true, words);
        for (auto& entry : image)
        {
            entry.second.eepromWord.setValue(readEepromWord(entry.first), true);
            reading.step();
        }
        setEepromControl(CLOSE_ACCESS);
        const bool ok = image.matches();
        restoreRegisters();
        return ok;
    }
    catch (...)
    {
        throw Poco::IOException("Could not upgrade ctrl EEPROM");
    }
}

bool ControllerV2::verifyFirmware(const std::string& path)
{
    FirmwareImage image(path);
    loadChecked(image);
    try
    {
        setEepromControl(OPEN_ACCESS);
        ProgressPhase reading(ProgressStep::FirmwareVerify, ProgressStep::Read, _serialNumber, true,
                              image.entries().size());
        for (auto& entry : image)
        {
            entry.second.eepromWord.setValue(readEepromWord(entry.first), true);
            reading.step();
        }
        const bool ok = image.matches();
        if (!ok)
        {
            Poco::FileOutputStream report("check_diff_firmware.txt", std::ios::out | std::ios::trunc);
            image.writeReport(report);
        }
        setEepromControl(CLOSE_ACCESS);
        return ok;
    }
    catch (...)
    {
        for (int i = 0; i < 2; ++i)
        {
            try
            {
                setEepromControl(CLOSE_ACCESS);
            }
            catch (...)
            {
            }
        }
        throw Poco::IOException("Could not verify ctrl EEPROM");
    }
}

} // namespace Tarnlink
