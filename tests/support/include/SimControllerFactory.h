#ifndef Tests_SimControllerFactory_INCLUDED
#define Tests_SimControllerFactory_INCLUDED

#include <Poco/Any.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>

#include <string>
#include <utility>

namespace Tests {

/// A controller that discovery lists when it is asked: the simulator behind an in-process channel.
class SimControllerFactory : public Tarnlink::ControllerFactory
{
public:
    explicit SimControllerFactory(Tarnlink::Sim::Simulator& simulator, std::string identifier = "simulator")
        : _simulator(simulator), _identifier(std::move(identifier))
    {
    }

    unsigned getTimeout() const override { return 150; }
    unsigned getGeneration() const override
    {
        return _simulator.controller().generation() == Tarnlink::Sim::Generation::First ? 1 : 2;
    }
    std::string getIdentifier() const override { return _identifier; }
    Poco::DeviceIO::Channel* createChannel() const override
    {
        return new Tarnlink::Sim::VirtualChannel(_simulator, static_cast<int>(getTimeout()));
    }
    Tarnlink::Controller* createController(Tarnlink::Protocol* protocol) const override
    {
        if (getGeneration() == 1) return new Tarnlink::ControllerV1(protocol);
        return new Tarnlink::ControllerV2(protocol);
    }
    Poco::Any getProperty(const std::string&) const override { return Poco::Any(); }
    Tarnlink::Sim::Simulator& simulator() const { return _simulator; }

private:
    Tarnlink::Sim::Simulator& _simulator;
    std::string _identifier;
};

} // namespace Tests

#endif
