#ifndef Tarnlink_Driftnode3EEPROM_INCLUDED
#define Tarnlink_Driftnode3EEPROM_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/DateTime.h>
#include <Tarnlink/DriftnodeEEPROM.h>
#include <Tarnlink/MemoryEEPROM.h>
#include <Tarnlink/Progress.h>
#include <cstdint>
#include <functional>
#include <vector>

namespace Tarnlink {

class Driftnode3;
class FirmwareImage;

/// A Driftnode3 pod's EEPROM: word access through the pod's 128-byte register window, and the
/// host-side image of the calibration (identity header and three sets of temperature, 3x3 gain
/// and offset) with its transfers to and from the working and manufacturing areas.
///
/// Image addresses are working-area addresses; the manufacturing copy sits 0x200 higher.
/// Not thread-safe: used with its pod and the pod's controller from one thread at a time.
class Tarnlink_API Driftnode3EEPROM : public DriftnodeEEPROM
{
public:
    /// Sector codes of the pod's calibration areas.
    enum Area : unsigned
    {
        WorkingFirst = 0x20,  ///< 0xFA00-0xFAFF: identity, sets 0 and 1
        WorkingSecond = 0x21, ///< 0xFB00-0xFBFF: set 2
        Manufacturing = 0x22  ///< 0xFC00-0xFDFF: copy of both
    };

    static constexpr std::uint32_t IMAGE_SIZE = 0x800;
    static constexpr std::uint32_t IDENTITY = 0xFA00;
    static constexpr std::uint32_t MANUFACTURING_OFFSET = 0x200;
    static constexpr unsigned SET_COUNT = 3;
    static constexpr unsigned WORD_TRIES = 50;

    /// Source of the current UTC date and time for the set headers.
    typedef std::function<Poco::DateTime()> Clock;

    explicit Driftnode3EEPROM(Driftnode3& pod);
    Driftnode3EEPROM(const Driftnode3EEPROM&) = delete;
    Driftnode3EEPROM& operator=(const Driftnode3EEPROM&) = delete;

    /// Whether the pod's program matches the file ("check_diff_firmware.txt" in the current
    /// directory lists the differences). A check that ends, matching or not, switches the pod off.
    bool verifyFirmware(unsigned startChannel, const std::string& path) override;
    /// False when a word did not verify: the pod is then left in its protected area on channel
    /// index 0, ready for another try. True: the pod runs the new firmware and is switched off.
    bool upgradeFirmware(unsigned startChannel, const std::string& path) override;
    /// Restarts the pod into its protected (boot) area unless it already runs it.
    void switchToProtectedArea();

    /// VERSION type of a pod running its protected area.
    static constexpr unsigned PROTECTED_TYPE = 15;
    /// Writing this word at this address makes the pod boot into its protected area.
    static constexpr std::uint32_t BOOT_FLAG = 0xFFFE;
    /// Leaves the protected area for the program just written.
    static constexpr unsigned LEAVE_PROTECTED_AREA = 0x23;
    static constexpr unsigned PROGRAM_SECTORS = 16;

    /// Parts of the pod's EEPROM beyond its program that a firmware file has no business
    /// writing: upgradeFirmware writes them all the same, so hosts check first.
    enum class ReservedArea
    {
        WorkingCalibration,       ///< 0xFA00-0xFBFF
        ManufacturingCalibration, ///< 0xFC00-0xFDFF
        BootFlag                  ///< 0xFFFE-0xFFFF
    };
    /// The bytes of a file's data that fall in one reserved area.
    struct ReservedData
    {
        ReservedArea area;
        std::uint32_t first;
        std::uint32_t last;
    };
    /// "working calibration", "manufacturing calibration", "boot flag".
    static const char* reservedAreaName(ReservedArea area);
    /// One item per reserved area the image has data in, in address order; empty when the
    /// file keeps to the program (an odd last byte counts alone, not its padding).
    static std::vector<ReservedData> reservedData(const FirmwareImage& image);

    /// Where rescue found the pod.
    struct Rescue
    {
        bool found = false;
        /// Channel index it answered on.
        unsigned channel = 0;
        /// Runs its protected area, so another upgrade can start at once.
        bool inProtectedArea = false;
    };
    /// Told each channel index before it is tried.
    typedef std::function<void(unsigned channel)> ChannelObserver;
    /// Finds a pod that an interrupted upgrade left on another radio channel and brings it
    /// and the controller back to channel index 0. Channels are tried in the order in which
    /// the upgrade searched a free one from startChannel, then the others, so the one it
    /// chose comes early. The pod keeps running what it runs: left in its protected area, it
    /// stays there. Not found: the controller is back on 0 and found is false.
    Rescue rescue(unsigned startChannel, const ChannelObserver& trying = ChannelObserver());

    // Pod EEPROM words. Register failures throw Poco::IOException.
    /// Writes EEPROM_OFFSET only when the page differs from the last one written.
    void selectPage(std::uint32_t address);
    /// Makes the next selectPage write EEPROM_OFFSET whatever the page (the pod lost it).
    void forgetPage() { _page = NO_PAGE; }
    std::uint16_t readWord(std::uint32_t address);
    /// Up to 50 write-and-read-back tries; false when the word never read back as written.
    bool writeWord(std::uint32_t address, std::uint16_t value);
    void readWords(std::uint32_t address, std::size_t count, std::uint16_t* out);
    /// Every word is written even after one fails; false when any did.
    bool writeWords(std::uint32_t address, std::size_t count, const std::uint16_t* in);
    void readUInt32s(std::uint32_t address, std::size_t count, std::uint32_t* out);
    bool writeUInt32s(std::uint32_t address, std::size_t count, const std::uint32_t* in);
    void readDoubles(std::uint32_t address, std::size_t count, double* out);
    bool writeDoubles(std::uint32_t address, std::size_t count, const double* in);
    void unlock();
    void lock();
    /// Sends a sector or firmware command, then gives the pod 30 ms.
    void sectorCommand(unsigned code);

    // Image only, no device traffic. Sets are 0-2; gains are 9 doubles row by row.
    void setGain(unsigned set, const double* m);
    void setOffset(unsigned set, const double* v);
    void gain(unsigned set, double* out) const;
    void offset(unsigned set, double* out) const;
    /// Stamps the set with the clock's date and time (BCD) and stores its temperature.
    void writeSetHeader(unsigned set, double temperature);
    double temperature(unsigned set) const;
    std::uint32_t identity() const;
    const MemoryEEPROM& image() const { return _image; }

    // Transfers.
    void readIdentity();
    /// area: WorkingFirst for sets 0 and 1, WorkingSecond for set 2, or Manufacturing.
    void readSet(unsigned set, unsigned area);
    void readCalibration();
    /// Writes the image into one area between unlock and lock. Throws Poco::IOException naming
    /// the first address that did not verify, after the lock and after every other word was written.
    void writeArea(unsigned area);
    /// Not interruptible (Interrupt.h) from the erase on, nor is the erase and write of copyToManufacturing.
    void commit();
    void restoreFromManufacturing(bool set0, bool set1, bool set2);
    void copyToManufacturing(bool set0, bool set1, bool set2);

    void setClock(Clock clock) { _clock = std::move(clock); }

    /// First address of a set's block in the image.
    static std::uint32_t setAddress(unsigned set);

private:
    /// readSet within a transfer that began with readIdentity, which forgot the page.
    void readSetOnSelectedPage(unsigned set, unsigned area);
    class OperationScope;
    class PhaseScope;

    static constexpr std::uint32_t NO_PAGE = 0xFFFFFFFF;
    static constexpr std::uint32_t UNUSED_ADDRESS = 0xFFFFFFFF;

    void declareLayout();
    void declareSet(std::uint32_t blockAddress);
    DataBlockMemory& setBlock(unsigned set);
    const DataBlockMemory& setBlock(unsigned set) const;
    void writeEepromControl(unsigned command, unsigned enable, unsigned execute);
    /// writeArea without the verdict: the first address that did not verify, or UNUSED_ADDRESS.
    std::uint32_t writeAreaWords(unsigned area);
    void writeBlock(const DataBlockMemory& block, std::uint32_t destination);
    void countWrite();
    /// Words a transfer of that area moves.
    std::size_t areaWords(unsigned area) const;
    std::size_t calibrationWords() const;
    /// Throws for the first unverified address of a whole transfer.
    static void checkVerified(std::uint32_t firstFailure);

    Driftnode3& _pod;
    MemoryEEPROM _image;
    std::uint32_t _page = NO_PAGE;
    /// First word of the current transfer that did not verify.
    std::uint32_t _firstUnverified = UNUSED_ADDRESS;
    Clock _clock;
    // Progress of the outermost procedure running; words count only in a phase of their kind.
    bool _inOperation = false;
    ProgressStep::Operation _operation = ProgressStep::CalibrationRead;
    ProgressPhase* _progress = nullptr;
    ProgressStep::Phase _countedPhase = ProgressStep::Read;
};

} // namespace Tarnlink

#endif
