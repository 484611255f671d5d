#ifndef Quillmesh_Core_PinManager_INCLUDED
#define Quillmesh_Core_PinManager_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/NamedObject.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Mutex.h>

#include <atomic>
#include <cstdint>

#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

class AbstractInputPin;
class AbstractOutputPin;
class LayoutManager;
class Pin;

/// Owner of pins. Pins register themselves when built and leave when destroyed.
class QuillmeshCore_API PinManager : public NamedObject
{
public:
    explicit PinManager(const std::string& name) : NamedObject(name) {}
    PinManager(const PinManager&) = delete;
    PinManager& operator=(const PinManager&) = delete;
    ~PinManager() override = default;

    /// Guards the work on this manager's pins.
    virtual Synchronizer& getSynchronizer() { return _synchronizer; }
    /// The layout that drives this manager, or null.
    virtual LayoutManager* getLayoutManager() const { return nullptr; }

    /// A copy: pins come and go while others look.
    std::vector<Pin*> getPins() const;
    std::vector<AbstractInputPin*> getInputPins() const;
    std::vector<AbstractOutputPin*> getOutputPins() const;
    /// Null when there is no such pin; inputs and outputs may share a name.
    AbstractInputPin* findInputPin(const std::string& name) const;
    AbstractOutputPin* findOutputPin(const std::string& name) const;
    /// Changes whenever a pin comes or goes: a host compares it to know its links may need
    /// mending, without walking them on every cycle.
    std::uint64_t getPinsGeneration() const { return _generation.load(std::memory_order_acquire); }

private:
    friend class Pin;
    void addPin(Pin* pin);
    void removePin(Pin* pin);

    Synchronizer _synchronizer;
    mutable Poco::FastMutex _pinsMutex;
    std::vector<Pin*> _pins;
    std::atomic<std::uint64_t> _generation{0};
};

} // namespace Core
} // namespace Quillmesh

#endif
