#include "SimHarness.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace FilterTests;

namespace {

typedef std::function<bool(const Poco::Exception&)> Kind;

template <typename E>
Kind is()
{
    return [](const Poco::Exception& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

struct BadValue
{
    const char* property;
    const char* text;
    Kind expected;
    const char* why;
};

std::size_t requestCount(Sim::Simulator& simulator)
{
    return simulator.recorder().of(Sim::Record::Request).size();
}

} // namespace

// Every text a user can type wrongly into the filter's properties, on a connected filter
// with a two-pod network: each is refused with its exception, and neither the value nor
// the pods see anything of it.
TEST(BadInput, EveryFilterPropertyRefusesBadTextAndStaysPut)
{
    const std::vector<BadValue> table = {
        {"Frequency", "abc", is<Poco::DataFormatException>(), "not a number"},
        {"Frequency", "", is<Poco::DataFormatException>(), "empty"},
        {"Frequency", "100Hz", is<Poco::DataFormatException>(), "trailing unit"},
        {"Frequency", "1e3", is<Poco::DataFormatException>(), "exponent in an integer"},
        {"Frequency", "201", is<Poco::RangeException>(), "above 200"},
        {"Frequency", "24", is<Poco::RangeException>(), "below 25"},
        {"Frequency", "99999999999999999999", is<Poco::DataFormatException>(), "overflow"},
        {"Channel", "0", is<Poco::RangeException>(), "below 1"},
        {"Channel", "22", is<Poco::RangeException>(), "above 21"},
        {"Channel", "-3", is<Poco::RangeException>(), "negative"},
        {"Channel", "3.5", is<Poco::DataFormatException>(), "fraction"},
        {"Led", "2", is<Poco::DataFormatException>(), "bool out of 0/1"},
        {"Led", "yes", is<Poco::DataFormatException>(), "word for a bool"},
        {"Gyro On", "true", is<Poco::DataFormatException>(), "word for a bool"},
        {"connection", "maybe", is<Poco::DataFormatException>(), "word for a bool"},
        {"transmission", "-1", is<Poco::DataFormatException>(), "negative bool"},
        {"AutoPower Off", "99", is<Poco::RangeException>(), "unknown enum index"},
        {"AutoPower Off", "-1", is<Poco::DataFormatException>(), "negative enum index"},
        {"Acc mode", "3", is<Poco::RangeException>(), "unknown enum index"},
        {"Acc mode", "2g", is<Poco::DataFormatException>(), "entry text instead of index"},
        {"Mag mode", "42", is<Poco::RangeException>(), "unknown enum index"},
        {"Gyro mode", "4294967296", is<Poco::DataFormatException>(), "index overflow"},
        {"Sensor Index", "2", is<Poco::RangeException>(), "past the two pods"},
        {"Sensor Index", "-1", is<Poco::RangeException>(), "negative"},
        {"serial", "A10001 XYZ", is<Poco::SyntaxException>(), "non-hex serial"},
        {"serial", "A10001 0xG1", is<Poco::SyntaxException>(), "bad hex digit"},
        {"serial", "A10001 -5", is<Poco::SyntaxException>(), "negative serial"},
        {"serial", "A10001 a10001", is<Poco::ExistsException>(), "duplicate in another case"},
        {"serial", "A10001;A10002;A10001", is<Poco::ExistsException>(), "duplicate"},
        {"serial", "1 2 3 4 5 6 7 8 9 A B C D E F 10 11", is<Poco::RangeException>(), "too many pods"},
        {"serial", "123456789", is<Poco::SyntaxException>(), "more than 32 bits"},
        {"Drfn FW", "9.9", is<Poco::NoPermissionException>(), "read-only"},
        {"Ctrl SerialNumber", "1", is<Poco::NoPermissionException>(), "read-only"},
    };

    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
    h.connect("A10001 A10002");
    h.set("Frequency", "100");
    for (const BadValue& c : table)
    {
        SCOPED_TRACE(std::string(c.property) + " = \"" + c.text + "\" (" + c.why + ")");
        const std::string before = h.get(c.property);
        const std::size_t requests = requestCount(h.simulator);
        bool thrown = false;
        try
        {
            h.set(c.property, c.text);
        }
        catch (const Poco::Exception& e)
        {
            thrown = true;
            EXPECT_TRUE(c.expected(e)) << "got " << e.displayText();
        }
        EXPECT_TRUE(thrown);
        EXPECT_EQ(before, h.get(c.property));
        EXPECT_EQ(requests, requestCount(h.simulator)) << "the device heard of it";
    }
    EXPECT_EQ("A10001 A10002", h.get("serial"));
    EXPECT_TRUE(h.filter->getOutputs(0xA10001) && h.filter->getOutputs(0xA10002));
}
