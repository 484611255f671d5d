#include <Poco/DeviceIO/Channel.h>
#include <Poco/Exception.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>

using namespace Poco::DeviceIO;

namespace {

class CountingConfig : public ChannelConfig
{
public:
    CountingConfig() : ChannelConfig("dev", 100) {}
    ~CountingConfig() override { ++destroyed; }
    static int destroyed;
};
int CountingConfig::destroyed = 0;

class FakeChannel : public Channel
{
public:
    explicit FakeChannel(ChannelConfig* cfg) : Channel(cfg, "") {}
    void open() override {}
    void close() override {}
    void setTimeout(int ms) override
    {
        overridden = ms;
        Channel::setTimeout(ms);
    }
    int read(char*& buffer) override
    {
        ++pendingReads;
        buffer = static_cast<char*>(std::calloc(pending.size() + 1, 1));
        std::memcpy(buffer, pending.data(), pending.size());
        return static_cast<int>(pending.size());
    }
    int read(char* buffer, int length) override
    {
        ++sizedReads;
        lastLength = length;
        int n = std::min<int>(length, static_cast<int>(pending.size()));
        std::memcpy(buffer, pending.data(), static_cast<std::size_t>(n));
        return n;
    }
    int write(const char*, int length) override { return length; }

    std::string pending;
    int overridden = -100;
    int pendingReads = 0;
    int sizedReads = 0;
    int lastLength = 0;
};

} // namespace

TEST(ChannelConfig, TimeoutValidation)
{
    Poco::AutoPtr<ChannelConfig> cfg(new CountingConfig);
    cfg->setTimeout(-1);
    EXPECT_EQ(-1, cfg->getTimeout());
    cfg->setTimeout(0);
    EXPECT_EQ(0, cfg->getTimeout());
    try
    {
        cfg->setTimeout(-2);
        FAIL() << "accepted -2";
    }
    catch (const Poco::InvalidArgumentException& e)
    {
        EXPECT_EQ("Invalid timeout value", e.message());
    }
    EXPECT_EQ(0, cfg->getTimeout());
    cfg->setTimeoutImpl(-7); // no validation on the implementation path
    EXPECT_EQ(-7, cfg->getTimeout());
    cfg->setBlocking();
    EXPECT_EQ(-1, cfg->getTimeout());
}

TEST(Channel, ApplyTimeoutReachesOverrideAndConfig)
{
    Poco::AutoPtr<ChannelConfig> cfg(new CountingConfig);
    Poco::AutoPtr<FakeChannel> ch(new FakeChannel(cfg.get()));
    ch->applyTimeout(250);
    EXPECT_EQ(250, ch->overridden);
    EXPECT_EQ(250, cfg->getTimeout());
    ch->setBlocking();
    EXPECT_EQ(-1, cfg->getTimeout());
}

TEST(Channel, WithoutConfigurationThrowsNullPointer)
{
    Poco::AutoPtr<FakeChannel> ch(new FakeChannel(nullptr));
    EXPECT_THROW(ch->setTimeout(10), Poco::NullPointerException);
    EXPECT_THROW(ch->setBlocking(), Poco::NullPointerException);
}

TEST(Channel, ReadStringChoosesReadAndKeepsOnlyReturnedBytes)
{
    Poco::AutoPtr<ChannelConfig> cfg(new CountingConfig);
    Poco::AutoPtr<FakeChannel> ch(new FakeChannel(cfg.get()));
    std::string out = "stale";
    ch->readString(out, 16);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(1, ch->sizedReads);
    EXPECT_EQ(16, ch->lastLength);

    ch->pending = std::string("\x01\x00\x02", 3);
    ch->readString(out, 0);
    EXPECT_EQ(1, ch->pendingReads);
    EXPECT_EQ(std::string("\x01\x00\x02", 3), out);

    ch->readString(out, 2);
    EXPECT_EQ(std::string("\x01\x00", 2), out);
}

TEST(Channel, LastReferenceReleasesConfiguration)
{
    CountingConfig::destroyed = 0;
    Poco::AutoPtr<ChannelConfig> cfg(new CountingConfig);
    {
        Poco::AutoPtr<FakeChannel> ch(new FakeChannel(cfg.get()));
        EXPECT_EQ(2, cfg->referenceCount());
    }
    EXPECT_EQ(1, cfg->referenceCount());
    EXPECT_EQ(0, CountingConfig::destroyed);
    cfg = nullptr;
    EXPECT_EQ(1, CountingConfig::destroyed);
}
