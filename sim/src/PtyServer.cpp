#include <Tarnlink/Sim/PtyServer.h>
#include <Poco/Exception.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace Tarnlink {
namespace Sim {

namespace {

// A device FIFO does not grow without bound when nobody reads.
const std::size_t kMaxPending = 1 << 20;

void closeFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

[[noreturn]] void fail(const char* what)
{
    throw Poco::IOException(what, std::strerror(errno));
}

} // namespace

PtyServer::PtyServer(Simulator& simulator) : _simulator(simulator) {}

PtyServer::~PtyServer() { stop(); }

void PtyServer::start()
{
    if (_running) return;
    // A server that hung up by itself still holds its finished thread.
    stop();
    _master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (_master < 0) fail("Cannot open a pseudo-terminal");
    char name[128];
    if (::grantpt(_master) != 0 || ::unlockpt(_master) != 0 || ::ptsname_r(_master, name, sizeof name) != 0) {
        closeFd(_master);
        fail("Cannot prepare the pseudo-terminal");
    }
    _slavePath = name;
    // Holding the slave open keeps the master usable while no client is connected.
    _slave = ::open(name, O_RDWR | O_NOCTTY);
    if (_slave < 0) {
        closeFd(_master);
        fail("Cannot open the pseudo-terminal slave");
    }
    termios raw;
    if (::tcgetattr(_slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(_slave, TCSANOW, &raw);
    }
    ::fcntl(_master, F_SETFL, ::fcntl(_master, F_GETFL) | O_NONBLOCK);
    if (::pipe(_wake) != 0) {
        closeFd(_slave);
        closeFd(_master);
        fail("Cannot create a pipe");
    }
    _running = true;
    _thread = std::thread([this] { serve(); });
}

void PtyServer::stop()
{
    if (_thread.joinable()) {
        _running = false;
        char c = 0;
        if (::write(_wake[1], &c, 1) < 0) {
        }
        _thread.join();
    }
    _running = false;
    closeFd(_wake[0]);
    closeFd(_wake[1]);
    closeFd(_slave);
    closeFd(_master);
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
    char buffer[4096];
    while (_running) {
        Micros now = virtualNow();
        Micros next;
        Micros gone;
        {
            auto guard = _simulator.lock();
            _simulator.advanceTo(now);
            if (_simulator.gone()) {
                // Hang up: the client's reads and writes start failing.
                closeFd(_slave);
                closeFd(_master);
                _running = false;
                return;
            }
            pending += _simulator.take();
            next = _simulator.nextEventTime();
            gone = _simulator.faults().disappearAt;
        }
        if (pending.size() > kMaxPending) pending.erase(0, pending.size() - kMaxPending);
        while (!pending.empty()) {
            ssize_t n = ::write(_master, pending.data(), pending.size());
            if (n <= 0) break;
            pending.erase(0, static_cast<std::size_t>(n));
        }

        Micros wait = next == kNever ? 100000 : next - now;
        if (gone != kNever) wait = std::min(wait, gone - now);
        wait = std::max<Micros>(0, std::min<Micros>(wait, 100000));
        timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>((wait % 1000000) * 1000)};
        pollfd fds[2] = {{_master, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0}, {_wake[0], POLLIN, 0}};
        int ready = ::ppoll(fds, 2, &ts, nullptr);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            ssize_t n = ::read(_master, buffer, sizeof buffer);
            if (n > 0) {
                auto guard = _simulator.lock();
                _simulator.advanceTo(virtualNow());
                _simulator.feed(buffer, static_cast<std::size_t>(n));
            }
        }
    }
}

} // namespace Sim
} // namespace Tarnlink
