#ifndef Tarnlink_Controller_INCLUDED
#define Tarnlink_Controller_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Hardware.h>
#include <cstdint>
#include <memory>
#include <string>

namespace Tarnlink {

class ReadFrameCommand;

/// The USB radio controller: register image, network states, radio channel, pod selection,
/// frames and pairing reports, free-channel searches.
/// Not thread-safe: a controller, its pods and their protocol are used from one thread at a time.
class Tarnlink_API Controller : public Hardware
{
public:
    enum State : std::uint32_t
    {
        Idle = 0,
        Pairing = 1,
        Transmission = 2,
        Listening = 3
    };

    /// Number of radio channels; getChannel() answers this for a code outside the table.
    static constexpr unsigned CHANNEL_COUNT = 32;
    static constexpr unsigned UNKNOWN_CHANNEL = 32;

    explicit Controller(Protocol* protocol);
    ~Controller() override;

    void resetRegisters() override;
    virtual void setSyncMode(unsigned mode) = 0;
    virtual unsigned getSyncMode() = 0;
    /// Frame period from hz and the tick, written to TDMA_PERIOD.
    virtual void setFrequency(unsigned hz);
    virtual int getFrequency();
    /// 0.0 while no frame period is set.
    virtual double getExactFrequency();
    virtual unsigned getSerialNumber() = 0;
    virtual bool verifyFirmware(const std::string& path) = 0;
    virtual bool upgradeFirmware(const std::string& path) = 0;
    /// 2000 / divisor is a radio pod's default number of register attempts.
    virtual unsigned getPodTimingDivisor() const = 0;
    virtual unsigned getTickNanoseconds() = 0;

    /// 0: 16-byte frames, 1: 22-byte frames; other values change nothing but FRAME_MODE is still written.
    void setFrameMode(unsigned mode);
    /// Radio channel index 0-31; a larger index is refused with Poco::InvalidArgumentException.
    void setChannel(unsigned index);
    /// The current channel index, or UNKNOWN_CHANNEL.
    unsigned getChannel();
    void getVersion(unsigned& major, unsigned& minor);
    unsigned getHardwareCode();
    /// 1 when newer than major.minor, 0 when equal, -1 when older.
    int compareVersion(unsigned major, unsigned minor);
    /// Selects the pod that slave-register commands address; nothing is sent when it is already selected.
    void setSlaveAddress(std::uint32_t serial);
    void setState(State target);
    State getState() const { return _state; }

    /// One data frame body (frameLength bytes); false without I/O unless transmitting or listening.
    bool readDataFrame(std::string& frame);
    /// One pairing report while pairing; any failure is false.
    bool readPairingReport(std::uint32_t& serial);
    bool waitForPairing(std::uint32_t& serial, unsigned seconds);
    /// False when the channel throws; an unanswered probe still counts as alive.
    bool probe();
    bool isChannelQuiet(unsigned milliseconds);
    /// Stopped by an interrupt (Interrupt.h), it still leaves the controller idle on its channel.
    bool testChannel(unsigned index, bool listening);
    bool findFreeChannel(unsigned start, unsigned* found = nullptr);
    /// Stopped by an interrupt, it still restores the frame mode it found.
    bool findFreeChannelBothModes(unsigned start, unsigned* found = nullptr);

    unsigned getFrameLength() const { return _frameLength; }
    bool isSlaveSelected() const { return _slaveSelected; }

    /// RF_CHANNEL code of a channel index; the index must be below CHANNEL_COUNT.
    static unsigned channelCode(unsigned index);
    /// Channel index of an RF_CHANNEL code, or UNKNOWN_CHANNEL.
    static unsigned channelIndex(unsigned code);

protected:
    void enterState(State state);
    void leaveState();
    /// Number of reads of the channel's time-out that cover milliseconds (at least 1 when minOne).
    unsigned readsFor(std::uint64_t milliseconds, bool minOne);
    /// Writes FRAME_MODE for mode 0/1 and sets the frame length to match.
    void switchFrameMode(bool mode22);
    void writeChannelCode(unsigned index);
    Register& reg(std::uint32_t address) { return memory.getRegister(address); }

    State _state = Idle;
    bool _slaveSelected = false;
    unsigned _frameLength = 16;
    bool _searchFrameMode = false;
    /// Built once: a frame read then constructs nothing.
    std::unique_ptr<ReadFrameCommand> _frameCommand;
};

} // namespace Tarnlink

#endif
