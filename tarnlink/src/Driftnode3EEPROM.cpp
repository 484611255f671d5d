#include <Poco/Exception.h>
#include <Poco/FileStream.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/Driftnode3EEPROM.h>
#include <Tarnlink/FirmwareImage.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sleep.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>

namespace Tarnlink {

namespace {
const std::uint32_t SET_BASES[Driftnode3EEPROM::SET_COUNT] = {0xFA0C, 0xFA7C, 0xFB00};
const std::uint32_t WORKING_SECOND = 0xFB00;
const std::uint32_t HEADER_SIZE = 8;
const std::uint32_t TEMPERATURE_OFFSET = 8;
const std::uint32_t GAIN_OFFSET = 16;
const std::uint32_t OFFSET_OFFSET = 88;
const std::uint32_t IDENTITY_BYTES = 8;
/// Identity bytes 10-11 on the pod, whatever the image holds there.
const std::uint16_t IDENTITY_TAIL = 0x0300;
const unsigned REGISTER_ATTEMPTS = 30;
const unsigned WORD_SETTLE_MS = 5;
const unsigned SECTOR_COMMAND_MS = 30;

std::string hexAddress(std::uint32_t address)
{
    return "0x" + Poco::NumberFormatter::formatHex(address, 4);
}

/// EEPROM position of G(row, col), the gain being stored column by column.
std::uint32_t gainAddress(std::uint32_t base, unsigned index)
{
    const unsigned row = index / 3, col = index % 3;
    return base + GAIN_OFFSET + 8 * (row + 3 * col);
}

std::uint8_t bcd(int value)
{
    return static_cast<std::uint8_t>((value / 10) * 16 + value % 10);
}

std::uint64_t doubleBits(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double bitsDouble(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void checkSet(unsigned set)
{
    if (set >= Driftnode3EEPROM::SET_COUNT)
        throw Poco::InvalidArgumentException("No calibration set " + std::to_string(set));
}
} // namespace

Driftnode3EEPROM::Driftnode3EEPROM(Driftnode3& pod) : _pod(pod), _image(IMAGE_SIZE)
{
    declareLayout();
}

void Driftnode3EEPROM::declareLayout()
{
    _image.addSector(WorkingFirst, 0xFA00, 0x100);
    _image.addSector(WorkingSecond, WORKING_SECOND, 0x100);

    SectorMemoryEEPROM& first = _image.sector(_image.findSectorId(IDENTITY));
    first.allocateBlock(IDENTITY, 4);
    first.block(IDENTITY).declareUInt32(IDENTITY, 0x12000000u | (_pod.getSerial() & 0xFFFF));
    for (std::uint32_t k = 0; k < IDENTITY_BYTES; ++k)
    {
        first.allocateBlock(IDENTITY, 1);
        first.block(IDENTITY).declareByte(IDENTITY + 4 + k, 0);
    }
    for (std::uint32_t base : SET_BASES) declareSet(base);
}

void Driftnode3EEPROM::declareSet(std::uint32_t base)
{
    SectorMemoryEEPROM& sector = _image.sector(_image.findSectorId(base));
    for (std::uint32_t k = 0; k < HEADER_SIZE; ++k)
    {
        sector.allocateBlock(base, 1);
        sector.block(base).declareByte(base + k, 0);
    }
    std::vector<std::uint32_t> doubles{base + TEMPERATURE_OFFSET};
    for (unsigned i = 0; i < 9; ++i) doubles.push_back(gainAddress(base, i));
    for (unsigned k = 0; k < 3; ++k) doubles.push_back(base + OFFSET_OFFSET + 8 * k);
    for (std::uint32_t address : doubles)
    {
        sector.allocateBlock(base, 8);
        sector.block(base).declareDouble(address, 0.0);
    }
}

std::uint32_t Driftnode3EEPROM::setAddress(unsigned set)
{
    checkSet(set);
    return SET_BASES[set];
}

DataBlockMemory& Driftnode3EEPROM::setBlock(unsigned set)
{
    return _image.block(setAddress(set));
}

const DataBlockMemory& Driftnode3EEPROM::setBlock(unsigned set) const
{
    return _image.block(setAddress(set));
}

// ---- progress ----------------------------------------------------------------------------

/// Names the procedure that phases report; inner procedures (commit inside restore) keep it.
class Driftnode3EEPROM::OperationScope
{
public:
    OperationScope(Driftnode3EEPROM& eeprom, ProgressStep::Operation operation)
        : _eeprom(eeprom), _owner(!eeprom._inOperation)
    {
        if (!_owner) return;
        _eeprom._inOperation = true;
        _eeprom._operation = operation;
    }
    ~OperationScope()
    {
        if (_owner) _eeprom._inOperation = false;
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    Driftnode3EEPROM& _eeprom;
    bool _owner;
};

/// One phase; a phase already running (writeArea inside commit) goes on counting instead.
class Driftnode3EEPROM::PhaseScope
{
public:
    PhaseScope(Driftnode3EEPROM& eeprom, ProgressStep::Phase phase, std::size_t total) : _eeprom(eeprom)
    {
        if (_eeprom._progress) return;
        _phase.reset(new ProgressPhase(_eeprom._operation, phase, _eeprom._pod.getSerial(), false, total));
        _eeprom._progress = _phase.get();
        _eeprom._countedPhase = phase;
    }
    ~PhaseScope()
    {
        if (_phase) _eeprom._progress = nullptr;
    }
    PhaseScope(const PhaseScope&) = delete;
    PhaseScope& operator=(const PhaseScope&) = delete;

private:
    Driftnode3EEPROM& _eeprom;
    std::unique_ptr<ProgressPhase> _phase;
};

namespace {
const std::size_t IDENTITY_WORDS = 2 + 4;

std::size_t blockWords(const DataBlockMemory& block)
{
    return HEADER_SIZE / 2 + 4 * (block.entryCount() - HEADER_SIZE);
}
} // namespace

// ---- firmware ----------------------------------------------------------------------------

namespace {
const unsigned REBOOT_SETTLE_MS = 1000;
const unsigned AFTER_REBOOT_MS = 100;
const unsigned REACHABLE_WAIT_MS = 1000;
const unsigned REACHABLE_WAITS = 2;
const char* const REPORT_FILE = "check_diff_firmware.txt";

void checkImage(const FirmwareImage& image)
{
    if (!image.isValid() || image.entries().empty()) throw Poco::FileException("Invalid firmware file");
    // The window reaches even addresses only: such a file would fail with the pod already erased.
    for (const auto& entry : image)
        if (entry.first & 1) throw Poco::FileException("Invalid firmware file");
}

unsigned freeChannel(Controller& controller, unsigned startChannel, const char* message)
{
    unsigned channel = 0;
    if (!controller.findFreeChannel(startChannel, &channel)) throw Poco::NoPermissionException(message);
    return channel;
}
} // namespace

void Driftnode3EEPROM::switchToProtectedArea()
{
    unsigned type = 0, major = 0, minor = 0;
    _pod.getVersion(type, major, minor);
    if (type == PROTECTED_TYPE) return;
    unlock();
    writeWord(BOOT_FLAG, static_cast<std::uint16_t>(BOOT_FLAG));
    lock();
    sleepMilliseconds(REBOOT_SETTLE_MS);
    _pod.reboot();
    sleepMilliseconds(AFTER_REBOOT_MS);
    unsigned waits = 0;
    while (!_pod.isReachable(false))
    {
        sleepMilliseconds(REACHABLE_WAIT_MS);
        if (++waits == REACHABLE_WAITS)
            throw Poco::NoPermissionException("Auto reboot failed, re-start manually your DRFN and try again.");
    }
    _pod.getVersion(type, major, minor);
    if (type != PROTECTED_TYPE)
    {
        _pod.switchOff();
        throw Poco::IOException("Firmware Upgrade failed, impossible to switch to protected area");
    }
}

bool Driftnode3EEPROM::upgradeFirmware(unsigned startChannel, const std::string& path)
{
    FirmwareImage image(path);
    checkImage(image);
    Controller& controller = *_pod.getController();
    const unsigned channel =
        freeChannel(controller, startChannel, "Could not find any available channel to start upgrading process");

    const OperationScope operation(*this, ProgressStep::FirmwareUpgrade);
    const std::size_t words = image.entries().size();
    try
    {
        {
            const PhaseScope phase(*this, ProgressStep::Reboot, 0);
            switchToProtectedArea();
        }
        _pod.setChannel(channel);
        controller.setChannel(channel);
        {
            const PhaseScope phase(*this, ProgressStep::Erase, 0);
            for (unsigned code = 0; code < PROGRAM_SECTORS; ++code) sectorCommand(code);
        }
        unlock();
        {
            const PhaseScope phase(*this, ProgressStep::Write, words);
            for (auto& entry : image)
            {
                FirmwareWord& word = entry.second;
                if (word.oddByte) word.fileWord.field(1).set(0xFF, false); // the unused byte stays erased
                writeWord(entry.first, static_cast<std::uint16_t>(word.fileWord.value(false)));
            }
        }
        {
            const PhaseScope phase(*this, ProgressStep::Read, words);
            for (auto& entry : image) entry.second.eepromWord.setValue(readWord(entry.first), true);
        }
        lock();
        const bool ok = image.matches();
        if (ok)
        {
            sectorCommand(LEAVE_PROTECTED_AREA);
            _pod.switchOff();
        }
        else
        {
            _pod.setChannel(0);
        }
        controller.setChannel(0);
        return ok;
    }
    catch (...)
    {
        try
        {
            _pod.setChannel(0);
        }
        catch (...)
        {
        }
        try
        {
            controller.setChannel(0);
        }
        catch (...)
        {
        }
        throw Poco::IOException("Could not access sensor EEPROM");
    }
}

bool Driftnode3EEPROM::verifyFirmware(unsigned startChannel, const std::string& path)
{
    FirmwareImage image(path);
    checkImage(image);
    Controller& controller = *_pod.getController();
    const unsigned channel =
        freeChannel(controller, startChannel, "Could not find any available channel to start upgrade process");

    const OperationScope operation(*this, ProgressStep::FirmwareVerify);
    try
    {
        {
            const PhaseScope phase(*this, ProgressStep::Reboot, 0);
            switchToProtectedArea();
        }
        _pod.setChannel(channel);
        controller.setChannel(channel);
        {
            const PhaseScope phase(*this, ProgressStep::Read, image.entries().size());
            for (auto& entry : image) entry.second.eepromWord.setValue(readWord(entry.first), true);
        }
        const bool ok = image.matches();
        if (!ok)
        {
            std::ostringstream report;
            image.writeReport(report);
            Poco::FileOutputStream file(REPORT_FILE, std::ios::out | std::ios::trunc);
            file << report.str() << std::endl;
            if (!file) throw Poco::WriteFileException(REPORT_FILE);
        }
        sectorCommand(LEAVE_PROTECTED_AREA);
        _pod.switchOff();
        controller.setChannel(0);
        return ok;
    }
    catch (...)
    {
        try
        {
            sectorCommand(LEAVE_PROTECTED_AREA);
        }
        catch (...)
        {
        }
        try
        {
            _pod.setChannel(0);
        }
        catch (...)
        {
        }
        try
        {
            controller.setChannel(0);
        }
        catch (...)
        {
        }
        throw;
    }
}

namespace {
struct ReservedRange
{
    Driftnode3EEPROM::ReservedArea area;
    std::uint32_t first;
    std::uint32_t last;
};

const ReservedRange RESERVED_RANGES[] = {
    {Driftnode3EEPROM::ReservedArea::WorkingCalibration, Driftnode3EEPROM::IDENTITY,
     Driftnode3EEPROM::IDENTITY + Driftnode3EEPROM::MANUFACTURING_OFFSET - 1},
    {Driftnode3EEPROM::ReservedArea::ManufacturingCalibration,
     Driftnode3EEPROM::IDENTITY + Driftnode3EEPROM::MANUFACTURING_OFFSET,
     Driftnode3EEPROM::IDENTITY + 2 * Driftnode3EEPROM::MANUFACTURING_OFFSET - 1},
    {Driftnode3EEPROM::ReservedArea::BootFlag, Driftnode3EEPROM::BOOT_FLAG, Driftnode3EEPROM::BOOT_FLAG + 1},
};

const unsigned RESCUE_ATTEMPTS = 5;
/// The free-channel search goes round channels 1-21 only.
const unsigned LAST_SEARCHED_CHANNEL = 21;
} // namespace

const char* Driftnode3EEPROM::reservedAreaName(ReservedArea area)
{
    switch (area)
    {
    case ReservedArea::WorkingCalibration:
        return "working calibration";
    case ReservedArea::ManufacturingCalibration:
        return "manufacturing calibration";
    case ReservedArea::BootFlag:
        return "boot flag";
    }
    return "reserved area";
}

std::vector<Driftnode3EEPROM::ReservedData> Driftnode3EEPROM::reservedData(const FirmwareImage& image)
{
    std::vector<ReservedData> found;
    for (const ReservedRange& range : RESERVED_RANGES)
    {
        ReservedData data{range.area, 0, 0};
        bool any = false;
        // An entry holds two bytes at most: none starting before range.first - 1 reaches the range.
        for (auto it = image.entries().lower_bound(range.first > 0 ? range.first - 1 : 0);
             it != image.entries().end() && it->first <= range.last; ++it)
        {
            const std::uint32_t first = std::max(it->first, range.first);
            const std::uint32_t last = std::min(it->first + (it->second.oddByte ? 0u : 1u), range.last);
            if (first > last) continue;
            if (!any) data.first = first;
            data.last = last;
            any = true;
        }
        if (any) found.push_back(data);
    }
    return found;
}

Driftnode3EEPROM::Rescue Driftnode3EEPROM::rescue(unsigned startChannel, const ChannelObserver& trying)
{
    if (startChannel >= Controller::CHANNEL_COUNT)
        throw Poco::InvalidArgumentException("Wrong channel input, out of available range");
    std::vector<unsigned> order;
    std::vector<bool> listed(Controller::CHANNEL_COUNT, false);
    for (unsigned ch = startChannel; !listed[ch]; ch = ch + 1 > LAST_SEARCHED_CHANNEL ? 1 : ch + 1)
    {
        listed[ch] = true;
        order.push_back(ch);
    }
    for (unsigned ch = 1; ch <= Controller::CHANNEL_COUNT; ++ch)
    {
        const unsigned index = ch % Controller::CHANNEL_COUNT; // 0 last: the pod was not left there
        if (!listed[index]) order.push_back(index);
    }

    Controller& controller = *_pod.getController();
    Register& version = _pod.registerOf(_pod.typeField());
    Rescue result;
    try
    {
        for (unsigned ch : order)
        {
            if (trying) trying(ch);
            controller.setChannel(ch);
            try
            {
                _pod.readRegister(version, RESCUE_ATTEMPTS);
            }
            catch (const Poco::IOException&)
            {
                continue;
            }
            result.found = true;
            result.channel = ch;
            break;
        }
        if (result.found && result.channel != 0) _pod.setChannel(0);
        controller.setChannel(0);
    }
    catch (...)
    {
        try
        {
            controller.setChannel(0);
        }
        catch (...)
        {
        }
        throw;
    }
    if (!result.found) return result;
    // It may have restarted since the upgrade, its window page with it.
    forgetPage();
    try
    {
        _pod.readRegister(version);
    }
    catch (const Poco::IOException&)
    {
        throw Poco::IOException("The pod answered on channel " + std::to_string(result.channel) +
                                " but not on channel 0 after being moved there");
    }
    unsigned type = 0, major = 0, minor = 0;
    _pod.getVersion(type, major, minor);
    result.inProtectedArea = type == PROTECTED_TYPE;
    return result;
}

// ---- word access -------------------------------------------------------------------------

namespace {
void checkWordAddress(std::uint32_t address, std::size_t words)
{
    // Words sit at even 16-bit addresses; anything else would reach a neighbouring word.
    if ((address & 1) || address + 2 * words > 0x10000)
        throw Poco::InvalidArgumentException("Invalid EEPROM word address " + hexAddress(address));
}

Register windowRegister(std::uint32_t address)
{
    Register window(address & 0x7F, 2);
    window.addField(0, 0, 15);
    return window;
}
} // namespace

void Driftnode3EEPROM::selectPage(std::uint32_t address)
{
    const std::uint32_t page = address & 0xFF80;
    if (page == _page) return;
    Register& offset = _pod.getMemory().getRegister(PodReg::EEPROM_OFFSET);
    offset.setValue(page, false);
    // A write that failed may still have reached the pod: trust no page until one is confirmed.
    _page = NO_PAGE;
    _pod.writeRegister(offset, REGISTER_ATTEMPTS, true);
    _page = page;
}

std::uint16_t Driftnode3EEPROM::readWord(std::uint32_t address)
{
    checkWordAddress(address, 1);
    selectPage(address);
    Register window = windowRegister(address);
    _pod.readRegister(window, REGISTER_ATTEMPTS);
    if (_progress && _countedPhase == ProgressStep::Read) _progress->step();
    return static_cast<std::uint16_t>(window.value(true));
}

void Driftnode3EEPROM::countWrite()
{
    if (_progress && _countedPhase == ProgressStep::Write) _progress->step();
}

bool Driftnode3EEPROM::writeWord(std::uint32_t address, std::uint16_t value)
{
    checkWordAddress(address, 1);
    for (unsigned tries = 0; tries < WORD_TRIES; ++tries)
    {
        selectPage(address);
        Register window = windowRegister(address);
        window.field(0).set(value, false);
        _pod.writeRegister(window, REGISTER_ATTEMPTS, true);
        sleepMilliseconds(WORD_SETTLE_MS);
        if (readWord(address) == value)
        {
            countWrite();
            return true;
        }
    }
    if (_firstUnverified == UNUSED_ADDRESS) _firstUnverified = address;
    countWrite();
    return false;
}

void Driftnode3EEPROM::readWords(std::uint32_t address, std::size_t count, std::uint16_t* out)
{
    checkWordAddress(address, count);
    for (std::size_t i = 0; i < count; ++i) out[i] = readWord(address + 2 * static_cast<std::uint32_t>(i));
}

bool Driftnode3EEPROM::writeWords(std::uint32_t address, std::size_t count, const std::uint16_t* in)
{
    checkWordAddress(address, count);
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i) ok = writeWord(address + 2 * static_cast<std::uint32_t>(i), in[i]) && ok;
    return ok;
}

void Driftnode3EEPROM::readUInt32s(std::uint32_t address, std::size_t count, std::uint32_t* out)
{
    checkWordAddress(address, 2 * count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint32_t at = address + 4 * static_cast<std::uint32_t>(i);
        const std::uint32_t high = readWord(at);
        out[i] = (high << 16) | readWord(at + 2);
    }
}

bool Driftnode3EEPROM::writeUInt32s(std::uint32_t address, std::size_t count, const std::uint32_t* in)
{
    checkWordAddress(address, 2 * count);
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint32_t at = address + 4 * static_cast<std::uint32_t>(i);
        ok = writeWord(at, static_cast<std::uint16_t>(in[i] >> 16)) && ok;
        ok = writeWord(at + 2, static_cast<std::uint16_t>(in[i])) && ok;
    }
    return ok;
}

void Driftnode3EEPROM::readDoubles(std::uint32_t address, std::size_t count, double* out)
{
    checkWordAddress(address, 4 * count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint32_t at = address + 8 * static_cast<std::uint32_t>(i);
        std::uint64_t bits = 0;
        for (std::uint32_t w = 0; w < 4; ++w) bits = (bits << 16) | readWord(at + 2 * w);
        out[i] = bitsDouble(bits);
    }
}

bool Driftnode3EEPROM::writeDoubles(std::uint32_t address, std::size_t count, const double* in)
{
    checkWordAddress(address, 4 * count);
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint32_t at = address + 8 * static_cast<std::uint32_t>(i);
        const std::uint64_t bits = doubleBits(in[i]);
        for (std::uint32_t w = 0; w < 4; ++w)
            ok = writeWord(at + 2 * w, static_cast<std::uint16_t>(bits >> (48 - 16 * w))) && ok;
    }
    return ok;
}

void Driftnode3EEPROM::writeEepromControl(unsigned command, unsigned enable, unsigned execute)
{
    Register& control = _pod.getMemory().getRegister(PodReg::EEPROM_CTRL);
    control.field(0).set(command, false);
    control.field(1).set(enable, false);
    control.field(2).set(execute, false);
    _pod.writeRegister(control, REGISTER_ATTEMPTS, true);
}

void Driftnode3EEPROM::unlock()
{
    writeEepromControl(0, 1, 0);
}

void Driftnode3EEPROM::lock()
{
    writeEepromControl(0, 0, 0);
}

void Driftnode3EEPROM::sectorCommand(unsigned code)
{
    if (code > 0xFF) throw Poco::InvalidArgumentException("Invalid EEPROM command " + std::to_string(code));
    writeEepromControl(code, 1, 1);
    sleepMilliseconds(SECTOR_COMMAND_MS);
}

// ---- image -------------------------------------------------------------------------------

void Driftnode3EEPROM::setGain(unsigned set, const double* m)
{
    DataBlockMemory& block = setBlock(set);
    for (unsigned i = 0; i < 9; ++i) block.storeDouble(gainAddress(block.address(), i), m[i]);
}

void Driftnode3EEPROM::setOffset(unsigned set, const double* v)
{
    DataBlockMemory& block = setBlock(set);
    for (unsigned k = 0; k < 3; ++k) block.storeDouble(block.address() + OFFSET_OFFSET + 8 * k, v[k]);
}

void Driftnode3EEPROM::gain(unsigned set, double* out) const
{
    const DataBlockMemory& block = setBlock(set);
    for (unsigned i = 0; i < 9; ++i) out[i] = block.doubleAt(gainAddress(block.address(), i));
}

void Driftnode3EEPROM::offset(unsigned set, double* out) const
{
    const DataBlockMemory& block = setBlock(set);
    for (unsigned k = 0; k < 3; ++k) out[k] = block.doubleAt(block.address() + OFFSET_OFFSET + 8 * k);
}

double Driftnode3EEPROM::temperature(unsigned set) const
{
    const DataBlockMemory& block = setBlock(set);
    return block.doubleAt(block.address() + TEMPERATURE_OFFSET);
}

std::uint32_t Driftnode3EEPROM::identity() const
{
    return _image.block(IDENTITY).uint32At(IDENTITY);
}

void Driftnode3EEPROM::writeSetHeader(unsigned set, double temperature)
{
    DataBlockMemory& block = setBlock(set);
    const Poco::DateTime now = _clock ? _clock() : Poco::DateTime();
    const int fields[6] = {now.day(),  now.month(),  ((now.year() - 2000) % 256 + 256) % 256,
                           now.hour(), now.minute(), now.second()};
    const std::uint32_t base = block.address();
    for (std::uint32_t k = 0; k < 6; ++k) block.storeByte(base + k, bcd(fields[k]));
    block.storeByte(base + 6, 0x00);
    block.storeByte(base + 7, 0x03);
    block.storeDouble(base + TEMPERATURE_OFFSET, temperature);
}

// ---- transfers ---------------------------------------------------------------------------

void Driftnode3EEPROM::readIdentity()
{
    // The pod may have restarted since the last transfer and lost its window page.
    forgetPage();
    DataBlockMemory& block = _image.block(IDENTITY);
    const std::uint32_t source = IDENTITY + MANUFACTURING_OFFSET;
    std::uint32_t identity = 0;
    readUInt32s(source, 1, &identity);
    block.storeUInt32(IDENTITY, identity);
    for (std::uint32_t k = 0; k < 4; ++k)
    {
        const std::uint16_t word = readWord(source + 4 + 2 * k);
        block.storeByte(IDENTITY + 4 + 2 * k, static_cast<std::uint8_t>(word >> 8));
        block.storeByte(IDENTITY + 5 + 2 * k, static_cast<std::uint8_t>(word));
    }
}

void Driftnode3EEPROM::readSet(unsigned set, unsigned area)
{
    // On its own a read is a transfer: the pod may have restarted since the last one.
    forgetPage();
    readSetOnSelectedPage(set, area);
}

void Driftnode3EEPROM::readSetOnSelectedPage(unsigned set, unsigned area)
{
    DataBlockMemory& block = setBlock(set);
    // Only the areas that hold the set are accepted: anything else would read foreign data into it.
    const bool valid = area == Manufacturing || (set < 2 ? area == WorkingFirst : area == WorkingSecond);
    if (!valid)
        throw Poco::InvalidArgumentException("Calibration set " + std::to_string(set) + " is not in area 0x" +
                                             Poco::NumberFormatter::formatHex(area));
    const std::uint32_t source = block.address() + (area == Manufacturing ? MANUFACTURING_OFFSET : 0);
    for (std::uint32_t k = 0; k < HEADER_SIZE; k += 2)
    {
        const std::uint16_t word = readWord(source + k);
        block.storeByte(block.address() + k, static_cast<std::uint8_t>(word >> 8));
        block.storeByte(block.address() + k + 1, static_cast<std::uint8_t>(word));
    }
    for (const DataBlockMemory::DataMap::value_type& entry : block.data())
    {
        if (entry.second.size() != 8) continue;
        double value = 0.0;
        readDoubles(source + (entry.first - block.address()), 1, &value);
        block.storeDouble(entry.first, value);
    }
}

std::size_t Driftnode3EEPROM::areaWords(unsigned area) const
{
    std::size_t words = 0;
    if (area != WorkingSecond) words += IDENTITY_WORDS + blockWords(setBlock(0)) + blockWords(setBlock(1));
    if (area != WorkingFirst) words += blockWords(setBlock(2));
    return words;
}

std::size_t Driftnode3EEPROM::calibrationWords() const
{
    return areaWords(Manufacturing);
}

void Driftnode3EEPROM::readCalibration()
{
    const OperationScope operation(*this, ProgressStep::CalibrationRead);
    const PhaseScope phase(*this, ProgressStep::Read, calibrationWords());
    readIdentity();
    readSetOnSelectedPage(0, WorkingFirst);
    readSetOnSelectedPage(1, WorkingFirst);
    readSetOnSelectedPage(2, WorkingSecond);
}

void Driftnode3EEPROM::writeBlock(const DataBlockMemory& block, std::uint32_t destination)
{
    for (std::uint32_t k = 0; k < HEADER_SIZE; k += 2)
    {
        const std::uint16_t word = static_cast<std::uint16_t>((block.byteAt(block.address() + k) << 8) |
                                                              block.byteAt(block.address() + k + 1));
        writeWord(destination + k, word);
    }
    for (const DataBlockMemory::DataMap::value_type& entry : block.data())
    {
        if (entry.second.size() != 8) continue;
        const double value = block.doubleAt(entry.first);
        writeDoubles(destination + (entry.first - block.address()), 1, &value);
    }
}

std::uint32_t Driftnode3EEPROM::writeAreaWords(unsigned area)
{
    if (area != WorkingFirst && area != WorkingSecond && area != Manufacturing)
        throw Poco::InvalidArgumentException("No calibration area 0x" + Poco::NumberFormatter::formatHex(area));
    _firstUnverified = UNUSED_ADDRESS;
    forgetPage();
    unlock();
    if (area != WorkingSecond)
    {
        const std::uint32_t base = area == Manufacturing ? IDENTITY + MANUFACTURING_OFFSET : IDENTITY;
        const DataBlockMemory& identityBlock = _image.block(IDENTITY);
        const std::uint32_t identity = identityBlock.uint32At(IDENTITY);
        writeUInt32s(base, 1, &identity);
        for (std::uint32_t k = 0; k < 3; ++k)
        {
            const std::uint16_t word = static_cast<std::uint16_t>((identityBlock.byteAt(IDENTITY + 4 + 2 * k) << 8) |
                                                                  identityBlock.byteAt(IDENTITY + 5 + 2 * k));
            writeWord(base + 4 + 2 * k, word);
        }
        writeWord(base + 0x0A, IDENTITY_TAIL);
        for (unsigned set = 0; set < 2; ++set)
        {
            const DataBlockMemory& block = setBlock(set);
            writeBlock(block, base + (block.address() - IDENTITY));
        }
    }
    if (area != WorkingFirst)
    {
        const std::uint32_t destination =
            area == Manufacturing ? WORKING_SECOND + MANUFACTURING_OFFSET : WORKING_SECOND;
        writeBlock(setBlock(2), destination);
    }
    lock();
    return _firstUnverified;
}

void Driftnode3EEPROM::checkVerified(std::uint32_t firstFailure)
{
    if (firstFailure != UNUSED_ADDRESS)
        throw Poco::IOException("Could not verify the EEPROM word at " + hexAddress(firstFailure));
}

void Driftnode3EEPROM::writeArea(unsigned area)
{
    const OperationScope operation(*this, ProgressStep::CalibrationCommit);
    const PhaseScope phase(*this, ProgressStep::Write, areaWords(area));
    checkVerified(writeAreaWords(area));
}

void Driftnode3EEPROM::commit()
{
    const OperationScope operation(*this, ProgressStep::CalibrationCommit);
    // Stopped after the erase, the pod would be left with no calibration at all.
    const InterruptShield shield;
    {
        const PhaseScope phase(*this, ProgressStep::Erase, 0);
        sectorCommand(WorkingFirst);
        sectorCommand(WorkingSecond);
    }
    const PhaseScope phase(*this, ProgressStep::Write, areaWords(WorkingFirst) + areaWords(WorkingSecond));
    // Both sectors are erased by now, so the second is written even when the first had a bad word.
    const std::uint32_t first = writeAreaWords(WorkingFirst);
    const std::uint32_t second = writeAreaWords(WorkingSecond);
    checkVerified(first != UNUSED_ADDRESS ? first : second);
}

void Driftnode3EEPROM::restoreFromManufacturing(bool set0, bool set1, bool set2)
{
    const OperationScope operation(*this, ProgressStep::CalibrationRestore);
    {
        const PhaseScope phase(*this, ProgressStep::Read, calibrationWords());
        readIdentity();
        readSetOnSelectedPage(0, set0 ? Manufacturing : WorkingFirst);
        readSetOnSelectedPage(1, set1 ? Manufacturing : WorkingFirst);
        readSetOnSelectedPage(2, set2 ? Manufacturing : WorkingSecond);
    }
    commit();
}

void Driftnode3EEPROM::copyToManufacturing(bool set0, bool set1, bool set2)
{
    const OperationScope operation(*this, ProgressStep::CalibrationCopy);
    {
        const PhaseScope phase(*this, ProgressStep::Read, calibrationWords());
        readIdentity();
        readSetOnSelectedPage(0, set0 ? WorkingFirst : Manufacturing);
        readSetOnSelectedPage(1, set1 ? WorkingFirst : Manufacturing);
        readSetOnSelectedPage(2, set2 ? WorkingSecond : Manufacturing);
    }
    // Stopped after the erase, the pod would be left with no copy to go back to.
    const InterruptShield shield;
    {
        const PhaseScope phase(*this, ProgressStep::Erase, 0);
        sectorCommand(Manufacturing);
    }
    writeArea(Manufacturing);
}

} // namespace Tarnlink
