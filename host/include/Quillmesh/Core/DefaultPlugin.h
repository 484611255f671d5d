#ifndef Quillmesh_Core_DefaultPlugin_INCLUDED
#define Quillmesh_Core_DefaultPlugin_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/AbstractFactory.h"
#include "Quillmesh/Core/Plugin.h"

#include <vector>

namespace Quillmesh {
namespace Core {

/// A plug-in that offers a list of filter factories. Derived plug-ins append their
/// factories in the constructor; the list owns them.
class QuillmeshCore_API DefaultPlugin : public Plugin
{
public:
    DefaultPlugin(const std::string& name, const std::string& version);
    ~DefaultPlugin() override;

    void install(PluginManager& manager) override;
    void uninstall(PluginManager& manager) override;
    const PluginMetaData& getMetaData() const override { return _metaData; }

    const std::string& getVersion() const { return _version; }
    const std::vector<AbstractFilterFactory*>& getFilterFactories() const { return _filterFactories; }

protected:
    /// Takes ownership.
    void addFilterFactory(AbstractFilterFactory* factory) { _filterFactories.push_back(factory); }

    PluginMetaData _metaData;
    std::vector<AbstractFilterFactory*> _filterFactories;

private:
    std::string _version;
};

} // namespace Core
} // namespace Quillmesh

#endif
