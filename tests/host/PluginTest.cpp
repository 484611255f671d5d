#include "ToyFilter.h"

#include "Quillmesh/Core/FlowManager.h"
#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/PluginLoader.h"
#include "Quillmesh/Core/Version.h"

#include <Poco/Exception.h>
#include <Poco/TemporaryFile.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace Quillmesh::Core;
using HostTests::ToyFilter;

namespace {

int destroyed = 0;

struct CountedToy : ToyFilter
{
    static constexpr const char* TYPE_NAME = "CountedToy";
    using ToyFilter::ToyFilter;
    ~CountedToy() override { ++destroyed; }
    std::string getTypeName() const override { return TYPE_NAME; }
};
typedef HostTests::LocalPlugin<ToyFilter, CountedToy> LocalPlugin;

} // namespace

TEST(PluginManager, FiltersAreMadeAndUnmadeByTypeName)
{
    PluginManager manager;
    LocalPlugin plugin;
    manager.installPlugin(plugin);
    manager.installPlugin(plugin);
    EXPECT_EQ(1u, manager.getPlugins().size());
    EXPECT_EQ((std::vector<std::string>{"CountedToy", "ToyFilter"}), manager.getFilterTypeNames());
    EXPECT_EQ("Local", plugin.getFilterFactories()[0]->getProviderName());

    Filter* filter = manager.createFilter("ToyFilter", "toy 1");
    EXPECT_EQ("toy 1", filter->getName());
    EXPECT_EQ(std::string(plugin.getFilterFactories()[0]->getTypeName()), filter->getTypeName());
    manager.destroyFilter(filter);
    manager.destroyFilter(nullptr);
    EXPECT_THROW(manager.createFilter("Nothing", "x"), Poco::NotFoundException);

    LocalPlugin rival;
    EXPECT_THROW(manager.installPlugin(rival), Poco::ExistsException);
    EXPECT_EQ(1u, manager.getPlugins().size());
    EXPECT_EQ(2u, manager.getFilterTypeNames().size()) << "a refused plug-in leaves nothing behind";

    destroyed = 0;
    manager.createFilter("CountedToy", "left over");
    manager.uninstallPlugin(plugin);
    EXPECT_EQ(1, destroyed) << "filters of an uninstalled plug-in are destroyed with it";
    EXPECT_TRUE(manager.getFilterTypeNames().empty());
    EXPECT_THROW(manager.createFilter("ToyFilter", "x"), Poco::NotFoundException);
}

TEST(ComponentVersion, ParsesAndCompares)
{
    ComponentVersion version("0.10.2");
    EXPECT_EQ(0u, version.getMajor());
    EXPECT_EQ(10u, version.getMinor());
    EXPECT_EQ(2u, version.getPatch());
    EXPECT_EQ("0.10.0", ComponentVersion("0.10").toString());
    EXPECT_TRUE(version.isCompatibleWith(ComponentVersion("0.10.0")));
    EXPECT_FALSE(version.isCompatibleWith(ComponentVersion("0.9.2")));
    EXPECT_TRUE(ComponentVersion("0.9.9") < version);
    for (const char* bad : {"", "1..2", "a.b", "1.2.3.4", "-1.0"})
        EXPECT_THROW(ComponentVersion{bad}, Poco::SyntaxException) << bad;
}

TEST(HostedFilter, DrivesAFilterByNames)
{
    PluginManager manager;
    LocalPlugin plugin;
    manager.installPlugin(plugin);
    HostedFilter hosted("ToyFilter", "toy", manager);

    const std::vector<PropertyDescription> properties = hosted.listProperties();
    std::vector<std::string> names;
    for (const PropertyDescription& p : properties) names.push_back(p.name + ":" + p.kind);
    EXPECT_EQ((std::vector<std::string>{"Running:bool", "Gain:range", "Mode:enum", "Label:text", "Reset:command"}),
              names);
    EXPECT_FALSE(properties[0].isPersistent);

    hosted.setProperty("Gain", "4");
    hosted.setProperty("Mode", "1");
    EXPECT_EQ("4", hosted.getProperty("Gain"));
    EXPECT_THROW(hosted.setProperty("Gain", "11"), Poco::RangeException);
    EXPECT_THROW(hosted.setProperty("Gain", "four"), Poco::DataFormatException);
    EXPECT_THROW(hosted.setProperty("Nope", "1"), Poco::NotFoundException);

    EXPECT_EQ((std::vector<std::string>{"Samples", "Count"}), hosted.getOutputPinNames());
    InputPin<RowMatrixXd>& latest = hosted.tap<RowMatrixXd>("Samples");
    InputPin<RowMatrixXd>& all = hosted.tap<RowMatrixXd>("Count", 10, false);
    EXPECT_THROW(hosted.tap<int>("Samples"), Poco::InvalidArgumentException);
    EXPECT_THROW(hosted.tap<RowMatrixXd>("Missing"), Poco::NotFoundException);

    hosted.process();
    hosted.process();
    hosted.process();
    const TimeStampedData<RowMatrixXd>* sample = latest.getData();
    ASSERT_NE(nullptr, sample);
    EXPECT_EQ(3.0, sample->time);
    EXPECT_EQ(4.0, sample->data(0, 0));
    EXPECT_EQ(1.0, sample->data(1, 0));
    latest.release();
    EXPECT_EQ(nullptr, latest.getData()) << "only the latest of three is kept";
    std::vector<double> counts;
    while (const TimeStampedData<RowMatrixXd>* c = all.getData())
    {
        counts.push_back(c->data(0, 0));
        all.release();
    }
    EXPECT_EQ((std::vector<double>{1, 2, 3}), counts);

    Poco::TemporaryFile file;
    hosted.save(file.path());
    hosted.setProperty("Gain", "9");
    EXPECT_TRUE(hosted.restore(file.path()).empty());
    EXPECT_EQ("4", hosted.getProperty("Gain"));
}

TEST(HostedFilter, OutlivingItsPluginDoesNotTouchTheDestroyedFilter)
{
    PluginManager manager;
    LocalPlugin plugin;
    manager.installPlugin(plugin);
    destroyed = 0;
    {
        HostedFilter hosted("CountedToy", "orphan", manager);
        hosted.tap<RowMatrixXd>("Samples");
        manager.uninstallPlugin(plugin);
        EXPECT_EQ(1, destroyed);
    }
    EXPECT_EQ(1, destroyed);
    Filter* stranger = reinterpret_cast<Filter*>(&destroyed);
    EXPECT_THROW(manager.destroyFilter(stranger), Poco::NotFoundException);
}

TEST(PluginLoader, LoadsStartsStopsAndRefusesModules)
{
    PluginManager& manager = FlowManager::instance().getPluginManager();
    PluginLoader loader;
    EXPECT_THROW(loader.load(HOST_TOY_PLUGIN_OLD), Poco::LibraryLoadException);
    EXPECT_THROW(loader.load(HOST_TOY_PLUGIN_NO_STOP), Poco::NotFoundException);
    EXPECT_THROW(loader.load("/nonexistent/libNothing.so"), Poco::LibraryLoadException);
    EXPECT_FALSE(manager.hasFilterType("ToyFilter")) << "a refused module must not be started";
    EXPECT_TRUE(loader.getLoadedModules().empty());

    loader.load(HOST_TOY_PLUGIN);
    EXPECT_THROW(loader.load(HOST_TOY_PLUGIN), Poco::ExistsException);
    EXPECT_EQ(QUILLMESH_CORE_VERSION, loader.getModuleVersion(HOST_TOY_PLUGIN));
    ASSERT_TRUE(manager.hasFilterType("ToyFilter"));
    {
        HostedFilter hosted("ToyFilter", "from module");
        hosted.setProperty("Gain", "3");
        hosted.process();
        EXPECT_EQ("ToyFilter", hosted.getFilter().getTypeName());
    }
    loader.unload(HOST_TOY_PLUGIN);
    EXPECT_FALSE(manager.hasFilterType("ToyFilter"));
    EXPECT_THROW(loader.unload(HOST_TOY_PLUGIN), Poco::NotFoundException);

    loader.load(HOST_TOY_PLUGIN);
    EXPECT_TRUE(manager.hasFilterType("ToyFilter")) << "a module can be loaded again after an unload";
}
