#include <Tarnlink/Sim/Wire.h>
#include <gtest/gtest.h>

using Tarnlink::Sim::Wire;

TEST(SimWire, ChannelTableAndHex)
{
    EXPECT_EQ(0x00u, Wire::channelCode(0));
    EXPECT_EQ(0x46u, Wire::channelCode(7));
    EXPECT_EQ(0x76u, Wire::channelCode(31));
    EXPECT_EQ(7u, Wire::channelIndex(0x46));
    EXPECT_EQ(32u, Wire::channelIndex(0x01));
    EXPECT_THROW(Wire::channelCode(32), std::exception);
    EXPECT_EQ("55 aa 55 aa 05 00 00 00", Wire::toHex(Wire::request(5, 0)));
    EXPECT_EQ(Wire::request(2, 0x86, 0x1234), Wire::fromHex("55aa55aa 02 86 12 34"));
}
