#ifndef Tarnlink_Protocol_INCLUDED
#define Tarnlink_Protocol_INCLUDED

#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Channel.h>
#include <Poco/Logger.h>
#include <Poco/RefCountedObject.h>

namespace Tarnlink {

class Command;

/// Executes commands over the channel of one open controller; shared by the controller and its pods.
class Protocol : public Poco::RefCountedObject
{
public:
    typedef Poco::AutoPtr<Protocol> Ptr;

    Protocol() = default;
    explicit Protocol(Poco::DeviceIO::Channel* channel);

    /// False at once without a channel; channel exceptions pass through. An interrupt point
    /// (Interrupt.h) before the command runs: the retries of a register access are each one.
    bool execute(Command& command);

    void setChannel(Poco::DeviceIO::Channel* channel);
    /// A new reference to the channel (may be null).
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel() const { return _channel; }
    /// Logs every exchange to this logger from now on; null stops logging. The protocol keeps its own reference.
    void setLogger(Poco::Logger* logger);
    Poco::Logger* logger() const { return const_cast<Poco::Logger*>(_logger.get()); }

protected:
    ~Protocol() override;

private:
    Poco::AutoPtr<Poco::DeviceIO::Channel> _channel;
    Poco::AutoPtr<Poco::Logger> _logger;
};

} // namespace Tarnlink

#endif
