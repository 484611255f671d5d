#include "Quillmesh/Core/Filter.h"

#include "Quillmesh/Core/LayoutManager.h"
#include "Quillmesh/Core/Pin.h"

#include <algorithm>

namespace Quillmesh {
namespace Core {

Filter::Filter(const std::string& name, bool isEnabled) : PinManager(name), _isEnabled(isEnabled)
{
}

Filter::~Filter()
{
    if (_layoutManager) _layoutManager->removeFilter(*this);
}

Synchronizer& Filter::getSynchronizer()
{
    return PinManager::getSynchronizer();
}

void Filter::setManager(LayoutManager* const manager)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    if (manager == _layoutManager) return;
    _layoutManager = manager;
    for (AbstractOutputPin* output : getOutputPins()) output->refresh();
    for (AbstractInputPin* input : getInputPins()) input->refreshBufferStrategy();
}

LayoutManager* Filter::getLayoutManager() const
{
    return _layoutManager;
}

} // namespace Core
} // namespace Quillmesh
