#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Wire.h>
#include <gtest/gtest.h>
#include <chrono>
#include <thread>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Tarnlink::Sim;

TEST(SimPtyRealtime, StreamsFramesAtTheConfiguredRate)
{
    Simulator sim;
    Pod& pod = sim.addPod(0x100001);
    PtyServer server(sim);
    server.start();
    ASSERT_FALSE(server.slavePath().empty());
    int fd = ::open(server.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);

    std::string setup = Wire::request(Wire::WriteController, Wire::SLAVE_ADDR_LSB, 0x0001) +
                        Wire::request(Wire::WriteController, Wire::SLAVE_ADDR_MSB, 0x1210) +
                        Wire::request(Wire::WriteSlave, Wire::ID, 0x0300) +
                        Wire::request(Wire::WriteController, Wire::FRAME_MODE, 1) +
                        // 200 Hz: 2500 ticks of 2000 ns
                        Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500);
    ASSERT_EQ(static_cast<ssize_t>(setup.size()), ::write(fd, setup.data(), setup.size()));

    // Count frames that arrive during 500 ms after the first one.
    const std::string frameStart = Wire::marker() + '\x01';
    std::string received;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::chrono::steady_clock::time_point first{};
    std::size_t frames = 0, scanned = 0;
    while (std::chrono::steady_clock::now() < deadline)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[1024];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        received.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t at; (at = received.find(frameStart, scanned)) != std::string::npos;)
        {
            scanned = at + 1;
            if (frames++ == 0)
            {
                first = std::chrono::steady_clock::now();
                deadline = first + std::chrono::milliseconds(500);
            }
        }
    }
    ::close(fd);
    server.stop();
    // 200 Hz for 0.5 s, with slack for a loaded machine.
    EXPECT_GE(frames, 80u);
    EXPECT_LE(frames, 110u);
    EXPECT_EQ(0x100001u, sim.recorder().requests(Wire::WriteSlave).at(0).serial);
    EXPECT_GT(pod.framesSent(), 0u);
}

namespace {

long millisecondsSince(const timespec& start)
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

} // namespace

TEST(SimPtyRealtime, KilledClientDoesNotLockThePort)
{
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (uid == 0)
    {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) GTEST_SKIP() << "running as root without a user 'nobody' to open the port as";
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    Simulator sim;
    PtyServerOptions options;
    options.linkPath = "/tmp/tarnlink-sim-test-" + std::to_string(::getpid());
    options.slaveMode = 0666;
    PtyServer server(sim, options);
    server.start();
    const std::string link = server.stablePath();
    ASSERT_EQ(options.linkPath, link);
    char target[256];
    ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    ASSERT_GT(length, 0);
    const std::string first = server.slavePath();
    EXPECT_EQ(first, std::string(target, static_cast<std::size_t>(length)));
    const std::string request = Wire::request(Wire::ReadController, Wire::VERSION);
    const std::string expected = Wire::fromHex("55 aa 55 aa 05 00 05 13");

    // A client takes the port exclusively, as the serial channel does, and is killed.
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0)
    {
        int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        char ok = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 1 : 0;
        if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    EXPECT_EQ(1, ::read(ready[0], &held, 1));
    ::close(ready[0]);
    ::kill(holder, SIGKILL);
    int status = 0;
    ::waitpid(holder, &status, 0);
    ASSERT_EQ(1, held);

    // A non-root client opens the link within a second and gets answers.
    pid_t client = ::fork();
    ASSERT_GE(client, 0);
    if (client == 0)
    {
        if (::getuid() == 0 && (::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(3);
        timespec start;
        ::clock_gettime(CLOCK_MONOTONIC, &start);
        int fd = -1, error = 0;
        while (fd < 0 && millisecondsSince(start) < 1000)
        {
            fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0)
            {
                error = errno;
                ::poll(nullptr, 0, 5);
            }
        }
        if (fd < 0) ::_exit(error == EBUSY ? 4 : 5);
        if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) ::_exit(6);
        char reply[16];
        std::size_t got = 0;
        while (got < expected.size() && millisecondsSince(start) < 1000)
        {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            ssize_t n = ::read(fd, reply + got, sizeof reply - got);
            if (n <= 0) ::_exit(6);
            got += static_cast<std::size_t>(n);
        }
        ::_exit(got == expected.size() && expected.compare(0, got, reply, got) == 0 ? 0 : 6);
    }
    ::waitpid(client, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "3: cannot leave root, 4: port busy, 5: cannot open, 6: no or wrong reply";
    // The server moved to a fresh pseudo-terminal behind the same link.
    EXPECT_NE(first, server.slavePath());
    server.stop();
    EXPECT_NE(0, ::access(link.c_str(), F_OK));
}
