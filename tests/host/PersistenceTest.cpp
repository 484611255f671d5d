#include "ToyFilter.h"

#include "Quillmesh/Core/PropertyPersistence.h"

#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/TemporaryFile.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace Quillmesh::Core;
using HostTests::ToyFilter;

TEST(Persistence, SavedPropertiesComeBackAndRuntimeSwitchesStayOut)
{
    Poco::TemporaryFile file;
    {
        ToyFilter source("a");
        source.running.set(true);
        source.gain.set(7);
        source.mode.set(1);
        source.label.set("  ${HOME} and: spaces = kept\\t ");
        ValueProperty<std::string> dotted("Copy Calib to Manuf.", &source.getPropertyBag());
        dotted.set("\"quoted\"");
        saveProperties(source.getPropertyBag(), file.path());
    }
    ToyFilter target("b");
    ValueProperty<std::string> dotted("Copy Calib to Manuf.", &target.getPropertyBag());
    const int before = target.handlerCalls;
    EXPECT_TRUE(restoreProperties(target.getPropertyBag(), file.path()).empty());
    EXPECT_FALSE(target.running.get()) << "a runtime switch must not be saved";
    EXPECT_EQ(7, target.gain.get());
    EXPECT_EQ(1u, target.mode.get());
    EXPECT_EQ("  ${HOME} and: spaces = kept\\t ", target.label.get());
    EXPECT_EQ("\"quoted\"", dotted.get());
    EXPECT_EQ(before + 2, target.handlerCalls) << "restored values go through the handlers";
}

TEST(Persistence, ABadValueIsReportedAndTheOthersAreStillRestored)
{
    Poco::TemporaryFile file;
    {
        Poco::FileOutputStream out(file.path());
        out << "Gain = 50\nMode = 1\nLabel = fine\nRunning = 1\nUnknown = 3\n";
    }
    ToyFilter target("b");
    const std::vector<RestoreProblem> problems = restoreProperties(target.getPropertyBag(), file.path());
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ("Gain", problems[0].property);
    EXPECT_NE(std::string::npos, problems[0].reason.find("50 does not fit in [1;10]")) << problems[0].reason;
    EXPECT_EQ(1, target.gain.get());
    EXPECT_EQ(1u, target.mode.get());
    EXPECT_EQ("fine", target.label.get());
    EXPECT_FALSE(target.running.get());

    // Writable only at times: the value a property already has is no refusal, another one is.
    target.mode.setIsWritable(false);
    target.label.setIsWritable(false);
    {
        Poco::FileOutputStream out(file.path());
        out << "Gain = 5\nMode = 0\nLabel = fine\n";
    }
    const int before = target.handlerCalls;
    const std::vector<RestoreProblem> refused = restoreProperties(target.getPropertyBag(), file.path());
    ASSERT_EQ(1u, refused.size());
    EXPECT_EQ("Mode", refused[0].property);
    EXPECT_NE(std::string::npos, refused[0].reason.find("not writable")) << refused[0].reason;
    EXPECT_EQ(1u, target.mode.get());
    EXPECT_EQ(5, target.gain.get());
    EXPECT_EQ(before + 1, target.handlerCalls) << "only Gain's handler runs";

    EXPECT_THROW(restoreProperties(target.getPropertyBag(), file.path() + ".missing"), Poco::FileException);
}

TEST(Persistence, AwkwardNamesRoundTripAndAPropertyMissingFromTheFileIsReported)
{
    const std::vector<std::string> names = {"Ratio a:b", "x=y", "#hash", "!bang", " padded ", "50%", "back\\slash"};
    Poco::TemporaryFile file;
    {
        PropertyBag source;
        std::vector<std::unique_ptr<ValueProperty<std::string>>> properties;
        for (const std::string& name : names)
        {
            properties.push_back(std::make_unique<ValueProperty<std::string>>(name, &source));
            properties.back()->set("value of " + name);
        }
        saveProperties(source, file.path());
    }
    PropertyBag target;
    std::vector<std::unique_ptr<ValueProperty<std::string>>> properties;
    for (const std::string& name : names)
        properties.push_back(std::make_unique<ValueProperty<std::string>>(name, &target));
    ValueProperty<int> later("Added later", &target);
    later.set(4);
    ValueProperty<int> switched("Runtime", &target);
    switched.setIsPersistent(false);

    const std::vector<RestoreProblem> problems = restoreProperties(target, file.path());
    for (const auto& property : properties) EXPECT_EQ("value of " + property->getName(), property->get());
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ("Added later", problems[0].property);
    EXPECT_EQ("Not in the file", problems[0].reason);
    EXPECT_EQ(4, later.get());
}
