#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/FirmwareImage.h>
#include <gtest/gtest.h>
#include <fstream>
#include <sstream>

using namespace Tarnlink;

namespace {

struct FirmwareFiles : ::testing::Test
{
    Poco::TemporaryFile dir;
    std::string path;

    void SetUp() override
    {
        Poco::File(dir.path()).createDirectories();
        path = Poco::Path(dir.path(), "fw.hex").toString();
    }
    /// Writes the firmware file and, unless told otherwise, a signature file with its digest.
    void write(const std::string& hex, const std::string& signatureSuffix = "", bool sign = true)
    {
        std::ofstream(path, std::ios::binary) << hex;
        if (sign) std::ofstream(path + ".md5", std::ios::binary) << FirmwareImage::signature(path) << signatureSuffix;
    }
    std::uint32_t fileWord(FirmwareImage& image, std::uint32_t address)
    {
        return image.entries().at(address).fileValue();
    }
};

} // namespace

TEST_F(FirmwareFiles, SignatureIsHmacMd5UnderTheFirmwareKey)
{
    // Worked out independently of this code.
    std::ofstream(path, std::ios::binary) << ":00000001FF\n";
    EXPECT_EQ("511231fa06892be20948ad9a83c33f38", FirmwareImage::signature(path));
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    EXPECT_EQ("4dde12d3e1c05b527994cc9fdca8ea3c", FirmwareImage::signature(path));
}

TEST_F(FirmwareFiles, RecordsWordsOddBytesDuplicatesAndTheReport)
{
    // Count 3 at 0x0010, a wrong checksum (00) accepted, then an overlapping record at 0x0012 that loses,
    // a non-data record ignored, blanks inside records, and the end record with junk after it.
    write(":03001000AABBCC00\r\n"
          ":02001200111100\n"
          ":0200000400FFFB\n"
          ": 02 0020 00 12 34 00\n"
          ":00000001FF\n"
          "garbage after the end");
    FirmwareImage image(path);
    ASSERT_TRUE(image.isValid());
    ASSERT_EQ(3u, image.entries().size());
    EXPECT_EQ(0xAABBu, fileWord(image, 0x10));
    EXPECT_FALSE(image.entries().at(0x10).oddByte);
    EXPECT_TRUE(image.entries().at(0x12).oddByte);
    EXPECT_EQ(0xCCu, fileWord(image, 0x12));
    EXPECT_EQ(0xCC00u, image.entries().at(0x12).fileWord.value(false));
    EXPECT_EQ(0x1234u, fileWord(image, 0x20));

    EXPECT_FALSE(image.matches());
    image.entries().at(0x10).eepromWord.setValue(0xAABB, true);
    image.entries().at(0x12).eepromWord.setValue(0xCC55, true); // only the high byte counts
    image.entries().at(0x20).eepromWord.setValue(0x1234, true);
    EXPECT_TRUE(image.matches());
    image.entries().at(0x12).eepromWord.setValue(0xCD00, true);
    EXPECT_FALSE(image.matches());
    std::ostringstream report;
    image.writeReport(report);
    EXPECT_EQ("File is valid\neeprom @10\taabb\nfile @10\taabb\neeprom @12\tcd\nfile @12\tcc\n"
              "eeprom @20\t1234\nfile @20\t1234\n",
              report.str());
    EXPECT_TRUE(report.flags() & std::ios::hex);

    // The address offset wraps in 16 bits.
    write(":02FFFE001234AA\n:00000001FF\n");
    FirmwareImage shifted(path, 4);
    ASSERT_TRUE(shifted.isValid());
    EXPECT_EQ(0x1234u, fileWord(shifted, 0x0002));
}

TEST_F(FirmwareFiles, InvalidFilesHoldNothing)
{
    const std::string good = ":020010001234AA\n:00000001FF\n";
    for (const std::string& bad : {std::string(":020010001234AA\n"),              // no end record
                                   std::string(":020010001234AA;:00000001FF\n"),  // other separator
                                   std::string(":0200100012G4AA\n:00000001FF\n"), // G is no hex digit
                                   std::string(":0200100012"),                    // cut short
                                   std::string(":020010001234AA\n:00000001\n")})
    { // end record without checksum
        write(bad);
        FirmwareImage image(path);
        EXPECT_FALSE(image.isValid()) << bad;
        EXPECT_TRUE(image.entries().empty()) << bad;
        EXPECT_FALSE(image.matches());
        std::ostringstream report;
        image.writeReport(report);
        EXPECT_EQ("File not valid\n", report.str());
    }

    write(good, "\r\n");
    EXPECT_TRUE(FirmwareImage(path).isValid());
    write(good, " ");
    EXPECT_FALSE(FirmwareImage(path).isValid());
    write(good, "", false);
    std::string upper = FirmwareImage::signature(path);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::ofstream(path + ".md5", std::ios::binary) << upper;
    EXPECT_FALSE(FirmwareImage(path).isValid());

    Poco::File(path + ".md5").remove();
    EXPECT_THROW(FirmwareImage image(path), Poco::FileException);
    EXPECT_THROW(FirmwareImage image(path + ".missing"), Poco::FileException);
}
