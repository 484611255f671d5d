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

#if defined(_WIN32)
int parityOf(const SerialConfig& cfg)
{
    return cfg.dcb().Parity;
}
int xonOf(const SerialConfig& cfg)
{
    return static_cast<unsigned char>(cfg.dcb().XonChar);
}
/// How long a read waits for its first byte; -1 when it waits for the full count.
int firstByteWait(const SerialConfig& cfg)
{
    const COMMTIMEOUTS& t = cfg.commTimeouts();
    EXPECT_EQ(0u, t.WriteTotalTimeoutConstant + t.WriteTotalTimeoutMultiplier);
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD)
        return static_cast<int>(t.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant);
    return -1;
}
#else
int parityOf(const SerialConfig& cfg)
{
    return cfg.getParity();
}
int xonOf(const SerialConfig& cfg)
{
    return cfg.getXonChar();
}
int firstByteWait(const SerialConfig& cfg)
{
    return cfg.getFirstByteWait();
}
#endif

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
        EXPECT_EQ(i / 2, parityOf(*cfg)) << parities[i];
        EXPECT_EQ(17, xonOf(*cfg));
    }
    // Hardware handshake does not use the characters.
    Poco::AutoPtr<SerialConfig> hw(make('N', 0, 17, 17));
    EXPECT_EQ(0, xonOf(*hw));
#if defined(_WIN32)
    // Hardware: CTS and DSR watched, DTR and RTS as handshake; software: none of them.
    const DCB& h = hw->dcb();
    EXPECT_EQ("1 1 2 2 0 0", std::to_string(h.fOutxCtsFlow) + " " + std::to_string(h.fOutxDsrFlow) + " " +
                                 std::to_string(h.fDtrControl) + " " + std::to_string(h.fRtsControl) + " " +
                                 std::to_string(h.fOutX) + " " + std::to_string(h.fInX));
    Poco::AutoPtr<SerialConfig> sw(make('E', 1, 17, 19));
    const DCB& f = sw->dcb();
    EXPECT_EQ(0u, f.fOutxCtsFlow + f.fOutxDsrFlow + f.fDtrControl + f.fRtsControl);
    EXPECT_EQ(1u, f.fParity);
    EXPECT_EQ(0u, h.fParity);
#endif
}

TEST(SerialConfig, TimeoutDecidesHowLongAReadWaits)
{
    Poco::AutoPtr<SerialConfig> cfg(make('N', 0, 0, 0));
    EXPECT_EQ(150, firstByteWait(*cfg));
    cfg->setTimeout(0);
    EXPECT_EQ(-1, firstByteWait(*cfg)); // waits for the full count
    EXPECT_THROW(cfg->setTimeout(-2), Poco::InvalidArgumentException);
    EXPECT_EQ(0, cfg->getTimeout());
    cfg->setTimeoutImpl(30);
    EXPECT_EQ(30, firstByteWait(*cfg));
    cfg->setBlocking();
    EXPECT_EQ(-1, cfg->getTimeout());
    EXPECT_EQ(-1, firstByteWait(*cfg));
}
