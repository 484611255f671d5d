#ifndef Tarnlink_ControllerFactory_INCLUDED
#define Tarnlink_ControllerFactory_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/Any.h>
#include <Poco/DeviceIO/Channel.h>
#include <Poco/RefCountedObject.h>
#include <string>

namespace Tarnlink {

class Controller;
class Protocol;

/// One controller found by ControllerEnum: knows its device and builds its channel and
/// controller object. Each call builds new ones; the factory keeps no reference to them.
/// Thread-safe: a factory does not change once built, so any thread may ask it for a channel or a controller.
class Tarnlink_API ControllerFactory : public Poco::RefCountedObject
{
public:
    /// Read time-out in ms the channel is configured with.
    virtual unsigned getTimeout() const = 0;
    virtual unsigned getGeneration() const = 0;
    virtual std::string getIdentifier() const = 0;
    /// An open channel to the device; the caller owns the reference.
    virtual Poco::DeviceIO::Channel* createChannel() const = 0;
    virtual Controller* createController(Protocol* protocol) const = 0;
    /// "VID", "PID", "Timeout" (int) and "PortName" (string); empty for other names.
    virtual Poco::Any getProperty(const std::string& name) const = 0;

protected:
    ~ControllerFactory() override;
};

} // namespace Tarnlink

#endif
