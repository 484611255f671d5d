#ifndef Tarnlink_Sim_PtyServer_INCLUDED
#define Tarnlink_Sim_PtyServer_INCLUDED

#include <Tarnlink/Sim/Simulator.h>
#include <atomic>
#include <string>
#include <thread>

namespace Tarnlink {
namespace Sim {

/// Serves a simulator on the master side of a pseudo-terminal, in real time: the
/// simulator's clock follows the wall clock from start() on. Open slavePath() as a
/// serial port (it is in raw mode). When the controller disappears the master is closed,
/// so reads on the slave fail. The simulator must outlive the server.
class PtyServer
{
public:
    explicit PtyServer(Simulator& simulator);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    /// Opens the pty pair and starts serving; throws Poco::IOException on failure.
    void start();
    /// Stops serving and closes the pair (also done by the destructor).
    void stop();
    bool running() const { return _running.load(); }
    /// Path of the slave side, for example /dev/pts/7 (empty before start()).
    const std::string& slavePath() const { return _slavePath; }

private:
    void serve();

    Simulator& _simulator;
    int _master = -1;
    int _slave = -1;
    int _wake[2] = {-1, -1};
    std::string _slavePath;
    std::thread _thread;
    std::atomic<bool> _running{false};
};

} // namespace Sim
} // namespace Tarnlink

#endif
