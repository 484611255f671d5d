#ifndef Quillmesh_Core_Synchronizer_INCLUDED
#define Quillmesh_Core_Synchronizer_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <memory>
#include <vector>

namespace Quillmesh {
namespace Core {

/// Guards one filter's work (process(), property changes, pin wiring): a recursive lock
/// plus a wait/signal pair for readers that block inside that work.
///
/// A thread that wants the lock while another holds it first ends every wait in
/// progress, so a reader blocked under the lock cannot keep the host out forever.
///
/// Locking rule. A thread holds the synchronizers of at most one step at a time: it takes
/// one synchronizer, or a pair through one DisablerLocker, while it holds none (re-entering
/// one it already holds is fine). Work that needs another filter while inside one filter's
/// lock (a handler destroying a linked pin, options of a linked input, layout moves) takes
/// no second synchronizer: pin wiring has its own leaf mutexes, which never wait for a
/// synchronizer, so such work stays safe without it. Paths that still nest must do so in
/// increasing address order, the same order DisablerLocker uses for a pair; debug builds
/// throw Poco::AssertionViolationException on any other nesting.
class QuillmeshCore_API Synchronizer
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

    /// True when the calling thread holds this synchronizer.
    bool isHeldByThisThread() const;
    /// True when the calling thread holds any synchronizer.
    static bool isAnyHeldByThisThread();

    /// Scoped lock over one synchronizer (second null) or two, taken in a fixed order so two
    /// threads locking the same pair never deadlock.
    class QuillmeshCore_API DisablerLocker
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

    /// For pin wiring: locks the given synchronizers when the calling thread holds none,
    /// and nothing more when it already works under one (see the locking rule above).
    class QuillmeshCore_API LinkLocker
    {
    public:
        explicit LinkLocker(Synchronizer* first, Synchronizer* second = nullptr);
        LinkLocker(const LinkLocker&) = delete;
        LinkLocker& operator=(const LinkLocker&) = delete;

    private:
        std::unique_ptr<DisablerLocker> _lock;
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
