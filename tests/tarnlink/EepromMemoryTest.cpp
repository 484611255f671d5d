#include <Poco/Exception.h>
#include <Tarnlink/MemoryEEPROM.h>
#include <gtest/gtest.h>

using namespace Tarnlink;

TEST(EepromMemoryTest, RedeclaringKeepsTheFirstValueButCountsTheWidth)
{
    DataBlockMemory block(0x100);
    block.declareUInt32(0x100, 0xAABBCCDD);
    block.declareUInt32(0x100, 0x11223344);
    block.declareDouble(0x104, 1.5);
    EXPECT_EQ(0xAABBCCDDu, block.uint32At(0x100));
    EXPECT_EQ(16u, block.size());
    EXPECT_EQ(0x10Fu, block.lastAddress());
    EXPECT_EQ(2u, block.entryCount());

    block.storeDouble(0x104, -2.25);
    EXPECT_EQ(-2.25, block.doubleAt(0x104));
    // A store must not silently change a value's width or invent an address.
    EXPECT_THROW(block.storeByte(0x104, 1), Poco::InvalidArgumentException);
    EXPECT_THROW(block.storeByte(0x103, 1), Poco::NotFoundException);
    EXPECT_THROW(block.uint32At(0x104), Poco::InvalidArgumentException);
    EXPECT_EQ(-2.25, block.doubleAt(0x104));
}

TEST(EepromMemoryTest, AllocatingAnExistingBlockOnlyShrinksFreeSpaceAndSectorsAreFoundToTheirEdges)
{
    SectorMemoryEEPROM sector(0x20, 0xFA00, 0x100);
    sector.allocateBlock(0xFA00, 4).declareUInt32(0xFA00, 7);
    DataBlockMemory& again = sector.allocateBlock(0xFA00, 8);
    sector.allocateBlock(0xFA10, 1);
    EXPECT_EQ(7u, again.uint32At(0xFA00));
    EXPECT_EQ((std::vector<std::uint32_t>{0xFA00, 0xFA10}), sector.blockOrder());
    EXPECT_EQ(0x100u - 13, sector.freeBytes());
    EXPECT_EQ(0xFAFFu, sector.lastAddress());
    EXPECT_THROW(sector.block(0xFA04), Poco::NotFoundException);

    // Value semantics: a copy does not share its blocks.
    SectorMemoryEEPROM copy = sector;
    copy.block(0xFA00).storeUInt32(0xFA00, 9);
    EXPECT_EQ(7u, sector.block(0xFA00).uint32At(0xFA00));

    // Sector lookup at the edges.
    MemoryEEPROM image(0x800);
    image.addSector(0x21, 0xFB00, 0x100);
    image.addSector(0x20, 0xFA00, 0x80);
    EXPECT_EQ(0xFA00u, image.addSector(0x20, 0x0000, 0x10).start());

    EXPECT_EQ(0u, image.findSectorId(0xF9FF));
    EXPECT_EQ(0x20u, image.findSectorId(0xFA00));
    EXPECT_EQ(0x20u, image.findSectorId(0xFA7F));
    EXPECT_EQ(0u, image.findSectorId(0xFA80));
    EXPECT_EQ(0x21u, image.findSectorId(0xFBFF));
    EXPECT_EQ(0u, image.findSectorId(0xFC00));
    EXPECT_THROW(image.sector(0x22), Poco::NotFoundException);
    EXPECT_THROW(image.block(0xFC00), Poco::NotFoundException);
}
