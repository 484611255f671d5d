#ifndef Quillmesh_Core_PinManager_INCLUDED
#define Quillmesh_Core_PinManager_INCLUDED

#include "Quillmesh/Core/NamedObject.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Mutex.h>

#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

class AbstractInputPin;
class AbstractOutputPin;
class LayoutManager;
class Pin;

/// Owner of pins. Pins register themselves when built and leave when destroyed.
class PinManager : public NamedObject
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

private:
    friend class Pin;
    void addPin(Pin* pin);
    void removePin(Pin* pin);

    Synchronizer _synchronizer;
    mutable Poco::FastMutex _pinsMutex;
    std::vector<Pin*> _pins;
};

} // namespace Core
} // namespace Quillmesh

#endif
