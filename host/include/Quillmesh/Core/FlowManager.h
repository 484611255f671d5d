#ifndef Quillmesh_Core_FlowManager_INCLUDED
#define Quillmesh_Core_FlowManager_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/PluginManager.h"

namespace Quillmesh {
namespace Core {

/// The host's entry point for modules.
class QuillmeshCore_API FlowManager
{
public:
    static FlowManager& instance();

    PluginManager& getPluginManager() { return _pluginManager; }

private:
    FlowManager() = default;
    PluginManager _pluginManager;
};

} // namespace Core
} // namespace Quillmesh

#endif
