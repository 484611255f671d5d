#ifndef Quillmesh_Core_FlowManager_INCLUDED
#define Quillmesh_Core_FlowManager_INCLUDED

#include "Quillmesh/Core/PluginManager.h"

namespace Quillmesh {
namespace Core {

/// The host's entry point for modules.
class FlowManager
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
