#include "Quillmesh/Core/FlowManager.h"

namespace Quillmesh {
namespace Core {

FlowManager& FlowManager::instance()
{
    static FlowManager manager;
    return manager;
}

} // namespace Core
} // namespace Quillmesh
