#ifndef Quillmesh_Core_PluginLoader_INCLUDED
#define Quillmesh_Core_PluginLoader_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <memory>
#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

/// Loads plug-in modules: shared libraries exporting, with C linkage, dllStartPlugin(),
/// dllStopPlugin() and dllGetQuillmeshVersion(). A module installs its plug-in in
/// FlowManager::instance().getPluginManager() when started.
class QuillmeshCore_API PluginLoader
{
public:
    PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;
    /// Stops and unloads every module still loaded, newest first.
    ~PluginLoader();

    /// Loads the module and starts it. Throws Poco::LibraryLoadException when the library
    /// cannot be loaded or was built for an incompatible framework version,
    /// Poco::NotFoundException when an entry point is missing, Poco::ExistsException when
    /// the path is already loaded. A module that is refused is not started.
    void load(const std::string& path);
    /// Stops the module and unloads it; Poco::NotFoundException when it is not loaded.
    void unload(const std::string& path);
    void unloadAll();

    bool isLoaded(const std::string& path) const;
    /// The framework version the module reports.
    std::string getModuleVersion(const std::string& path) const;
    std::vector<std::string> getLoadedModules() const;

private:
    struct Module;
    std::vector<std::unique_ptr<Module>> _modules;
};

} // namespace Core
} // namespace Quillmesh

#endif
