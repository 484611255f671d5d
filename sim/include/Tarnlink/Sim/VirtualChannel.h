#ifndef Tarnlink_Sim_VirtualChannel_INCLUDED
#define Tarnlink_Sim_VirtualChannel_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Poco/DeviceIO/Channel.h>
#include <Tarnlink/Sim/Simulator.h>

namespace Tarnlink {
namespace Sim {

/// In-process channel to a simulator, in virtual time. A read returns the readable bytes
/// at once; when there are none it moves the simulator's clock to the first byte, or by
/// the whole read time-out when nothing comes. A time-out of 0 or -1 waits for the full
/// count (and returns short only when nothing more can ever come). Once the controller
/// has disappeared every call throws Poco::IOException. The simulator must outlive the channel.
class TarnlinkSim_API VirtualChannel : public Poco::DeviceIO::Channel
{
public:
    explicit VirtualChannel(Simulator& simulator, int timeoutMilliseconds = 100, const std::string& name = "simulator");

    void open() override { _open = true; }
    void close() override { _open = false; }
    bool isOpen() const { return _open; }
    int read(char*& buffer) override;
    int read(char* buffer, int length) override;
    int write(const char* data, int length) override;

    Simulator& simulator() { return _simulator; }

protected:
    ~VirtualChannel() override;

private:
    void checkPresent();

    Simulator& _simulator;
    bool _open = true;
};

} // namespace Sim
} // namespace Tarnlink

#endif
