// The built module, loaded as a host loads it.
#include "Quillmesh/Core/DefaultPlugin.h"
#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/FlowManager.h"
#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/PluginLoader.h"

#include <Poco/Exception.h>
#include <Poco/SharedLibrary.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace Quillmesh::Core;

namespace {

template <typename T>
bool contains(const std::vector<T>& items, const T& item)
{
    return std::find(items.begin(), items.end(), item) != items.end();
}

} // namespace

TEST(DRFN3InternalModule, EntryPointsInstallOnePluginAndStopIsIdempotent)
{
    Poco::SharedLibrary library(DRFN3_MODULE_PATH);
    auto start = reinterpret_cast<void (*)()>(library.getSymbol("dllStartPlugin"));
    auto stop = reinterpret_cast<void (*)()>(library.getSymbol("dllStopPlugin"));
    auto version = reinterpret_cast<const char* (*)()>(library.getSymbol("dllGetQuillmeshVersion"));
    PluginManager& manager = FlowManager::instance().getPluginManager();

    EXPECT_STREQ("0.10.0", version());
    stop();
    EXPECT_TRUE(manager.getPlugins().empty()) << "stop before any start does nothing";

    start();
    start();
    ASSERT_EQ(1u, manager.getPlugins().size()) << "a second start installs nothing more";
    auto* plugin = dynamic_cast<DefaultPlugin*>(manager.getPlugins()[0]);
    ASSERT_NE(nullptr, plugin);
    ASSERT_EQ(2u, plugin->getFilterFactories().size());
    EXPECT_EQ((std::vector<std::string>{"FilterDRFN3", "FilterOrientation"}), manager.getFilterTypeNames());

    const PluginMetaData& meta = plugin->getMetaData();
    EXPECT_EQ("0.2.0", meta.version);
    EXPECT_EQ("0.10.0", meta.frameworkVersion);
    EXPECT_EQ("DRFN3Internal", meta.name);
    EXPECT_EQ("This is the plugin that wraps DRFN3Internal elements.", meta.description);
    EXPECT_EQ("win32", meta.platform);
    EXPECT_EQ("Wed 08/24/2016", meta.buildDate);
    EXPECT_EQ("DRFN3Internal", plugin->getName());

    AbstractFilterFactory& factory = *plugin->getFilterFactories()[0];
    EXPECT_EQ("DRFN3Internal", factory.getProviderName());
    EXPECT_EQ("0.2.0", factory.getVersion().toString());
    Filter* filter = factory.create("pods");
    ASSERT_NE(nullptr, filter);
    EXPECT_EQ("pods", filter->getName());
    EXPECT_EQ(std::string(factory.getTypeName()), filter->getTypeName());
    factory.destroy(filter);
    factory.destroy(nullptr);
    EXPECT_STREQ("0.10.0", version()) << "the same while installed";

    stop();
    EXPECT_TRUE(manager.getPlugins().empty());
    EXPECT_FALSE(manager.hasFilterType("FilterDRFN3"));
    stop();
    EXPECT_TRUE(manager.getPlugins().empty());

    start();
    EXPECT_TRUE(manager.hasFilterType("FilterDRFN3")) << "a stop followed by a start installs afresh";
    stop();
    library.unload();
}

TEST(DRFN3InternalModule, PluginLoaderLoadsItAndTheHostDrivesAFilterByNames)
{
    PluginLoader loader;
    loader.load(DRFN3_MODULE_PATH);
    EXPECT_EQ("0.10.0", loader.getModuleVersion(DRFN3_MODULE_PATH));
    {
        HostedFilter hosted("FilterDRFN3", "pods");
        EXPECT_EQ("FilterDRFN3", hosted.getFilter().getTypeName());
        EXPECT_EQ("0", hosted.getProperty("connection"));

        hosted.setProperty("serial", "A10001; f0,  2");
        const std::vector<std::string> outputs = hosted.getOutputPinNames();
        for (const char* pin : {"3a#0xA10001", "3mGain#0xF0", "FrameNb#0x2", "Battery#0x2", "Button#0xA10001"})
            EXPECT_TRUE(contains(outputs, std::string(pin))) << pin;
        EXPECT_TRUE(contains(hosted.getInputPinNames(), std::string("3gOff#0xF0")));
        hosted.tap<RowMatrixXd>("3a#0xA10001");

        try
        {
            hosted.setProperty("serial", "A10001,zz");
            FAIL() << "a bad serial is refused";
        }
        catch (const Poco::SyntaxException& error)
        {
            EXPECT_NE(std::string::npos, error.displayText().find("Not a valid hexadecimal integer"));
        }
        EXPECT_EQ("A10001; f0,  2", hosted.getProperty("serial")) << "a refused text changes nothing";
        EXPECT_THROW(hosted.setProperty("connection", "maybe"), Poco::DataFormatException);

        // An orientation filter per pod, its inputs linked to the pod's outputs by name.
        HostedFilter orientation("FilterOrientation", "orientation#0xA10001");
        EXPECT_EQ((std::vector<std::string>{"3a", "3aGain", "3aOff", "3m", "3mGain", "3mOff", "3g", "3gGain", "3gOff"}),
                  orientation.getInputPinNames());
        EXPECT_EQ((std::vector<std::string>{"Quat", "RPY", "Mode", "GyroBias"}), orientation.getOutputPinNames());
        for (const char* pin : {"3a", "3gGain"})
            hosted.getFilter()
                .findOutputPin(std::string(pin) + "#0xA10001")
                ->attach(*orientation.getFilter().findInputPin(pin));
        EXPECT_NE(nullptr, orientation.getFilter().findInputPin("3gGain")->getAbstractSource());
        EXPECT_EQ("2", orientation.getProperty("Gain"));
        orientation.tap<RowMatrixXd>("Quat");
    }
    loader.unload(DRFN3_MODULE_PATH);
    EXPECT_FALSE(FlowManager::instance().getPluginManager().hasFilterType("FilterDRFN3"));
}
