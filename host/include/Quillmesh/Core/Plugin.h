#ifndef Quillmesh_Core_Plugin_INCLUDED
#define Quillmesh_Core_Plugin_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/NamedObject.h"

#include <string>

namespace Quillmesh {
namespace Core {

class PluginManager;

struct PluginMetaData
{
    std::string version;
    std::string frameworkVersion;
    std::string name;
    std::string description;
    std::string platform;
    std::string buildDate;
};

/// What a loadable module installs in the host.
class QuillmeshCore_API Plugin : public NamedObject
{
public:
    explicit Plugin(const std::string& name) : NamedObject(name) {}
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    /// Called by PluginManager::installPlugin: publish what the plug-in offers.
    virtual void install(PluginManager& manager) = 0;
    /// Called by PluginManager::uninstallPlugin: withdraw it.
    virtual void uninstall(PluginManager& manager) = 0;
    virtual const PluginMetaData& getMetaData() const = 0;
};

} // namespace Core
} // namespace Quillmesh

#endif
