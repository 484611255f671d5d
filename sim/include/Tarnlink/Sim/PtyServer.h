#ifndef Tarnlink_Sim_PtyServer_INCLUDED
#define Tarnlink_Sim_PtyServer_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/Simulator.h>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace Tarnlink {
namespace Sim {

struct PtyServerOptions
{
    /// Where the stable symbolic link to the current slave goes; empty picks
    /// $XDG_RUNTIME_DIR (else /tmp)/tarnlink-sim-<pid>-<n>.
    std::string linkPath;
    /// Permission bits given to each slave (for example 0666 for clients of other users);
    /// 0 keeps what the system gives.
    unsigned slaveMode = 0;
};

/// Serves a simulator on the master side of a pseudo-terminal, in real time: the
/// simulator's clock follows the wall clock from start() on. Open stablePath() (or
/// slavePath()) as a serial port; the slave is in raw mode.
///
/// A client that dies without clearing its exclusive mode (TIOCEXCL) would lock the
/// pseudo-terminal for every later non-root opener for as long as the master lives, so
/// when the client side hangs up with the flag still set the server moves to a fresh
/// pseudo-terminal and points stablePath() at it. Bytes the controller sends while no
/// client is connected are lost, as on an unopened serial port.
///
/// When the controller disappears the master is closed, the link removed and the server
/// stops; start() again serves it anew. The simulator must outlive the server.
class TarnlinkSim_API PtyServer
{
public:
    explicit PtyServer(Simulator& simulator, const PtyServerOptions& options = PtyServerOptions());
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    /// Opens a pty pair, makes the link and starts serving; throws Poco::IOException on failure.
    void start();
    /// Stops serving, closes the pair and removes the link (also done by the destructor).
    void stop();
    bool running() const { return _running.load(); }
    /// Path of the current slave, for example /dev/pts/7 (empty before start()); it changes
    /// when a client left the port locked.
    std::string slavePath() const;
    /// The symbolic link that always names the current slave while the server runs; the
    /// path to give discovery (ORLAN_TARNLINK_PORTS).
    const std::string& stablePath() const { return _linkPath; }

private:
    void serve();
    void openPair();
    void closePair();
    void publishLink();
    bool lockedByLostClient() const;

    Simulator& _simulator;
    PtyServerOptions _options;
    std::string _linkPath;
    int _master = -1;
    int _wake[2] = {-1, -1};
    mutable std::mutex _pathMutex;
    std::string _slavePath;
    std::thread _thread;
    std::atomic<bool> _running{false};
};

} // namespace Sim
} // namespace Tarnlink

#endif
