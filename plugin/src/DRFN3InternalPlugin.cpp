#include "DRFN3Internal/DRFN3InternalPlugin.h"

#include "DRFN3Internal/FilterDRFN3.h"
#include "DRFN3Internal/FilterOrientation.h"

#include "Quillmesh/Core/FilterFactory.h"
#include "Quillmesh/Core/FlowManager.h"
#include "Quillmesh/Core/Version.h"

namespace DRFN3Internal {

namespace {

const char* const FRAMEWORK_VERSION = QUILLMESH_CORE_VERSION;

DRFN3InternalPlugin* installed = nullptr;

} // namespace

DRFN3InternalPlugin::DRFN3InternalPlugin() : DefaultPlugin("DRFN3Internal", "0.2.0")
{
    _metaData.version = "0.2.0";
    _metaData.frameworkVersion = FRAMEWORK_VERSION;
    _metaData.name = "DRFN3Internal";
    _metaData.description = "This is the plugin that wraps DRFN3Internal elements.";
    _metaData.platform = "win32";
    _metaData.buildDate = "Wed 08/24/2016";
    addFilterFactory(
        new Quillmesh::Core::FilterFactory<FilterDRFN3>(getName(), Quillmesh::Core::ComponentVersion(getVersion())));
    addFilterFactory(new Quillmesh::Core::FilterFactory<FilterOrientation>(
        getName(), Quillmesh::Core::ComponentVersion(getVersion())));
}

DRFN3InternalPlugin::~DRFN3InternalPlugin() = default;

} // namespace DRFN3Internal

extern "C" {

void dllStartPlugin()
{
    using DRFN3Internal::installed;
    if (installed) return;
    auto* plugin = new DRFN3Internal::DRFN3InternalPlugin;
    try
    {
        Quillmesh::Core::FlowManager::instance().getPluginManager().installPlugin(*plugin);
    }
    catch (...)
    {
        // Refused (its type name is taken): stay not installed, so a later start can retry.
        delete plugin;
        throw;
    }
    installed = plugin;
}

void dllStopPlugin()
{
    using DRFN3Internal::installed;
    if (!installed) return;
    // Cleared first: a throwing uninstall must not leave a pointer to a deleted plug-in.
    DRFN3Internal::DRFN3InternalPlugin* plugin = installed;
    installed = nullptr;
    try
    {
        Quillmesh::Core::FlowManager::instance().getPluginManager().uninstallPlugin(*plugin);
    }
    catch (...)
    {
        delete plugin;
        throw;
    }
    delete plugin;
}

const char* dllGetQuillmeshVersion()
{
    return DRFN3Internal::FRAMEWORK_VERSION;
}
}
