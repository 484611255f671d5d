// A plug-in module as a device module would be, offering ToyFilter.
#include "ToyFilter.h"

#include "Quillmesh/Core/DefaultPlugin.h"
#include "Quillmesh/Core/FilterFactory.h"
#include "Quillmesh/Core/FlowManager.h"
#include "Quillmesh/Core/Version.h"

#ifndef TOY_FRAMEWORK_VERSION
#define TOY_FRAMEWORK_VERSION QUILLMESH_CORE_VERSION
#endif

namespace {

using namespace Quillmesh::Core;

class ToyPlugin : public DefaultPlugin
{
public:
    ToyPlugin() : DefaultPlugin("Toy", "1.2.3")
    {
        _metaData.frameworkVersion = TOY_FRAMEWORK_VERSION;
        _metaData.description = "Test plug-in";
        addFilterFactory(new FilterFactory<HostTests::ToyFilter>(getName(), ComponentVersion(getVersion())));
    }
};

ToyPlugin* plugin = nullptr;

#if defined(_WIN32)
#define TOY_EXPORT __declspec(dllexport)
#else
#define TOY_EXPORT __attribute__((visibility("default")))
#endif

} // namespace

extern "C" {

TOY_EXPORT void dllStartPlugin()
{
    if (plugin) return;
    plugin = new ToyPlugin;
    FlowManager::instance().getPluginManager().installPlugin(*plugin);
}

#ifndef TOY_WITHOUT_STOP
TOY_EXPORT void dllStopPlugin()
{
    if (!plugin) return;
    FlowManager::instance().getPluginManager().uninstallPlugin(*plugin);
    delete plugin;
    plugin = nullptr;
}
#endif

TOY_EXPORT const char* dllGetQuillmeshVersion()
{
    return TOY_FRAMEWORK_VERSION;
}
}
