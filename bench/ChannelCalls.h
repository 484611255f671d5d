#ifndef TarnlinkBench_ChannelCalls_INCLUDED
#define TarnlinkBench_ChannelCalls_INCLUDED

#include <Poco/DeviceIO/Channel.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <string>

namespace TarnlinkBench {

/// Device reads per frame read: all frames waiting at once, or each arriving while its read
/// waits; through the protocol (with its read-ahead) and, before it, with the byte reads of
/// the marker search straight on the channel.
struct CallsPerFrame
{
    double queued = -1;
    double oneByOne = -1;
    double queuedBefore = -1;
    double oneByOneBefore = -1;
};

/// A data frame of the second generation's 22-byte layout, numbered.
inline std::string numberedFrame(unsigned i)
{
    std::string body(22, static_cast<char>(i));
    body[0] = static_cast<char>(i >> 8);
    return std::string("\x55\xAA\x55\xAA\x01", 5) + body;
}

/// arrive(bytes) makes bytes wait on the device, later(bytes) has them arrive during the next
/// wait, calls() counts the device's reads so far.
template <typename Arrive, typename Later, typename Calls>
CallsPerFrame countCalls(Poco::DeviceIO::Channel& port, Arrive arrive, Later later, Calls calls, unsigned frames)
{
    CallsPerFrame out;
    std::string body;
    Tarnlink::ReadFrameCommand read(Tarnlink::Command::frameMarker(), 1, 22, &body);
    for (int buffered = 0; buffered < 2; ++buffered)
    {
        Tarnlink::Protocol::Ptr protocol(new Tarnlink::Protocol(&port));
        auto one = [&] { return buffered ? protocol->execute(read) : read.execute(port); };
        std::string all;
        for (unsigned i = 0; i < frames; ++i) all += numberedFrame(i);
        arrive(all);
        unsigned before = calls();
        unsigned good = 0;
        for (unsigned i = 0; i < frames; ++i) good += one() && body == numberedFrame(i).substr(5);
        const double queued = good == frames ? double(calls() - before) / frames : -1;
        before = calls();
        good = 0;
        for (unsigned i = 0; i < frames; ++i)
        {
            later(numberedFrame(i));
            good += one() && body == numberedFrame(i).substr(5);
        }
        const double oneByOne = good == frames ? double(calls() - before) / frames : -1;
        (buffered ? out.queued : out.queuedBefore) = queued;
        (buffered ? out.oneByOne : out.oneByOneBefore) = oneByOne;
    }
    return out;
}

/// ReadFile calls of the Win32 serial channel, built here against fake communications functions.
CallsPerFrame win32ReadFileCalls(unsigned frames);

} // namespace TarnlinkBench

#endif
