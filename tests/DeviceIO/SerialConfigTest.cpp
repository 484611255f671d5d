#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Serial/SerialConfig.h>
#include <Poco/Exception.h>
#include <gtest/gtest.h>

using namespace Poco::DeviceIO::Serial;

namespace {

SerialConfig* make(char parity, unsigned flowControl, unsigned char xon, unsigned char xoff)
{
    return new SerialConfig("port", 115200, 8, parity, 0, flowControl, xon, xoff, false, 4, 64, 150);
}

template <typename E>
std::string messageOf(char parity, unsigned flowControl, unsigned char xon, unsigned char xoff)
{
    try
    {
        Poco::AutoPtr<SerialConfig> cfg(make(parity, flowControl, xon, xoff));
    }
    catch (const E& e)
    {
        return e.message();
    }
    return "no exception";
}

} // namespace

TEST(SerialConfig, RefusesBadParityAndFlowControl)
{
    EXPECT_EQ("SerialConfigImpl::setParityCharImpl(X)", messageOf<Poco::InvalidArgumentException>('X', 0, 0, 0));
    EXPECT_EQ("Invalid argument supplied. Flow control not set.",
              messageOf<Poco::InvalidArgumentException>('N', 2, 17, 19));
    EXPECT_EQ("XON == XOFF - not set.", messageOf<Poco::InvalidAccessException>('N', 1, 17, 17));

    const char parities[] = "NnOoEeMmSs";
    for (int i = 0; i < 10; ++i)
    {
        Poco::AutoPtr<SerialConfig> cfg(make(parities[i], 1, 17, 19));
        EXPECT_EQ(i / 2, cfg->getParity()) << parities[i];
        EXPECT_EQ(17, cfg->getXonChar());
    }
    // Hardware handshake does not use the characters.
    Poco::AutoPtr<SerialConfig> hw(make('N', 0, 17, 17));
    EXPECT_EQ(0, hw->getXonChar());
}

TEST(SerialConfig, TimeoutDecidesHowLongAReadWaits)
{
    Poco::AutoPtr<SerialConfig> cfg(make('N', 0, 0, 0));
    EXPECT_EQ(150, cfg->getFirstByteWait());
    cfg->setTimeout(0);
    EXPECT_EQ(-1, cfg->getFirstByteWait()); // waits for the full count
    EXPECT_THROW(cfg->setTimeout(-2), Poco::InvalidArgumentException);
    EXPECT_EQ(0, cfg->getTimeout());
    cfg->setTimeoutImpl(30);
    EXPECT_EQ(30, cfg->getFirstByteWait());
    cfg->setBlocking();
    EXPECT_EQ(-1, cfg->getTimeout());
    EXPECT_EQ(-1, cfg->getFirstByteWait());
}
