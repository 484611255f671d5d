#include <Tarnlink/Sim/PtyServer.h>
#include <Poco/Exception.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace Tarnlink {
namespace Sim {

namespace {

// A device FIFO does not grow without bound when nobody reads.
const std::size_t kMaxPending = 1 << 20;
// How often a pseudo-terminal without client is checked for a lock left behind.
const auto kLockCheckInterval = std::chrono::milliseconds(50);
const Micros kIdleStep = 10000;

void closeFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

[[noreturn]] void fail(const char* what)
{
    throw Poco::IOException(what, std::strerror(errno));
}

std::string defaultLinkPath()
{
    static std::atomic<unsigned> counter{0};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st;
    std::string dir = runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) ? runtime : "/tmp";
    return dir + "/tarnlink-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

/// No client holds the slave: the master sees the other side closed.
bool hungUp(int master)
{
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

} // namespace

PtyServer::PtyServer(Simulator& simulator, const PtyServerOptions& options)
    : _simulator(simulator),
      _options(options),
      _linkPath(options.linkPath.empty() ? defaultLinkPath() : options.linkPath)
{
}

PtyServer::~PtyServer()
{
    stop();
}

std::string PtyServer::slavePath() const
{
    std::lock_guard<std::mutex> guard(_pathMutex);
    return _slavePath;
}

void PtyServer::openPair()
{
    // Close-on-exec: a child that inherited the master would keep the port alive after a hang-up.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) fail("Cannot open a pseudo-terminal");
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0)
    {
        closeFd(master);
        fail("Cannot prepare the pseudo-terminal");
    }
    // Raw mode outlives this descriptor: the terminal lives as long as the master.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
    {
        closeFd(master);
        fail("Cannot open the pseudo-terminal slave");
    }
    termios raw;
    if (::tcgetattr(slave, &raw) == 0)
    {
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
    }
    if (_options.slaveMode != 0) ::fchmod(slave, static_cast<mode_t>(_options.slaveMode));
    // Not kept open: the master must see a client's last close as a hang-up.
    closeFd(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    _master = master;
    std::lock_guard<std::mutex> guard(_pathMutex);
    _slavePath = name;
}

void PtyServer::closePair()
{
    closeFd(_master);
}

void PtyServer::publishLink()
{
    // Renaming over the old link switches clients atomically to the new slave.
    const std::string fresh = _linkPath + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(slavePath().c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), _linkPath.c_str()) != 0)
    {
        ::unlink(fresh.c_str());
        fail("Cannot make the link to the pseudo-terminal");
    }
}

bool PtyServer::lockedByLostClient() const
{
    if (!hungUp(_master)) return false;
    int fd = ::open(slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY; // exclusive, and nobody is there to clear it
    int exclusive = 0;
#ifdef TIOCGEXCL
    if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = 0;
#endif
    ::close(fd);
    // A client that came in meanwhile holds the flag rightfully.
    return exclusive != 0 && hungUp(_master);
}

void PtyServer::start()
{
    if (_running) return;
    // A server that hung up by itself still holds its finished thread.
    stop();
    openPair();
    try
    {
        publishLink();
    }
    catch (...)
    {
        closePair();
        throw;
    }
    if (::pipe(_wake) != 0)
    {
        closePair();
        ::unlink(_linkPath.c_str());
        fail("Cannot create a pipe");
    }
    _running = true;
    _thread = std::thread([this] { serve(); });
}

void PtyServer::stop()
{
    if (_thread.joinable())
    {
        _running = false;
        char c = 0;
        if (::write(_wake[1], &c, 1) < 0)
        {
        }
        _thread.join();
    }
    _running = false;
    closeFd(_wake[0]);
    closeFd(_wake[1]);
    closePair();
    struct stat st;
    if (::lstat(_linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(_linkPath.c_str());
}

void PtyServer::serve()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point realStart = Clock::now();
    const Micros virtualStart = _simulator.clock().now();
    auto virtualNow = [&] {
        return virtualStart + std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - realStart).count();
    };
    std::string pending;
    Clock::time_point lastCheck = realStart;
    char buffer[4096];
    while (_running)
    {
        const bool client = !hungUp(_master);
        Micros now = virtualNow();
        Micros next;
        Micros gone;
        {
            auto guard = _simulator.lock();
            _simulator.advanceTo(now);
            if (_simulator.gone())
            {
                // Hang up: the client's reads and writes start failing, the port vanishes.
                closePair();
                ::unlink(_linkPath.c_str());
                _running = false;
                return;
            }
            std::string out = _simulator.take();
            if (client)
                pending += out;
            else
                pending.clear();
            next = _simulator.nextEventTime();
            gone = _simulator.faults().disappearAt;
        }
        if (!client && Clock::now() - lastCheck >= kLockCheckInterval)
        {
            lastCheck = Clock::now();
            if (lockedByLostClient())
            {
                const int old = _master;
                _master = -1;
                try
                {
                    openPair();
                    publishLink();
                }
                catch (const Poco::Exception&)
                {
                    // Keep the old one; the next check tries again.
                    if (_master >= 0) ::close(_master);
                    _master = old;
                    continue;
                }
                ::close(old);
            }
        }
        if (pending.size() > kMaxPending) pending.erase(0, pending.size() - kMaxPending);
        while (client && !pending.empty())
        {
            ssize_t n = ::write(_master, pending.data(), pending.size());
            if (n <= 0) break;
            pending.erase(0, static_cast<std::size_t>(n));
        }

        Micros wait = next == kNever ? 100000 : next - now;
        if (gone != kNever) wait = std::min(wait, gone - now);
        // Without a client the hang-up shows at once in poll, so the master is not watched.
        if (!client) wait = std::min(wait, kIdleStep);
        wait = std::max<Micros>(0, std::min<Micros>(wait, 100000));
        timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>((wait % 1000000) * 1000)};
        pollfd fds[2] = {{client ? _master : -1, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
                         {_wake[0], POLLIN, 0}};
        int ready = ::ppoll(fds, 2, &ts, nullptr);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[0].revents & POLLIN))
        {
            ssize_t n = ::read(_master, buffer, sizeof buffer);
            if (n > 0)
            {
                auto guard = _simulator.lock();
                _simulator.advanceTo(virtualNow());
                // Gone meanwhile: the bytes are lost and the next round hangs up.
                if (!_simulator.gone()) _simulator.feed(buffer, static_cast<std::size_t>(n));
            }
        }
    }
}

} // namespace Sim
} // namespace Tarnlink
