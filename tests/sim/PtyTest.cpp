#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Wire.h>
#include <gtest/gtest.h>
#include <chrono>
#include <thread>
#include <fcntl.h>
#include <poll.h>
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
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[1024];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        received.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t at; (at = received.find(frameStart, scanned)) != std::string::npos;) {
            scanned = at + 1;
            if (frames++ == 0) {
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

TEST(SimPtyRealtime, ServesAgainAfterTheControllerCameBack)
{
    Simulator sim;
    PtyServer server(sim);
    sim.disappearAt(0);
    server.start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (server.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(server.running());

    sim.disappearAt(kNever);
    server.start();
    ASSERT_TRUE(server.running());
    int fd = ::open(server.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const std::string request = Wire::request(Wire::ReadController, Wire::VERSION);
    ASSERT_EQ(8, ::write(fd, request.data(), request.size()));
    std::string received;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (received.size() < 8 && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[64];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    server.stop();
    // Generation 2, firmware 1.3.
    EXPECT_EQ("55 aa 55 aa 05 00 05 13", Wire::toHex(received));
}
