#include <Poco/DeviceIO/BufferedChannel.h>
#include <Poco/LogStream.h>
#include <Tarnlink/Command.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/Protocol.h>

namespace Tarnlink {

Protocol::Protocol(Poco::DeviceIO::Channel* channel)
{
    setChannel(channel);
}

Protocol::~Protocol() = default;

bool Protocol::execute(Command& command)
{
    if (!_channel) return false;
    // Before anything is sent: an interrupt never leaves half an exchange on the wire.
    pollInterrupt();
    if (!_logger) return command.execute(*_channel);
    Poco::LogStream stream(*_logger, Poco::Message::PRIO_INFORMATION);
    return command.execute(*_channel, stream);
}

void Protocol::setChannel(Poco::DeviceIO::Channel* channel)
{
    if (channel && (channel == _given.get() || channel == _channel.get())) return;
    _given.assign(channel, true);
    if (!channel || dynamic_cast<Poco::DeviceIO::BufferedChannel*>(channel))
        _channel.assign(channel, true);
    else
        _channel = new Poco::DeviceIO::BufferedChannel(channel);
}

void Protocol::setLogger(Poco::Logger* logger)
{
    if (logger == _logger.get()) return;
    _logger.assign(logger, true);
}

} // namespace Tarnlink
