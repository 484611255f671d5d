#ifndef Tarnlink_Command_INCLUDED
#define Tarnlink_Command_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/DeviceIO/Channel.h>
#include <functional>
#include <ostream>
#include <string>

namespace Tarnlink {

/// One exchange with the controller. Commands live on the caller's stack for one execution,
/// except the frame read, which a controller keeps and retargets for every frame.
/// Not thread-safe: a command and its channel are used by one thread at a time.
class Tarnlink_API Command
{
public:
    virtual ~Command() = default;
    /// Performs the exchange without logging.
    virtual bool execute(Poco::DeviceIO::Channel& channel);
    /// Performs the exchange and writes the traffic lines to log.
    virtual bool execute(Poco::DeviceIO::Channel& channel, std::ostream& log) = 0;

    /// The frame marker 55 AA 55 AA in front of every request and reply.
    static const std::string& frameMarker();
    /// ":xx" per byte, lower-case hex, as the traffic log prints bytes.
    static std::string dump(const std::string& bytes);
    /// Bytes a marker search skips before it gives up as on a time-out.
    static constexpr std::size_t MAX_SKIPPED_BYTES = 4096;

protected:
    /// Finds the marker one byte at a time, then reads a body of length bytes with one read;
    /// over a BufferedChannel a reply that starts with the marker is taken whole from its buffer.
    static bool readMarkedBody(Poco::DeviceIO::Channel& channel, std::ostream& log, const std::string& marker,
                               std::size_t length, std::string& body);
    /// Up to 3 four-byte replies until accept() takes one; FF FF FF FF or a time-out ends it at once.
    static bool awaitRegisterReply(Poco::DeviceIO::Channel& channel, std::ostream& log, const std::string& marker,
                                   std::string& body, const std::function<bool(const std::string&)>& accept);
    /// Sends marker + request in one write and logs the TX line; false on a short write.
    static bool sendRequest(Poco::DeviceIO::Channel& channel, std::ostream& log, const std::string& marker,
                            const std::string& request);
};

} // namespace Tarnlink

#endif
