#include "Quillmesh/Core/Filter.h"

#include "Quillmesh/Core/AbstractInputPin.h"
#include "Quillmesh/Core/AbstractOutputPin.h"
#include "Quillmesh/Core/LayoutManager.h"

#include <algorithm>

namespace Quillmesh {
namespace Core {

Filter::Filter(const std::string& name, bool isEnabled) : PinManager(name), _isEnabled(isEnabled) {}

Filter::~Filter()
{
    if (LayoutManager* layout = _layoutManager) layout->removeFilter(*this);
}

Synchronizer& Filter::getSynchronizer()
{
    return PinManager::getSynchronizer();
}

// The move itself holds this filter's lock only; the pins then rebuild link by link, each
// under its own pair of locks, so no second filter's lock is taken under this one.
void Filter::setManager(LayoutManager* const manager)
{
    {
        Synchronizer::LinkLocker lock(&getSynchronizer());
        if (manager == _layoutManager) return;
        _layoutManager = manager;
    }
    for (AbstractOutputPin* output : getOutputPins()) output->refresh();
    for (AbstractInputPin* input : getInputPins()) input->refreshBufferStrategy();
}

LayoutManager* Filter::getLayoutManager() const
{
    return _layoutManager;
}

} // namespace Core
} // namespace Quillmesh
