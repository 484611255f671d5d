#ifndef Quillmesh_Core_Filter_INCLUDED
#define Quillmesh_Core_Filter_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/PinManager.h"
#include "Quillmesh/Core/PropertyBag.h"

#include <atomic>
#include <string>

namespace Quillmesh {
namespace Core {

class LayoutManager;

/// Base of every filter. The host calls process() under getSynchronizer(); the same lock
/// guards the filter's properties and pin wiring, so none of them interleave with process().
class QuillmeshCore_API Filter : public PinManager, public PropertyBagOwner
{
public:
    /// A disabled filter is skipped by its layout.
    Filter(const std::string& name, bool isEnabled);
    /// Leaves the layout, but only after the derived parts are gone: whoever destroys a
    /// filter in a running layout removes it first (the plug-in manager does).
    ~Filter() override;

    virtual void process() = 0;
    Synchronizer& getSynchronizer() override;

protected:
    friend class LayoutManager;
    /// Moves the filter to another layout (null: none) and lets its pins choose their
    /// buffer strategies again.
    virtual void setManager(LayoutManager* const manager);

public:
    /// The name its factory is registered under.
    virtual std::string getTypeName() const = 0;

    LayoutManager* getLayoutManager() const override;
    bool getIsEnabled() const { return _isEnabled; }
    void setIsEnabled(bool enabled) { _isEnabled = enabled; }

private:
    std::atomic<LayoutManager*> _layoutManager{nullptr};
    std::atomic<bool> _isEnabled;
};

} // namespace Core
} // namespace Quillmesh

#endif
