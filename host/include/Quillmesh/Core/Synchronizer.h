#ifndef Quillmesh_Core_Synchronizer_INCLUDED
#define Quillmesh_Core_Synchronizer_INCLUDED

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <vector>

namespace Quillmesh {
namespace Core {

/// Guards one filter's work (process(), property changes, pin wiring): a recursive lock
/// plus a wait/signal pair for readers that block inside that work.
///
/// A thread that wants the lock while another holds it first ends every wait in
/// progress, so a reader blocked under the lock cannot keep the host out forever.
class Synchronizer
{
public:
    Synchronizer() = default;
    Synchronizer(const Synchronizer&) = delete;
    Synchronizer& operator=(const Synchronizer&) = delete;
    ~Synchronizer() = default;

    /// Entered with mutex locked; unlocks it, waits for event, and returns with mutex locked
    /// again, either after signal(event) or because another thread wants this synchronizer.
    /// Callers re-check their state afterwards.
    void wait(Poco::FastMutex& mutex, Poco::Event& event);

    static void signal(Poco::Event& event);

    /// Ends every wait in progress on this synchronizer.
    void wakeWaiters();

    /// Scoped lock over one synchronizer (second null) or two, taken in a fixed order so two
    /// threads locking the same pair never deadlock.
    class DisablerLocker
    {
    public:
        explicit DisablerLocker(Synchronizer* first, Synchronizer* second = nullptr);
        DisablerLocker(const DisablerLocker&) = delete;
        DisablerLocker& operator=(const DisablerLocker&) = delete;
        ~DisablerLocker();

    private:
        Synchronizer* _first;
        Synchronizer* _second;
    };

private:
    void acquire();
    void release();

    Poco::Mutex _lock;
    Poco::FastMutex _stateMutex;
    int _contenders = 0;
    std::vector<Poco::Event*> _waiting;
};

} // namespace Core
} // namespace Quillmesh

#endif
