#ifndef Tarnlink_Protocol_INCLUDED
#define Tarnlink_Protocol_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Channel.h>
#include <Poco/Logger.h>
#include <Poco/RefCountedObject.h>

namespace Tarnlink {

class Command;

/// Executes commands over the channel of one open controller; shared by the controller and its pods.
/// The channel is read through a BufferedChannel, so replies and frames that arrive together
/// cost one read of the device.
/// Not thread-safe: used from the thread that drives the filter; only the reference count may
/// be touched from elsewhere.
class Tarnlink_API Protocol : public Poco::RefCountedObject
{
public:
    typedef Poco::AutoPtr<Protocol> Ptr;

    Protocol() = default;
    explicit Protocol(Poco::DeviceIO::Channel* channel);

    /// False at once without a channel; channel exceptions pass through. An interrupt point
    /// (Interrupt.h) before the command runs: the retries of a register access are each one.
    bool execute(Command& command);

    /// Wraps the channel in a BufferedChannel (unless it is one); setting the channel already
    /// set keeps what was read ahead of it.
    void setChannel(Poco::DeviceIO::Channel* channel);
    /// A new reference to the channel as the protocol reads it, behind its read-ahead (may be
    /// null); it shares the given channel's configuration.
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel() const { return _channel; }
    /// Logs every exchange to this logger from now on; null stops logging. The protocol keeps its own reference.
    void setLogger(Poco::Logger* logger);
    Poco::Logger* logger() const { return const_cast<Poco::Logger*>(_logger.get()); }

protected:
    ~Protocol() override;

private:
    /// The given channel, kept to recognise it in setChannel().
    Poco::AutoPtr<Poco::DeviceIO::Channel> _given;
    Poco::AutoPtr<Poco::DeviceIO::Channel> _channel;
    Poco::AutoPtr<Poco::Logger> _logger;
};

} // namespace Tarnlink

#endif
