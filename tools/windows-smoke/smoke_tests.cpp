#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

struct Port
{
    virtual ~Port() = default;
    virtual int write(const std::string& bytes) = 0;
};

struct MockPort : Port
{
    MOCK_METHOD(int, write, (const std::string& bytes), (override));
};

TEST(WindowsSmoke, PathsAndExceptions)
{
    Poco::Path p("C:\\pods\\left.ini");
    EXPECT_EQ(p.getFileName(), "left.ini");
    EXPECT_EQ(p.parent().toString(), "C:\\pods\\");
    EXPECT_THROW(Poco::File("C:\\windows\\no-such-file.bin").getSize(), Poco::FileNotFoundException);
}

TEST(WindowsSmoke, GoogleMock)
{
    MockPort port;
    EXPECT_CALL(port, write(testing::StartsWith("\x02"))).WillOnce(testing::Return(3));
    Port& p = port;
    EXPECT_EQ(p.write(std::string("\x02\x10\x03", 3)), 3);
}

} // namespace
