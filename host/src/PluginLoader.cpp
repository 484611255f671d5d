#include "Quillmesh/Core/PluginLoader.h"

#include "Quillmesh/Core/ComponentVersion.h"
#include "Quillmesh/Core/Version.h"

#include "Util/System/Functor.h"

#include <Poco/Exception.h>
#include <Poco/SharedLibrary.h>

#include <algorithm>

namespace Quillmesh {
namespace Core {

namespace {

typedef void (*EntryPoint)();
typedef const char* (*VersionEntryPoint)();

template <typename Pointer>
Pointer entryPoint(Poco::SharedLibrary& library, const std::string& name)
{
    if (!library.hasSymbol(name))
        throw Poco::NotFoundException("Plug-in module " + library.getPath() + " has no entry point " + name);
    return reinterpret_cast<Pointer>(library.getSymbol(name));
}

} // namespace

const char* getFrameworkVersion()
{
    return QUILLMESH_CORE_VERSION;
}

struct PluginLoader::Module
{
    std::string path;
    Poco::SharedLibrary library;
    Util::System::Functor<void> start;
    Util::System::Functor<void> stop;
    std::string version;
};

PluginLoader::PluginLoader() = default;

PluginLoader::~PluginLoader()
{
    try
    {
        unloadAll();
    }
    catch (...)
    {
        // A module whose stop fails stays mapped; nothing better to do at this point.
    }
}

void PluginLoader::load(const std::string& path)
{
    if (isLoaded(path)) throw Poco::ExistsException("Plug-in module " + path + " is already loaded");
    auto module = std::make_unique<Module>();
    module->path = path;
    module->library.load(path);
    try
    {
        module->start = Util::System::Functor<void>(entryPoint<EntryPoint>(module->library, "dllStartPlugin"));
        module->stop = Util::System::Functor<void>(entryPoint<EntryPoint>(module->library, "dllStopPlugin"));
        const char* version = entryPoint<VersionEntryPoint>(module->library, "dllGetQuillmeshVersion")();
        module->version = version ? version : "";
        bool compatible = false;
        try
        {
            compatible = ComponentVersion(module->version).isCompatibleWith(ComponentVersion(getFrameworkVersion()));
        }
        catch (const Poco::SyntaxException&)
        {
        }
        if (!compatible)
            throw Poco::LibraryLoadException("Plug-in module " + path + " was built for framework version '" +
                                             module->version + "', this is " + getFrameworkVersion());
        module->start();
    }
    catch (...)
    {
        module->library.unload();
        throw;
    }
    _modules.push_back(std::move(module));
}

void PluginLoader::unload(const std::string& path)
{
    auto it = std::find_if(_modules.begin(), _modules.end(), [&](const auto& m) { return m->path == path; });
    if (it == _modules.end()) throw Poco::NotFoundException("Plug-in module " + path + " is not loaded");
    std::unique_ptr<Module> module = std::move(*it);
    _modules.erase(it);
    // The functors point into the library: drop them before it goes.
    Util::System::Functor<void> stop(std::move(module->stop));
    module->start = Util::System::Functor<void>();
    stop();
    stop = Util::System::Functor<void>();
    module->library.unload();
}

void PluginLoader::unloadAll()
{
    while (!_modules.empty()) unload(_modules.back()->path);
}

bool PluginLoader::isLoaded(const std::string& path) const
{
    return std::any_of(_modules.begin(), _modules.end(), [&](const auto& m) { return m->path == path; });
}

std::string PluginLoader::getModuleVersion(const std::string& path) const
{
    for (const auto& module : _modules)
        if (module->path == path) return module->version;
    throw Poco::NotFoundException("Plug-in module " + path + " is not loaded");
}

std::vector<std::string> PluginLoader::getLoadedModules() const
{
    std::vector<std::string> paths;
    for (const auto& module : _modules) paths.push_back(module->path);
    return paths;
}

} // namespace Core
} // namespace Quillmesh
