#ifndef Quillmesh_Core_Pin_INCLUDED
#define Quillmesh_Core_Pin_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/NamedObject.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Mutex.h>

#include <memory>

namespace Quillmesh {
namespace Core {

class LayoutManager;
class PinManager;

/// A typed connection point of a pin manager (usually a filter). Pins without a manager
/// (a host program's own probes) have a synchronizer of their own.
class QuillmeshCore_API Pin : public NamedObject
{
public:
    Pin(const std::string& name, PinManager* manager);
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() override;

    PinManager* getManager() const { return _manager; }
    Synchronizer& getSynchronizer() const;
    /// The layout manager of the owner, or null.
    LayoutManager* getLayoutManager() const;

    /// Guards every link between pins (an input's source, an output's inputs). A leaf lock:
    /// taken after any synchronizer, and no synchronizer is taken while it is held.
    static Poco::Mutex& getWiringMutex();

private:
    PinManager* _manager;
    std::unique_ptr<Synchronizer> _ownSynchronizer;
};

} // namespace Core
} // namespace Quillmesh

#endif
