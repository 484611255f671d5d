#include "FakeWin32Serial.h"
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <gtest/gtest.h>

#ifndef DEVICEIO_WIN32_SEAM
#error "The seam's include folder must come before DeviceIO's: link DeviceIOWin32Seam first"
#endif

using Poco::DeviceIO::Serial::SerialChannel;
using Poco::DeviceIO::Serial::SerialConfig;

namespace {

std::string frame(unsigned i)
{
    std::string body(22, static_cast<char>(i));
    body[0] = static_cast<char>(i >> 8);
    return std::string("\x55\xAA\x55\xAA\x01", 5) + body;
}

} // namespace

TEST(Win32SerialSeam, ReadFileTakesQueuedFramesTogetherAndLoneFramesInOneCallEach)
{
    FakeWin32::reset();
    // The second-generation controller's settings.
    Poco::AutoPtr<SerialConfig> cfg(new SerialConfig("COM7", 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, 200));
    Poco::AutoPtr<SerialChannel> port(new SerialChannel(cfg.get()));
    Tarnlink::Protocol::Ptr protocol(new Tarnlink::Protocol(port.get()));
    std::string body;
    Tarnlink::ReadFrameCommand read(Tarnlink::Command::frameMarker(), 1, 22, &body);
    auto readFrames = [&](unsigned from, unsigned count) {
        for (unsigned i = from; i < from + count; ++i)
        {
            ASSERT_TRUE(protocol->execute(read)) << i;
            ASSERT_EQ(frame(i).substr(5), body) << i;
        }
    };

    // 200 frames waiting: 5400 bytes, two buffers' worth.
    std::string queued;
    for (unsigned i = 0; i < 200; ++i) queued += frame(i);
    FakeWin32::arrive(queued);
    readFrames(0, 200);
    EXPECT_LE(FakeWin32::readFileCalls() * 4, 200u);

    // Nothing waiting when the protocol asks: each frame arrives during its read.
    unsigned before = FakeWin32::readFileCalls();
    for (unsigned i = 0; i < 50; ++i)
    {
        FakeWin32::arriveLater(frame(i));
        readFrames(i, 1);
    }
    EXPECT_LE(FakeWin32::readFileCalls() - before, 50u);

    // Time-outs that wait for the full count: never asked for more than is wanted.
    cfg->setTimeout(0);
    port->configure();
    before = FakeWin32::readFileCalls();
    for (unsigned i = 0; i < 20; ++i) FakeWin32::arriveLater(frame(i));
    readFrames(0, 20);
    EXPECT_LE(FakeWin32::readFileCalls() - before, 20u);
    EXPECT_EQ(0u, FakeWin32::waitedOut());
    EXPECT_EQ(0u, FakeWin32::unread());
}
