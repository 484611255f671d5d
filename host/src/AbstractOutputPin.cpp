#include "Quillmesh/Core/AbstractOutputPin.h"

#include "Quillmesh/Core/LayoutManager.h"

namespace Quillmesh {
namespace Core {

void AbstractOutputPin::notifyAttached(AbstractInputPin& input, bool& accepted)
{
    if (LayoutManager* layout = getLayoutManager()) layout->linkAttached(*this, input, accepted);
}

void AbstractOutputPin::notifyDetached(AbstractInputPin& input)
{
    if (LayoutManager* layout = getLayoutManager()) layout->linkDetached(*this, input);
}

} // namespace Core
} // namespace Quillmesh
