#include "ScriptedChannel.h"
#include <Poco/DeviceIO/BufferedChannel.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/Hardware.h>
#include <Tarnlink/Log.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <Tarnlink/ReadRawDataCommand.h>
#include <Tarnlink/ReadRegisterCommand.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/WriteRegisterCommand.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#endif

using namespace Tarnlink;
using Tests::ScriptedChannel;

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

class TestDevice : public Hardware
{
public:
    explicit TestDevice(Protocol* p) : Hardware(p, Opcode::WRITE_FPGA_REG, Opcode::READ_FPGA_REG)
    {
        RegisterMap::defineControllerRegisters(memory, 2);
        resetRegisters();
    }
    void resetRegisters() override { memory.reset(); }
};

/// Reads ahead as the real channels do, each read of the device taking at most piece bytes of
/// what has come: replies, and markers, split where the pieces end.
class AheadChannel : public ScriptedChannel
{
public:
    explicit AheadChannel(int piece) : _piece(piece) {}
    int readAhead(char* buffer, int length, int capacity) override
    {
        int count = 0;
        while (count < length)
        {
            const int got = read(buffer + count, std::min(capacity - count, _piece));
            if (got == 0) break;
            count += got;
        }
        return count;
    }

private:
    int _piece;
};

struct ProtocolFixture : ::testing::Test
{
    Poco::AutoPtr<ScriptedChannel> channel{new ScriptedChannel};
    const std::string& marker = Command::frameMarker();
};

} // namespace

TEST_F(ProtocolFixture, MarkerSearchSkipsBrokenPartialMatches)
{
    // 55 55 AA 55 AA 55 AA: the second byte breaks the match and is skipped, so is the third.
    channel->deliverHex("55 55 aa 55 aa 55 aa 05 00 12 34");
    std::uint32_t result = 0;
    ReadRegisterCommand cmd(marker, Opcode::READ_FPGA_REG, 0, &result);
    std::ostringstream log;
    ASSERT_TRUE(cmd.execute(*channel, log));
    EXPECT_EQ(0x1234u, result);
    EXPECT_EQ("55 aa 55 aa 05 00 00 00", ScriptedChannel::hex(channel->written()));
    EXPECT_EQ((std::vector<std::string>{"TX:55:aa:55:aa:05:00:00:00 [READ_FRGA_REG] VERSION", "RX:55:aa (DISCARD)",
                                        "RX:55:aa:55:aa:05:00:12:34"}),
              lines(log.str()));
    EXPECT_EQ(0u, channel->unread());
}

TEST_F(ProtocolFixture, GarbageAndTimeoutsAreReportedOnce)
{
    channel->deliverHex("12 34 55 aa").timeout();
    std::ostringstream log;
    ReadRegisterCommand cmd(marker, Opcode::READ_SLAVE_REG, 0x8A, nullptr);
    EXPECT_FALSE(cmd.execute(*channel, log));
    EXPECT_EQ((std::vector<std::string>{"TX:55:aa:55:aa:03:8a:00:00 [READ_SLAVE_REG] VTEMP", "RX:12:34 (GARBAGE)",
                                        "RX:55:aa:... (COM_TIMEOUT)"}),
              lines(log.str()));

    // A body that stops short is a time-out showing what did come.
    channel->deliverHex("55 aa 55 aa 04 02").timeout();
    std::ostringstream log2;
    WriteRegisterCommand write(marker, Opcode::WRITE_FPGA_REG, 2, 0x0F05, true);
    EXPECT_FALSE(write.execute(*channel, log2));
    EXPECT_EQ("RX:55:aa:55:aa:04:02:... (COM_TIMEOUT)", lines(log2.str()).back());
}

TEST_F(ProtocolFixture, EndlessNoiseEndsTheSearch)
{
    // A listening controller on a busy channel: noise that never contains the marker.
    channel->deliver(std::string(Command::MAX_SKIPPED_BYTES + 100, '\x13')).deliverHex("55 aa 55 aa 05 00 12 34");
    std::ostringstream log;
    ReadRegisterCommand cmd(marker, Opcode::READ_FPGA_REG, 0, nullptr);
    EXPECT_FALSE(cmd.execute(*channel, log));
    EXPECT_EQ(108u, channel->unread());
    EXPECT_EQ("RX:... (COM_TIMEOUT)", lines(log.str()).back());
}

TEST_F(ProtocolFixture, RegisterRepliesEchoesAndControllerTimeout)
{
    // Write without echo: all 8 bytes written, nothing read.
    WriteRegisterCommand blind(marker, Opcode::WRITE_FPGA_REG, 1, 0x8000, false);
    EXPECT_TRUE(blind.execute(*channel));
    EXPECT_EQ(0, channel->readCalls());
    EXPECT_EQ("55 aa 55 aa 04 01 80 00", ScriptedChannel::hex(channel->written()));

    // A read reply counts on opcode and address alone; a wrong one is a failed try.
    channel->deliverHex("55 aa 55 aa 05 01 00 00  55 aa 55 aa 05 00 ab cd");
    std::uint32_t result = 0;
    ReadRegisterCommand read(marker, Opcode::READ_FPGA_REG, 0, &result);
    std::ostringstream log;
    EXPECT_TRUE(read.execute(*channel, log));
    EXPECT_EQ(0xABCDu, result);
    EXPECT_EQ("RX:55:aa:55:aa:05:01:00:00 (FAIL)", lines(log.str())[1]);

    // FF FF FF FF ends the command: the next reply is never read.
    channel->deliverHex("55 aa 55 aa ff ff ff ff  55 aa 55 aa 02 80 00 01");
    std::ostringstream log2;
    WriteRegisterCommand echo(marker, Opcode::WRITE_SLAVE_REG, 0x80, 1, true);
    EXPECT_FALSE(echo.execute(*channel, log2));
    EXPECT_EQ("RX:55:aa:55:aa:ff:ff:ff:ff (CTRL_TIMEOUT)", lines(log2.str()).back());
    EXPECT_EQ(8u, channel->unread());

    // Three wrong echoes exhaust the tries.
    channel->clearWritten();
    Poco::AutoPtr<ScriptedChannel> wrong(new ScriptedChannel);
    wrong->deliverHex(
        "55 aa 55 aa 02 80 00 02 55 aa 55 aa 02 80 00 03 55 aa 55 aa 02 80 00 04 55 aa 55 aa 02 80 00 01");
    EXPECT_FALSE(echo.execute(*wrong));
    EXPECT_EQ(8u, wrong->unread());

    // A short write fails without reading.
    Poco::AutoPtr<ScriptedChannel> shortCh(new ScriptedChannel);
    shortCh->shortWrite(5);
    std::ostringstream log3;
    EXPECT_FALSE(echo.execute(*shortCh, log3));
    EXPECT_EQ("TX:55:aa:55:aa:02:80:00:01 [WRITE_SLAVE_REG] VERSION (FAIL)", lines(log3.str()).at(0));
    EXPECT_EQ(0, shortCh->readCalls());
}

TEST_F(ProtocolFixture, FramesAndRawReads)
{
    // Three frames with the wrong id use up the tries; the fourth is never looked at.
    for (int i = 0; i < 4; ++i) channel->deliverHex("55 aa 55 aa 06 01 02 03");
    std::string frame = "x";
    ReadFrameCommand cmd(marker, 1, 3, &frame);
    EXPECT_FALSE(cmd.execute(*channel));
    EXPECT_EQ(8u, channel->unread());
    EXPECT_EQ("x", frame);

    channel->deliverHex("00 55 aa 55 aa 01 0a 0b 0c");
    std::ostringstream log;
    EXPECT_TRUE(cmd.execute(*channel, log));
    EXPECT_EQ("\x0a\x0b\x0c", frame);
    auto l = lines(log.str());
    EXPECT_EQ("RX:55:aa:55:aa:06:01:02:03 (FAIL)", l.at(0));
    EXPECT_EQ("RX:55:aa:55:aa:01:0a:0b:0c [DATA_FRAME] id:1", l.back());
    EXPECT_TRUE(channel->written().empty());

    std::string raw = "stale";
    ReadRawDataCommand drain(1000, &raw);
    std::ostringstream log2;
    EXPECT_TRUE(drain.execute(*channel, log2));
    EXPECT_TRUE(raw.empty());
    EXPECT_EQ((std::vector<std::string>{"RX: [READ_RAW_DATA]"}), lines(log2.str()));
    channel->deliverHex("01 02");
    std::ostringstream log3;
    ReadRawDataCommand pending(0, &raw);
    EXPECT_TRUE(pending.execute(*channel, log3));
    EXPECT_EQ("\x01\x02", raw);
    EXPECT_EQ(1, channel->pendingReadCalls());
    EXPECT_EQ("RX:01:02", lines(log3.str()).back());
}

TEST_F(ProtocolFixture, ReadAheadSkipsLogsAndTimesOutAsByteReads)
{
    Poco::AutoPtr<AheadChannel> device(new AheadChannel(10));
    Protocol::Ptr protocol(new Protocol(device.get()));
    Poco::AutoPtr<Poco::DeviceIO::Channel> ch = protocol->channel();
    std::string frame;
    ReadFrameCommand cmd(marker, 1, 4, &frame);

    // Reads of 10 bytes split the markers; between the first two frames come garbage and a
    // broken partial match, reported as byte reads would: 12 34, then 55 aa of 55 55 aa.
    device->deliverHex("55 aa 55 aa 01 0a 0b 0c 0d  12 34  55 55 aa 55 aa 55 aa 01 1a 1b 1c 1d"
                       "  55 aa 55 aa 01 2a 2b 2c 2d");
    std::ostringstream log;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(cmd.execute(*ch, log)) << i;
    EXPECT_EQ("\x2a\x2b\x2c\x2d", frame);
    EXPECT_EQ((std::vector<std::string>{"RX:55:aa:55:aa:01:0a:0b:0c:0d [DATA_FRAME] id:1", "RX:12:34:55:aa (DISCARD)",
                                        "RX:55:aa:55:aa:01:1a:1b:1c:1d [DATA_FRAME] id:1",
                                        "RX:55:aa:55:aa:01:2a:2b:2c:2d [DATA_FRAME] id:1"}),
              lines(log.str()));

    // A reply cut short times out where it stops; the bytes that come later are the next read's.
    device->deliverHex("55 aa 55 aa 04 02").timeout().deliverHex("0f 05");
    std::ostringstream log2;
    WriteRegisterCommand write(marker, Opcode::WRITE_FPGA_REG, 2, 0x0F05, true);
    EXPECT_FALSE(write.execute(*ch, log2));
    EXPECT_EQ("RX:55:aa:55:aa:04:02:... (COM_TIMEOUT)", lines(log2.str()).back());
    std::string raw;
    ReadRawDataCommand drain(1000, &raw);
    EXPECT_TRUE(drain.execute(*ch));
    EXPECT_EQ("\x0f\x05", raw);

    // Garbage and half a marker before a time-out.
    device->deliverHex("12 34 55 aa").timeout();
    std::ostringstream log3;
    ReadRegisterCommand read(marker, Opcode::READ_SLAVE_REG, 0x8A, nullptr);
    EXPECT_FALSE(read.execute(*ch, log3));
    EXPECT_EQ((std::vector<std::string>{"TX:55:aa:55:aa:03:8a:00:00 [READ_SLAVE_REG] VTEMP", "RX:12:34 (GARBAGE)",
                                        "RX:55:aa:... (COM_TIMEOUT)"}),
              lines(log3.str()));
    EXPECT_EQ(0u, device->unread());
}

TEST_F(ProtocolFixture, PurgeAndReopenDropWhatWasReadAhead)
{
    Poco::AutoPtr<AheadChannel> device(new AheadChannel(64));
    Protocol::Ptr protocol(new Protocol(device.get()));
    auto* ahead = dynamic_cast<Poco::DeviceIO::BufferedChannel*>(protocol->channel().get());
    ASSERT_NE(nullptr, ahead);
    std::string frame;
    ReadFrameCommand cmd(marker, 1, 4, &frame);
    const std::string two = "55 aa 55 aa 01 0a 0b 0c 0d  55 aa 55 aa 01 1a 1b 1c 1d";

    for (int reopen = 0; reopen < 2; ++reopen)
    {
        device->deliverHex(two);
        ASSERT_TRUE(protocol->execute(cmd));
        EXPECT_EQ(0u, device->unread());
        EXPECT_EQ(9u, ahead->heldCount()) << "the second frame came with the first";
        if (reopen)
        {
            ahead->close();
            EXPECT_FALSE(device->isOpen());
            ahead->open();
        }
        else
        {
            protocol->channel()->configure();
        }
        EXPECT_FALSE(protocol->execute(cmd)) << reopen;
    }
    // The same channel again keeps what was read ahead; another one starts afresh.
    device->deliverHex(two);
    ASSERT_TRUE(protocol->execute(cmd));
    protocol->setChannel(device.get());
    EXPECT_EQ(9u, ahead->heldCount());
    Poco::AutoPtr<ScriptedChannel> other(new ScriptedChannel);
    protocol->setChannel(other.get());
    EXPECT_FALSE(protocol->execute(cmd));
    EXPECT_EQ(1, other->readCalls());
}

TEST_F(ProtocolFixture, HardwareRegisterAccess)
{
    Protocol::Ptr protocol(new Protocol(channel.get()));
    TestDevice dev(protocol);

    Register& tdma = dev.getMemory().getRegister(CtrlReg::TDMA_PERIOD);
    tdma.setValue(0x0D05, false);
    channel->deliverHex("55 aa 55 aa 04 01 0d 05");
    dev.writeRegister(tdma, 10, true);
    EXPECT_TRUE(tdma.isSynced());

    // Zero attempts: nothing sent, and the message names the address in upper-case hex.
    channel->clearWritten();
    Register& addr = dev.getMemory().addRegister(0x8E);
    addr.addField(0, 0, 15);
    addr.field(0).set(7, false);
    try
    {
        dev.writeRegister(addr, 0, true);
        FAIL();
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_EQ("Could not write register: 8E", e.message());
    }
    EXPECT_TRUE(channel->written().empty());
    EXPECT_FALSE(addr.isSynced());

    // Reads fill both sides; a failed read leaves the register as it was.
    Register& ver = dev.getMemory().getRegister(CtrlReg::VERSION);
    channel->deliverHex("55 aa 55 aa 05 00 05 06");
    dev.readRegister(ver, 10);
    EXPECT_EQ(0x0506u, ver.value(true));
    EXPECT_EQ(5u, ver.field(2).get(false));
    channel->timeout().timeout();
    try
    {
        dev.readRegister(ver, 2);
        FAIL();
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_EQ("Could not read register: 0", e.message());
    }
    EXPECT_EQ(0x0506u, ver.value(true));
    EXPECT_EQ(2u, channel->writes().size() - 1);

    Protocol::Ptr none(new Protocol);
    WriteRegisterCommand cmd(Command::frameMarker(), 4, 0, 0, false);
    EXPECT_FALSE(none->execute(cmd));
}

TEST_F(ProtocolFixture, TrafficLinesReachTheLogFile)
{
    Poco::TemporaryFile file;
    Protocol::Ptr protocol(new Protocol(channel.get()));
    Poco::Logger& logger = createLogger(file.path());
    protocol->setLogger(&logger);
    protocol->setLogger(&logger); // the same logger again changes nothing

    channel->deliverHex("55 aa 55 aa 04 02 0f 05");
    WriteRegisterCommand cmd(Command::frameMarker(), Opcode::WRITE_FPGA_REG, 2, 0x0F05, true);
    EXPECT_TRUE(protocol->execute(cmd));
    WriteRegisterCommand probe(Command::frameMarker(), Opcode::PROBE, 0, 0, false);
    EXPECT_TRUE(protocol->execute(probe));

    destroyLogger();
    protocol->setLogger(nullptr); // our reference kept the logger usable until here

    std::ifstream in(file.path());
    std::stringstream content;
    content << in.rdbuf();
    auto l = lines(content.str());
    ASSERT_EQ(3u, l.size());
    const std::regex stamp(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] )");
    for (const auto& line : l) EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    EXPECT_EQ("TX:55:aa:55:aa:04:02:0f:05 [WRITE_FPGA_REG] RF_CHANNEL", l[0].substr(15));
    EXPECT_EQ("RX:55:aa:55:aa:04:02:0f:05", l[1].substr(15));
    EXPECT_EQ("TX:55:aa:55:aa:ff:00:00:00 [ff] 00", l[2].substr(15));
}

void unsetVariable(const char* name)
{
#if defined(_WIN32)
    SetEnvironmentVariableA(name, nullptr);
#else
    unsetenv(name);
#endif
}

TEST(Log, EnvironmentSwitch)
{
    const char* name = LOG_ENVIRONMENT_VARIABLE;
    unsetVariable(name);
    EXPECT_EQ("", defaultLogFileFromEnvironment());
    for (const char* value : {"", "0", "true", "1 ", "01"})
    {
        Poco::Environment::set(name, value);
        EXPECT_EQ("", defaultLogFileFromEnvironment()) << "'" << value << "'";
    }
    Poco::Environment::set(name, "1");
    EXPECT_EQ("tarnlink.log", defaultLogFileFromEnvironment());
    unsetVariable(name);
}

// Windows takes local time from its own time zone setting, not from TZ.
#if !defined(_WIN32)
TEST(Log, TimeOfDayIsTheLocalClock)
{
    // Five and a half hours east of UTC without daylight saving: no stamp agrees with UTC's.
    const char* previous = std::getenv("TZ");
    const std::string saved = previous ? previous : "";
    setenv("TZ", "TLT-05:30", 1);
    tzset();
    const auto hoursMinutes = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char text[8];
        std::strftime(text, sizeof(text), "%H:%M", &local);
        return std::string(text);
    };

    Poco::TemporaryFile file;
    const std::string before = hoursMinutes();
    createLogger(file.path()).information("TX:55:aa:55:aa:ff:00:00:00 [ff] 00");
    const std::string after = hoursMinutes();
    destroyLogger();
    if (previous)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    std::ifstream in(file.path());
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    ASSERT_GE(line.size(), 6u);
    const std::string logged = line.substr(1, 5);
    EXPECT_TRUE(logged == before || logged == after) << line << " (local " << before << ")";
}
#endif
