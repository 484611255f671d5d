#include <Poco/DeviceIO/BufferedChannel.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/Exception.h>
#include <gtest/gtest.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/time.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <vector>
#include <unistd.h>

using namespace Poco::DeviceIO::Serial;
using Poco::DeviceIO::Channel;

namespace {

/// The master side of a pseudo-terminal; the slave path is the port under test.
struct Pty
{
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        path = ptsname(master);
    }
    ~Pty() { ::close(master); }
    void send(const std::string& bytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(master, bytes.data(), bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the line discipline take them
    }
    std::string receive()
    {
        std::string got;
        pollfd p{master, POLLIN, 0};
        char buf[256];
        while (::poll(&p, 1, 200) > 0)
        {
            ssize_t n = ::read(master, buf, sizeof(buf));
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
            if (got.size() >= 3) break;
        }
        return got;
    }
    int master;
    std::string path;
};

Poco::AutoPtr<SerialConfig> config(const std::string& port, int timeout, bool useEOF = false,
                                   unsigned bufferSize = 4096)
{
    return new SerialConfig(port, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, useEOF, 4, bufferSize, timeout);
}

/// The port behind the read-ahead every channel gets from the protocol.
Poco::AutoPtr<Poco::DeviceIO::Channel> buffered(SerialConfig* cfg)
{
    Poco::AutoPtr<SerialChannel> port(new SerialChannel(cfg));
    return new Poco::DeviceIO::BufferedChannel(port.get());
}

long long millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

volatile std::sig_atomic_t alarms = 0;
const int ALARM_LIMIT = 150;

void stopAlarms()
{
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
}

void onAlarm(int)
{
    // A read that never ends would hang the test: the signals stop after three seconds.
    if (++alarms >= ALARM_LIMIT) stopAlarms();
}

/// SIGALRM every 20 ms to a handler that does nothing, as a profiler's or a runtime's timer would.
struct PeriodicSignal
{
    PeriodicSignal()
    {
        struct sigaction action
        {};
        action.sa_handler = onAlarm;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGALRM, &action, &previous);
        alarms = 0;
        itimerval every{{0, 20000}, {0, 20000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~PeriodicSignal()
    {
        stopAlarms();
        ::sigaction(SIGALRM, &previous, nullptr);
    }
    struct sigaction previous
    {};
};

} // namespace

TEST(SerialPty, ReadsWhatIsWaitingTimesOutAndWrites)
{
    Pty pty;
    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 50);
    Poco::AutoPtr<SerialChannel> ch(new SerialChannel(cfg.get()));

    pty.send("\x01\x02\x03\x04");
    char buf[10];
    std::memset(buf, 0xEE, sizeof(buf));
    ASSERT_EQ(4, ch->read(buf, 10));
    EXPECT_EQ(std::string("\x01\x02\x03\x04", 4), std::string(buf, 4));
    for (int i = 4; i < 10; ++i) EXPECT_EQ(0, buf[i]) << i;

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ch->read(buf, 10));
    EXPECT_GE(millisecondsSince(start), 40);
    EXPECT_LT(millisecondsSince(start), 1000);

    // A new time-out reaches the port at the next configure(), as on Windows.
    ch->setTimeout(400);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ch->read(buf, 10));
    EXPECT_LT(millisecondsSince(start), 300);
    ch->configure();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ch->read(buf, 10));
    EXPECT_GE(millisecondsSince(start), 350);

    EXPECT_EQ(3, ch->write("abc", 3));
    EXPECT_EQ("abc", pty.receive());
    try
    {
        ch->write("", 0);
        FAIL() << "empty write accepted";
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_EQ("Error writing to " + pty.path, e.message());
    }
}

TEST(SerialPty, OpensExclusivelyAndClosesOnce)
{
    Pty pty;
    // Opened before the channel, so it can watch the tty's exclusive mode.
    int watcher = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    auto exclusive = [watcher] {
        int on = -1;
        ::ioctl(watcher, TIOCGEXCL, &on);
        return on;
    };
    // The path may be another program's terminal: what it was set to comes back at close.
    auto settings = [watcher] {
        termios tio{};
        EXPECT_EQ(0, ::tcgetattr(watcher, &tio));
        return std::vector<unsigned long>{tio.c_iflag,    tio.c_oflag,     tio.c_cflag,      tio.c_lflag,
                                          tio.c_cc[VMIN], tio.c_cc[VTIME], tio.c_cc[VSTART], tio.c_cc[VSTOP]};
    };
    const std::vector<unsigned long> own = settings();
    ASSERT_NE(0u, own[3] & ICANON) << "a new terminal starts in canonical mode";
    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 20);
    EXPECT_FALSE(SerialChannel::isPortInUse(pty.path));
    EXPECT_EQ(0, exclusive());
    Poco::AutoPtr<SerialChannel> ch(new SerialChannel(cfg.get()));
    EXPECT_EQ(1, exclusive());
    EXPECT_EQ(0u, settings()[3] & ICANON) << "open makes it raw";
    EXPECT_TRUE(SerialChannel::isPortInUse(pty.path));
    EXPECT_THROW(Poco::AutoPtr<SerialChannel>(new SerialChannel(cfg.get())), Poco::IOException);
    EXPECT_EQ(1, exclusive()) << "a refused opener cleared the owner's exclusive mode";

    ch->close();
    ch->close(); // the handle was forgotten: nothing left to close twice
    EXPECT_FALSE(ch->isOpen());
    EXPECT_EQ(0, exclusive());
    EXPECT_EQ(own, settings());
    EXPECT_FALSE(SerialChannel::isPortInUse(pty.path));
    EXPECT_THROW(ch->read(nullptr, 4), Poco::IOException);

    ch->open();
    EXPECT_TRUE(SerialChannel::isPortInUse(pty.path));
    EXPECT_NE(own, settings());
    ch = nullptr; // the destructor releases the port
    EXPECT_FALSE(SerialChannel::isPortInUse(pty.path));
    EXPECT_EQ(0, exclusive());
    EXPECT_EQ(own, settings());

    Poco::AutoPtr<SerialConfig> missing = config("/nonexistent/ttyACM9", 20);
    EXPECT_THROW(Poco::AutoPtr<SerialChannel>(new SerialChannel(missing.get())), Poco::FileNotFoundException);
    EXPECT_TRUE(SerialChannel::isPortInUse("/nonexistent/ttyACM9"));
    ::close(watcher);
}

TEST(SerialPty, PendingReadStopsAtEndOfFileAndKeepsTheRest)
{
    Pty pty;
    Poco::AutoPtr<SerialConfig> plain = config(pty.path, 20);
    {
        Poco::AutoPtr<SerialChannel> ch(new SerialChannel(plain.get()));
        char* buffer = nullptr;
        EXPECT_THROW(ch->read(buffer), Poco::InvalidAccessException);
    }

    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 20, true, 4);
    Poco::AutoPtr<SerialChannel> ch(new SerialChannel(cfg.get()));
    std::string out;

    pty.send("0123456789"); // more than the buffer: it grows
    EXPECT_EQ("0123456789", ch->readString(out, 0));

    pty.send("xy\x04zw");
    char* buffer = nullptr;
    ASSERT_EQ(2, ch->read(buffer));
    EXPECT_EQ(std::string("xy\0\0", 4), std::string(buffer, 4));
    std::free(buffer);
    // The chunk's bytes after the end-of-file character are kept; what was still queued is purged.
    EXPECT_EQ("z", ch->readString(out, 0));

    char notNull = 0;
    char* given = &notNull;
    EXPECT_THROW(ch->read(given), Poco::InvalidArgumentException);
}

TEST(SerialPty, TimeOutHoldsWhileSignalsArrive)
{
    Pty pty;
    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 250, true);
    Poco::AutoPtr<SerialChannel> ch(new SerialChannel(cfg.get()));
    {
        PeriodicSignal signals;
        char buf[8];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, ch->read(buf, sizeof(buf)));
        const long long waited = millisecondsSince(start);
        EXPECT_GE(waited, 240);
        EXPECT_LT(waited, 1000);
        EXPECT_GE(alarms, 5) << "the wait was hardly interrupted";
    }
    {
        PeriodicSignal signals;
        char* buffer = nullptr;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, ch->read(buffer));
        std::free(buffer);
        const long long waited = millisecondsSince(start);
        EXPECT_GE(waited, 240);
        EXPECT_LT(waited, 1000);
    }
}

TEST(SerialPtyReadAhead, SmallReadsComeInOrderThenTheTimeOutHolds)
{
    Pty pty;
    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 60);
    Poco::AutoPtr<Channel> ch = buffered(cfg);
    pty.send("0123456789");
    std::string got;
    char byte = 0;
    for (int i = 0; i < 6; ++i)
    {
        ASSERT_EQ(1, ch->read(&byte, 1)) << i;
        got += byte;
    }
    char rest[8];
    std::memset(rest, 0x7F, sizeof(rest));
    // Four are still held, and the read waits for more before it gives them.
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(4, ch->read(rest, 8));
    EXPECT_GE(millisecondsSince(start), 50);
    got.append(rest, 4);
    EXPECT_EQ("0123456789", got);
    EXPECT_EQ(0, rest[4]) << "the unfilled part is cleared";

    // Empty: a byte that comes during the wait still ends it early.
    std::thread late([&pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(1, ::write(pty.master, "z", 1));
    });
    EXPECT_EQ(1, ch->read(&byte, 1));
    late.join();
    EXPECT_EQ('z', byte);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ch->read(&byte, 1));
    EXPECT_GE(millisecondsSince(start), 50);
}

TEST(SerialPtyReadAhead, FlushAndReopenDiscardHeldBytes)
{
    Pty pty;
    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 30);
    Poco::AutoPtr<Channel> ch = buffered(cfg);
    char byte = 0;

    pty.send("abcdef");
    ASSERT_EQ(1, ch->read(&byte, 1));
    EXPECT_EQ('a', byte);
    ch->configure(); // flushes the port: what was read ahead goes too
    EXPECT_EQ(0, ch->read(&byte, 1));

    pty.send("ghij");
    ASSERT_EQ(1, ch->read(&byte, 1));
    ch->close();
    ch->open();
    EXPECT_EQ(0, ch->read(&byte, 1)) << "bytes of the previous opening came back";
    pty.send("k");
    ASSERT_EQ(1, ch->read(&byte, 1));
    EXPECT_EQ('k', byte);
}

TEST(SerialPtyReadAhead, PendingReadStartsWithHeldBytesAndItsPurgeDropsTheRest)
{
    Pty pty;
    Poco::AutoPtr<SerialConfig> cfg = config(pty.path, 30, true, 4);
    Poco::AutoPtr<Channel> ch = buffered(cfg);
    std::string out;
    char byte = 0;

    pty.send("ab\x04"
             "cdefgh");
    ASSERT_EQ(1, ch->read(&byte, 1));
    EXPECT_EQ('a', byte);
    // The chunk is one buffer step of the held bytes, "b\x04cd": its tail survives, the rest is purged.
    EXPECT_EQ("b", ch->readString(out, 0));
    EXPECT_EQ("cd", ch->readString(out, 0));
    EXPECT_EQ(0, ch->read(&byte, 1));

    pty.send("12345");
    ASSERT_EQ(1, ch->read(&byte, 1));
    EXPECT_EQ("2345", ch->readString(out, 0)) << "held bytes then the time-out, without an end-of-file character";
}

TEST(SerialPtyReadAhead, HeldBytesOutliveAHangUpThenItIsReported)
{
    auto pty = std::make_unique<Pty>();
    Poco::AutoPtr<SerialConfig> cfg = config(pty->path, 500);
    Poco::AutoPtr<Channel> ch = buffered(cfg);
    pty->send("xyz");
    char byte = 0;
    ASSERT_EQ(1, ch->read(&byte, 1));
    pty.reset(); // the master closes: the device is gone
    char two[2];
    ASSERT_EQ(2, ch->read(two, 2));
    EXPECT_EQ("yz", std::string(two, 2));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(ch->read(&byte, 1), Poco::IOException);
    EXPECT_LT(millisecondsSince(start), 400) << "a hang-up is no time-out";
}
