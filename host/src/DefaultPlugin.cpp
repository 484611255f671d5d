#include "Quillmesh/Core/DefaultPlugin.h"

#include "Quillmesh/Core/PluginManager.h"

namespace Quillmesh {
namespace Core {

DefaultPlugin::DefaultPlugin(const std::string& name, const std::string& version) : Plugin(name), _version(version)
{
    _metaData.name = name;
    _metaData.version = version;
}

DefaultPlugin::~DefaultPlugin()
{
    for (AbstractFilterFactory* factory : _filterFactories) delete factory;
}

void DefaultPlugin::install(PluginManager& manager)
{
    std::vector<AbstractFilterFactory*> installed;
    try
    {
        for (AbstractFilterFactory* factory : _filterFactories)
        {
            manager.installFilterFactory(*factory);
            installed.push_back(factory);
        }
    }
    catch (...)
    {
        for (AbstractFilterFactory* factory : installed) manager.uninstallFilterFactory(*factory);
        throw;
    }
}

void DefaultPlugin::uninstall(PluginManager& manager)
{
    for (AbstractFilterFactory* factory : _filterFactories) manager.uninstallFilterFactory(*factory);
}

} // namespace Core
} // namespace Quillmesh
