#ifndef Quillmesh_Core_PluginManager_INCLUDED
#define Quillmesh_Core_PluginManager_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/AbstractFactory.h"

#include <Poco/Mutex.h>

#include <map>
#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

class Filter;
class Plugin;

/// Installed plug-ins, and the filter factories they publish by type name.
class QuillmeshCore_API PluginManager
{
public:
    PluginManager() = default;
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;
    ~PluginManager();

    /// Calls plugin.install(*this); installing the same plug-in twice does nothing.
    void installPlugin(Plugin& plugin);
    /// Calls plugin.uninstall(*this); filters still alive from its factories are destroyed
    /// first, since their code may leave with the module.
    void uninstallPlugin(Plugin& plugin);
    std::vector<Plugin*> getPlugins() const;

    /// Poco::ExistsException when the type name is taken.
    void installFilterFactory(AbstractFilterFactory& factory);
    /// Destroys the filters the factory made that are still alive.
    void uninstallFilterFactory(AbstractFilterFactory& factory);
    std::vector<std::string> getFilterTypeNames() const;
    bool hasFilterType(const std::string& typeName) const;

    /// Poco::NotFoundException when no factory has the type name.
    Filter* createFilter(const std::string& typeName, const std::string& name);
    /// Gives filter back to the factory that made it; null is ignored.
    void destroyFilter(Filter* filter);

private:
    mutable Poco::FastMutex _mutex;
    std::vector<Plugin*> _plugins;
    std::map<std::string, AbstractFilterFactory*> _factories;
    std::map<Filter*, AbstractFilterFactory*> _liveFilters;
};

} // namespace Core
} // namespace Quillmesh

#endif
