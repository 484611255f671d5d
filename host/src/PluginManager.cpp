#include "Quillmesh/Core/PluginManager.h"

#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/LayoutManager.h"
#include "Quillmesh/Core/Plugin.h"

#include <Poco/Exception.h>

#include <algorithm>

namespace Quillmesh {
namespace Core {

namespace {

// A filter leaves its layout before any of it is destroyed, so no round can reach it after.
void destroyOutsideLayout(AbstractFilterFactory& factory, Filter* filter)
{
    if (LayoutManager* layout = filter->getLayoutManager()) layout->removeFilter(*filter);
    factory.destroy(filter);
}

} // namespace

PluginManager::~PluginManager()
{
    // Filters left alive belong to factories that may already be gone; nothing safe to do.
}

void PluginManager::installPlugin(Plugin& plugin)
{
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        if (std::find(_plugins.begin(), _plugins.end(), &plugin) != _plugins.end()) return;
    }
    plugin.install(*this);
    Poco::FastMutex::ScopedLock lock(_mutex);
    _plugins.push_back(&plugin);
}

void PluginManager::uninstallPlugin(Plugin& plugin)
{
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        auto it = std::find(_plugins.begin(), _plugins.end(), &plugin);
        if (it == _plugins.end()) return;
        _plugins.erase(it);
    }
    plugin.uninstall(*this);
}

std::vector<Plugin*> PluginManager::getPlugins() const
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    return _plugins;
}

void PluginManager::installFilterFactory(AbstractFilterFactory& factory)
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    const std::string typeName = factory.getTypeName();
    if (_factories.count(typeName)) throw Poco::ExistsException("Filter type '" + typeName + "' is already installed");
    _factories[typeName] = &factory;
}

void PluginManager::uninstallFilterFactory(AbstractFilterFactory& factory)
{
    std::vector<Filter*> orphans;
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        auto it = _factories.find(factory.getTypeName());
        if (it == _factories.end() || it->second != &factory) return;
        _factories.erase(it);
        for (auto live = _liveFilters.begin(); live != _liveFilters.end();)
        {
            if (live->second == &factory)
            {
                orphans.push_back(live->first);
                live = _liveFilters.erase(live);
            }
            else
                ++live;
        }
    }
    for (Filter* filter : orphans) destroyOutsideLayout(factory, filter);
}

std::vector<std::string> PluginManager::getFilterTypeNames() const
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    std::vector<std::string> names;
    for (const auto& entry : _factories) names.push_back(entry.first);
    return names;
}

bool PluginManager::hasFilterType(const std::string& typeName) const
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    return _factories.count(typeName) != 0;
}

Filter* PluginManager::createFilter(const std::string& typeName, const std::string& name)
{
    AbstractFilterFactory* factory = nullptr;
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        auto it = _factories.find(typeName);
        if (it == _factories.end()) throw Poco::NotFoundException("No filter type '" + typeName + "'");
        factory = it->second;
    }
    // Outside the lock: a filter's constructor may well ask the plug-in manager for things.
    Filter* filter = factory->create(name);
    Poco::FastMutex::ScopedLock lock(_mutex);
    _liveFilters[filter] = factory;
    return filter;
}

void PluginManager::destroyFilter(Filter* filter)
{
    if (!filter) return;
    AbstractFilterFactory* factory = nullptr;
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        auto it = _liveFilters.find(filter);
        // Not one of ours, or already destroyed with its plug-in: do not touch it.
        if (it == _liveFilters.end()) throw Poco::NotFoundException("Filter was not made by this plug-in manager");
        factory = it->second;
        _liveFilters.erase(it);
    }
    destroyOutsideLayout(*factory, filter);
}

} // namespace Core
} // namespace Quillmesh
