#include "MessageOf.h"
#include "Quillmesh/Core/CommandProperty.h"
#include "Quillmesh/Core/EnumProperty.h"
#include "Quillmesh/Core/FileNameProperty.h"
#include "Quillmesh/Core/PropertyDescription.h"
#include "Quillmesh/Core/RangeProperty.h"
#include "Quillmesh/Core/StringProperty.h"
#include "Quillmesh/Core/ValueProperty.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <string>
#include <thread>
#include <vector>

using namespace Quillmesh::Core;

namespace {

struct Owner
{
    std::vector<int> seen;
    int calls = 0;
    bool refuse = false;
    void onInt(const int& v)
    {
        seen.push_back(v);
        if (refuse) throw Poco::IOException("device said no");
    }
    void onAny() { ++calls; }
};

struct CountingObserver : PropertyObserver
{
    int values = 0;
    int attributes = 0;
    void valueChanged(const AbstractProperty&) override { ++values; }
    void attributeChanged(const AbstractProperty&) override { ++attributes; }
};

} // namespace

// set() and, under a lock already held, setUnlocked() alike: a refused value leaves the stored
// one and reaches the handler only when the property is writable.
TEST(ValueProperty, RefusedValuesLeaveTheStoredOneAndReachTheHandlerOnlyWhenAllowed)
{
    PropertyBag bag;
    Owner owner;
    ValueProperty<int> property("Level", &bag);
    property.bind(&owner, &Owner::onInt);
    CountingObserver observer;
    property.addObserver(&observer);
    property.set(3);
    EXPECT_EQ(3, property.get());
    EXPECT_EQ(std::vector<int>{3}, owner.seen);

    property.setIsWritable(false);
    EXPECT_EQ("Property 'Level' is not writable",
              Tests::messageOf<Poco::NoPermissionException>([&] { property.set(4); }));
    EXPECT_EQ(3, property.get());
    EXPECT_EQ(std::vector<int>{3}, owner.seen) << "handler ran for a non-writable property";

    property.setIsWritable(true);
    owner.refuse = true;
    EXPECT_THROW(property.set(5), Poco::IOException);
    EXPECT_EQ(3, property.get()) << "a throwing handler must leave the old value";
    EXPECT_EQ((std::vector<int>{3, 5}), owner.seen) << "the handler sees the new value before it is stored";

    owner.refuse = false;
    {
        Synchronizer::DisablerLocker lock(&property.getSynchronizer());
        property.setUnlocked(6);
        EXPECT_EQ((std::vector<int>{3, 5, 6}), owner.seen) << "the handler must run";
        EXPECT_EQ(2, observer.values);

        property.setIsWritable(false);
        EXPECT_THROW(property.setUnlocked(7), Poco::NoPermissionException);
        property.setIsWritable(true);
        owner.refuse = true;
        EXPECT_THROW(property.setUnlocked(8), Poco::IOException);
    }
    EXPECT_EQ(6, property.get());
    EXPECT_EQ((std::vector<int>{3, 5, 6, 8}), owner.seen);
    EXPECT_EQ(2, observer.values);
}

TEST(ValueProperty, TextFormsRoundTripAndBadTextIsRefused)
{
    PropertyBag bag;
    ValueProperty<bool> flag("Flag", &bag);
    std::string text;
    flag.set(true);
    flag.serialize(text);
    EXPECT_EQ("1", text);
    flag.set(false);
    flag.serialize(text);
    EXPECT_EQ("0", text);
    flag.deSerialize("1");
    EXPECT_TRUE(flag.get());
    flag.deSerialize("0");
    EXPECT_FALSE(flag.get());
    for (const char* bad : {"true", "2", "", "1x"})
        EXPECT_THROW(flag.deSerialize(bad), Poco::DataFormatException) << '"' << bad << '"';
    EXPECT_FALSE(flag.get());

    ValueProperty<int> number("Number", &bag);
    number.deSerialize(" -42 ");
    EXPECT_EQ(-42, number.get());
    number.serialize(text);
    EXPECT_EQ("-42", text);
    for (const char* bad : {"12abc", "abc", "", "99999999999"})
        EXPECT_THROW(number.deSerialize(bad), Poco::DataFormatException) << '"' << bad << '"';
    EXPECT_EQ(-42, number.get());

    ValueProperty<unsigned> index("Index", &bag);
    EXPECT_THROW(index.deSerialize("-1"), Poco::DataFormatException);
    index.deSerialize("7");
    EXPECT_EQ(7u, index.get());

    // Found by fuzzing: six significant digits lost most of a double on the way through text.
    ValueProperty<double> real("Real", &bag);
    for (double value : {1.1111111111111111e32, 0.1, -2.5e-300, 1.0 / 3.0})
    {
        real.set(value);
        real.serialize(text);
        real.set(0);
        real.deSerialize(text);
        EXPECT_EQ(value, real.get()) << text;
    }
    real.set(0.1);
    real.serialize(text);
    EXPECT_EQ("0.1", text);

    ValueProperty<std::string> name("Name", &bag);
    name.deSerialize("  two words ; and more ");
    name.serialize(text);
    EXPECT_EQ("  two words ; and more ", text);
}

TEST(ValueProperty, AnyAccessIsTyped)
{
    PropertyBag bag;
    ValueProperty<int> property("Level", &bag);
    property.setAny(Poco::Any(12));
    EXPECT_EQ(12, property.get());
    EXPECT_THROW(property.setAny(Poco::Any(std::string("12"))), Poco::BadCastException);
    EXPECT_THROW(property.setAny(Poco::Any(12u)), Poco::BadCastException);
    EXPECT_EQ(12, property.get());
    const int* value = Poco::AnyCast<const int*>(property.getAny());
    EXPECT_EQ(12, *value);
    property.set(13);
    EXPECT_EQ(13, *value) << "getAny points at the live value";
}

// Observers that change the list while they are told: each present observer hears a change
// once, one removed by another is not told, one added is told from the next change on.
TEST(ValueProperty, ObserversHearRealChangesAndMayJoinAndLeaveWhileTheyAreTold)
{
    struct Changer : CountingObserver
    {
        std::function<void()> onValue;
        void valueChanged(const AbstractProperty& property) override
        {
            CountingObserver::valueChanged(property);
            if (onValue) onValue();
        }
    };
    PropertyBag bag;
    ValueProperty<int> property("Level", &bag);
    {
        CountingObserver observer;
        property.addObserver(&observer);
        property.set(1);
        property.set(1);
        property.set(2);
        EXPECT_EQ(2, observer.values) << "only real changes";
        property.setIsPersistent(false);
        property.notifyAttributeChanged();
        EXPECT_EQ(1, observer.attributes);
        property.removeObserver(&observer);
        property.set(3);
        EXPECT_EQ(2, observer.values);
    }

    Changer leaver;
    CountingObserver second;
    Changer third;
    CountingObserver fourth;
    std::vector<std::unique_ptr<CountingObserver>> joined;
    leaver.onValue = [&] { property.removeObserver(&leaver); };
    third.onValue = [&] {
        property.removeObserver(&fourth);
        for (int i = 0; i < 8; ++i)
        {
            joined.push_back(std::make_unique<CountingObserver>());
            property.addObserver(joined.back().get());
        }
    };
    property.addObserver(&leaver);
    property.addObserver(&second);
    property.addObserver(&third);
    property.addObserver(&fourth);
    property.set(1);
    EXPECT_EQ(1, leaver.values);
    EXPECT_EQ(1, second.values);
    EXPECT_EQ(1, third.values);
    EXPECT_EQ(0, fourth.values) << "removed before its turn";
    ASSERT_EQ(8u, joined.size());
    EXPECT_EQ(0, joined.front()->values) << "joined during the change";
    third.onValue = nullptr;
    property.set(2);
    EXPECT_EQ(1, leaver.values);
    EXPECT_EQ(2, second.values);
    EXPECT_EQ(1, joined.front()->values);
}

TEST(RangeProperty, OutOfRangeValuesNeverReachTheHandler)
{
    PropertyBag bag;
    Owner owner;
    RangeProperty<int> channel("Channel", &bag, 1, 21, 1);
    EXPECT_EQ(1, channel.get()) << "a new range property starts inside its range";
    channel.bind(&owner, &Owner::onInt);
    channel.set(21);
    channel.set(1);
    EXPECT_EQ("22 does not fit in [1;21], (step : 1)",
              Tests::messageOf<Poco::RangeException>([&] { channel.set(22); }));
    RangeProperty<int> frequency("Frequency", &bag, 25, 200, 25);
    EXPECT_EQ("-5 does not fit in [25;200], (step : 25)",
              Tests::messageOf<Poco::RangeException>([&] { frequency.deSerialize("-5"); }));
    frequency.set(30);
    EXPECT_EQ(30, frequency.get()) << "the step is not enforced";
    EXPECT_EQ((std::vector<int>{21, 1}), owner.seen);
    EXPECT_EQ(1, channel.get());

    channel.setIsWritable(false);
    EXPECT_THROW(channel.set(0), Poco::NoPermissionException) << "writability is checked before the range";

    channel.setIsWritable(true);
    channel.set(15);
    CountingObserver observer;
    channel.addObserver(&observer);
    channel.setRange(1, 20, 1);
    EXPECT_EQ(0, observer.values) << "a value inside the new range did not change";
    EXPECT_EQ(1, observer.attributes);
    channel.setRange(1, 10, 1);
    EXPECT_EQ(1, channel.get()) << "a value outside a new range falls back to the minimum";
    EXPECT_EQ(1, observer.values) << "observers must hear of the value the range forced";
    EXPECT_EQ((std::vector<int>{21, 1, 15}), owner.seen);
}

TEST(EnumProperty, IndexChecksAgainstEntriesOnlyWhenThereAreSome)
{
    PropertyBag bag;
    Owner owner;
    EnumProperty<std::string> mode("Mode", &bag);
    mode.bind(&owner, &Owner::onAny);
    mode.set(1000);
    EXPECT_EQ(1000u, mode.get()) << "no entries: any index";

    int listened = 0;
    mode.setListener(new Util::System::Functor<void>([&listened] { ++listened; }));
    mode.addEntry("2g");
    mode.addEntry("4g");
    EXPECT_EQ(2, listened);
    EXPECT_THROW(mode.set(2), Poco::RangeException);
    EXPECT_EQ(1, owner.calls);
    mode.deSerialize("1");
    EXPECT_EQ("4g", mode.getEntry());
    std::string text;
    mode.serialize(text);
    EXPECT_EQ("1", text) << "an enum is saved as its index";
    EXPECT_EQ(2, owner.calls);
}

TEST(StringProperty, ExpandsVariablesOnlyWhenAskedAndKeepsTheRawText)
{
    Poco::Environment::set("HOST_TEST_DIR", "/tmp/quill");
    // In the system's own syntax.
#if defined(_WIN32)
    const std::string raw = "%HOST_TEST_DIR%/log.txt";
#else
    const std::string raw = "${HOST_TEST_DIR}/log.txt";
#endif
    PropertyBag bag;
    FileNameProperty file("LogFile", &bag);
    file.set(raw);
    EXPECT_EQ(raw, file.get());
    file.setExpandVariables(true);
    EXPECT_EQ("/tmp/quill/log.txt", file.get());
    std::string text;
    file.serialize(text);
    EXPECT_EQ(raw, text);
    EXPECT_EQ("*", file.getPattern());
}

TEST(CommandProperty, RunsItsHandlerOnlyWhileWritable)
{
    PropertyBag bag;
    Owner owner;
    CommandProperty command("Switch Off", &bag);
    command.bind(&owner, &Owner::onAny);
    command.deSerialize("anything");
    command.setAny(Poco::Any());
    EXPECT_EQ(2, owner.calls);
    CountingObserver observer;
    command.addObserver(&observer);
    command.setIsWritable(false);
    EXPECT_EQ(1, observer.attributes);
    EXPECT_THROW(command.execute(), Poco::NoPermissionException);
    EXPECT_EQ(2, owner.calls);
    EXPECT_FALSE(command.getIsPersistent());
}

TEST(PropertyVisitor, VisitorsSeeTheExactKindOrFallBackToTheBase)
{
    PropertyBag bag;
    ValueProperty<bool> flag("Flag", &bag);
    ValueProperty<int> number("Number", &bag);
    RangeProperty<int> range("Range", &bag, 1, 3, 1);
    EnumProperty<std::string> choice("Choice", &bag);
    choice.addEntry("a");
    choice.addEntry("b");
    StringProperty text("Text", &bag);
    FileNameProperty file("File", &bag, "*.log");
    CommandProperty command("Go", &bag);
    ValueProperty<double> other("Other", &bag);

    std::vector<std::string> kinds;
    for (const AbstractProperty* property : bag.getProperties()) kinds.push_back(describeProperty(*property).kind);
    EXPECT_EQ((std::vector<std::string>{"bool", "int", "range", "enum", "text", "file", "command", "other"}), kinds);
    EXPECT_EQ("[1;3] step 1", describeProperty(range).details);
    EXPECT_EQ("0=a, 1=b", describeProperty(choice).details);
    EXPECT_EQ("*.log", describeProperty(file).details);
}

TEST(PropertyBag, KeepsCreationOrderAndForgetsDestroyedProperties)
{
    PropertyBag bag;
    ValueProperty<int> first("First", &bag);
    {
        ValueProperty<int> second("Second", &bag);
        EXPECT_EQ(&second, bag.find("Second"));
    }
    ValueProperty<int> third("Third", &bag);
    ASSERT_EQ(2u, bag.getProperties().size());
    EXPECT_EQ("Third", bag.getProperties()[1]->getName());
    EXPECT_EQ(nullptr, bag.find("Second"));
    EXPECT_THROW(bag.get("Second"), Poco::NotFoundException);
}

TEST(Synchronizer, AThreadKnowsWhatItHoldsAtAnyDepthAndInAnyReleaseOrder)
{
    // Array order is address order, the order nested locks must follow.
    Synchronizer synchronizers[20];
    std::vector<std::unique_ptr<Synchronizer::DisablerLocker>> locks;
    for (Synchronizer& synchronizer : synchronizers)
        locks.emplace_back(new Synchronizer::DisablerLocker(&synchronizer));
    locks.emplace_back(new Synchronizer::DisablerLocker(&synchronizers[19])); // again: recursive
    EXPECT_TRUE(synchronizers[19].isHeldByThisThread());
    // One from among the first ones, while more are held than fit in place.
    locks[2].reset();
    EXPECT_FALSE(synchronizers[2].isHeldByThisThread());
    EXPECT_TRUE(synchronizers[3].isHeldByThisThread());
    EXPECT_TRUE(synchronizers[16].isHeldByThisThread());
    locks.back().reset();
    EXPECT_TRUE(synchronizers[19].isHeldByThisThread()) << "held once more";
    locks[19].reset();
    EXPECT_FALSE(synchronizers[19].isHeldByThisThread());
    EXPECT_TRUE(synchronizers[18].isHeldByThisThread());
    locks.clear();
    EXPECT_FALSE(Synchronizer::isAnyHeldByThisThread());
    Synchronizer::DisablerLocker lock(&synchronizers[0]);
    std::thread other([&] {
        EXPECT_FALSE(synchronizers[0].isHeldByThisThread());
        EXPECT_FALSE(Synchronizer::isAnyHeldByThisThread());
    });
    other.join();
}
