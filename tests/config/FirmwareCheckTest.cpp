#include "config/FirmwareCheck.h"

#include <gtest/gtest.h>

#include "config/LimitationTable.h"
#include "tests/config/TablesTestSupport.h"

namespace {

using tables_test::TempFolderTest;
namespace fs = std::filesystem;

// An image of `size` bytes carrying `version` at 0x204 and `signature` at size - 6.
std::vector<uint8_t> Image(std::vector<uint8_t> version, uint8_t signature, size_t size = 0x1000)
{
    std::vector<uint8_t> image(size, 0x00);
    std::copy(version.begin(), version.end(), image.begin() + 0x204);
    image[size - 6] = signature;
    return image;
}

class FirmwareFile : public TempFolderTest {};

TEST_F(FirmwareFile, NameWithUnderscoresMatchesImageVersionWhateverTheCase)
{
    const std::string path = Path("BR_USB4_24_1231_0a_bCdE.bin");
    ASSERT_EQ(path.substr(path.size() - 27), "BR_USB4_24_1231_0a_bCdE.bin");
    WriteBytes(path, Image({0x24, 0x12, 0x31, 0x0A, 0xBC, 0xDE}, 0x5A));
    EXPECT_EQ(strFWVersionFromFileName(path), "2412310abCdE");
    EXPECT_EQ(strFWVersionFromImage(*ReadWholeFile(path)), "2412310abcde");
    EXPECT_TRUE(bCheckFWFile(path));

    const std::string other = Path("BR_USB4_24_1231_0a_bCdF.bin");
    WriteBytes(other, Image({0x24, 0x12, 0x31, 0x0A, 0xBC, 0xDE}, 0x5A));
    EXPECT_FALSE(bCheckFWFile(other));
    EXPECT_TRUE(TraceHas("bCheckFWFile FAIL: strFWFileName : 2412310abCdF , strFWFileNameFromFile : 2412310abcde"));
}

TEST_F(FirmwareFile, LengthAndPrefixRules)
{
    // A bare 26-character name is shorter than the rule's 27 characters.
    EXPECT_FALSE(bCheckFWFile("BR_USB4_24_1231_00_001.bin"));
    EXPECT_TRUE(TraceHas("len check fail : strFWFileName : BR_USB4_24_1231_00_001.bin"));

    // No prefix in the last 27 characters.
    const std::string noPrefix = Path("XX_USB4_24_1231_00_0001.bin");
    WriteBytes(noPrefix, Image({0x24, 0x12, 0x31, 0x00, 0x00, 0x01}, 0x5A));
    EXPECT_FALSE(bCheckFWFile(noPrefix));
    EXPECT_TRUE(TraceHas("file name check fail : strFWFileName : " + noPrefix));

    // The prefix in a folder name passes the prefix rule, but the version field is
    // still taken from the file name, which does not match.
    fs::create_directories(m_Dir / "BR_USB4_");
    const std::string inFolder = Path("BR_USB4_/241231000001.bin");
    WriteBytes(inFolder, Image({0x24, 0x12, 0x31, 0x00, 0x00, 0x01}, 0x5A));
    EXPECT_FALSE(bCheckFWFile(inFolder));
    EXPECT_FALSE(TraceHas("file name check fail : strFWFileName : " + inFolder));
    EXPECT_TRUE(TraceHas("bCheckFWFile FAIL: strFWFileName : 0001.bin"));
}

TEST_F(FirmwareFile, MissingOrTruncatedImagesFailSafely)
{
    const std::string missing = Path("BR_USB4_24_1231_00_0001.bin");
    EXPECT_FALSE(bCheckFWFile(missing));
    EXPECT_EQ(uGet7951FWSignatureFromeBin(missing), kFWNoSignature);
    EXPECT_TRUE(TraceHas("strFWFileName : " + missing + " , dwErrorCode"));

    // Too short to hold the version bytes: no read beyond the end, and a failure.
    const std::string shortImage = Path("BR_USB4_00_0000_00_0000.bin");
    WriteBytes(shortImage, std::vector<uint8_t>(0x209, 0x00));
    EXPECT_FALSE(bCheckFWFile(shortImage));

    // Shorter than the signature offset: no signature.
    const std::string tiny = Path("tiny.bin");
    WriteBytes(tiny, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A});
    EXPECT_EQ(uGet7951FWSignatureFromeBin(tiny), kFWNoSignature);
    WriteBytes(tiny, {0x87, 1, 2, 3, 4, 5});
    EXPECT_EQ(uGet7951FWSignatureFromeBin(tiny), 0x87);
}

// Each way a firmware file is unusable has its own words, naming the file.
TEST_F(FirmwareFile, RefusalNamesWhatIsWrongWithTheFile)
{
    const std::string path = Path("BR_USB4_24_1231_00_0001.bin");
    const std::string file = "the firmware file " + path;
    EXPECT_EQ(strFWFileRefusal(path), file + " does not exist");
    WriteBytes(path, {});
    EXPECT_EQ(strFWFileRefusal(path), file + " is empty");
    WriteBytes(path, std::vector<uint8_t>(0x100, 0x5A));
    EXPECT_EQ(strFWFileRefusal(path), file + " is 256 bytes, too short for a firmware image");
    WriteBytes(path, Image({0x24, 0x12, 0x31, 0x00, 0x00, 0x01}, 0x11));
    EXPECT_EQ(strFWFileRefusal(path),
              file + " ends with the signature byte 0x11, which belongs to no chip (a damaged or foreign image)");
    WriteBytes(path, Image({0x24, 0x12, 0x31, 0x00, 0x00, 0x02}, 0x5A));
    EXPECT_EQ(strFWFileRefusal(path), file + " holds version 241231000002 but its name says 241231000001");
    WriteBytes(path, Image({0x24, 0x12, 0x31, 0x00, 0x00, 0x01}, 0x5A));
    EXPECT_EQ(strFWFileRefusal(path), "");
}

TEST_F(FirmwareFile, SignatureByteSixFromTheEnd)
{
    const std::string path = Path("fw.bin");
    WriteBytes(path, Image({}, 0xC3, 0x3000));
    EXPECT_EQ(uGet7951FWSignatureFromeBin(path), 0xC3);
    EXPECT_TRUE(bCmp7951ChipAndFWVersion(2, uGet7951FWSignatureFromeBin(path)));
    EXPECT_FALSE(bCmp7951ChipAndFWVersion(3, uGet7951FWSignatureFromeBin(path)));
}

TEST(FirmwareSignature, EveryRevisionAcceptsItsChecksumAndCRC32FormOnly)
{
    const uint8_t table[8][2] = {{0x5A, 0xA5}, {0x4B, 0xB4}, {0x3C, 0xC3}, {0x2D, 0xD2},
                                 {0x1E, 0xE1}, {0x0F, 0xF0}, {0x69, 0x96}, {0x78, 0x87}};
    for (unsigned rev = 0; rev < 8; ++rev) {
        for (unsigned sig = 0; sig < 256; ++sig) {
            const bool expected = sig == table[rev][0] || sig == table[rev][1];
            EXPECT_EQ(bCmp7951ChipAndFWVersion(rev, static_cast<uint8_t>(sig)), expected)
                << "rev " << rev << " sig " << sig;
        }
    }
    // A missing file's 0xFF matches no revision.
    for (unsigned rev = 0; rev < 8; ++rev) EXPECT_FALSE(bCmp7951ChipAndFWVersion(rev, kFWNoSignature));
}

TEST_F(FirmwareFile, RevisionAboveSevenIsRejected)
{
    EXPECT_TRUE(bCmp7951ChipAndFWVersion(7, 0x87));
    EXPECT_FALSE(bCmp7951ChipAndFWVersion(8, 0x87));
    EXPECT_TRUE(TraceHas("unmatch chip maj rev:8"));
    EXPECT_FALSE(bCmp7951ChipAndFWVersion(1, 0x5A));
    EXPECT_TRUE(TraceHas("match:0, chip maj rev:1, FW sig from bin:5A, FW sig(chk sum):4B, FW sig(CRC32):B4"));
}

TEST_F(FirmwareFile, BcdRevisionFromTheDateInTheName)
{
    const std::string december = Path("BR_USB4_24_1231_00_0001.bin");
    WriteBytes(december, {0});
    // "24_123..." is not six digits: the underscore is part of the date field.
    EXPECT_EQ(strBcdRevisionFromFWFile(december), std::nullopt);

    const std::string plain = Path("BR_USB4_241231_0000001.bin");
    WriteBytes(plain, {0});
    EXPECT_EQ(strBcdRevisionFromFWFile(plain), "4C31");
    const std::string january = Path("BR_USB4_250105_0000001.bin");
    WriteBytes(january, {0});
    EXPECT_EQ(strBcdRevisionFromFWFile(january), "5105");

    // Folder with the prefix: the name's date counts.
    fs::create_directories(m_Dir / "BR_USB4_991299");
    const std::string nested = Path("BR_USB4_991299/BR_USB4_261007_0000001.bin");
    WriteBytes(nested, {0});
    EXPECT_EQ(strBcdRevisionFromFWFile(nested), "6A07");

    EXPECT_EQ(strBcdRevisionFromFWFile(Path("BR_USB4_241231_missing.bin")), std::nullopt);
    const std::string badMonth = Path("BR_USB4_241331_0000001.bin");
    WriteBytes(badMonth, {0});
    EXPECT_EQ(strBcdRevisionFromFWFile(badMonth), std::nullopt);
    const std::string shortName = Path("BR_USB4_2412");
    WriteBytes(shortName, {0});
    EXPECT_EQ(strBcdRevisionFromFWFile(shortName), std::nullopt);
}

TEST_F(FirmwareFile, BcdSyncStoresTheRevisionOnlyWhenSwitchedOnAndDerivable)
{
    const std::string path = Path("BR_USB4_241231_0000001.bin");
    WriteBytes(path, {0});
    IniSettings ini = DefaultIniSettings();
    SetIniString(ini.fw_binary_name, path);
    ini.USB4_BcdSync = 0;
    EXPECT_FALSE(bSyncUSB4BcdProductFWRevision(ini));
    EXPECT_STREQ(ini.USB4_BcdProductFWRevision, "1234");
    ini.USB4_BcdSync = 1;
    EXPECT_TRUE(bSyncUSB4BcdProductFWRevision(ini));
    EXPECT_STREQ(ini.USB4_BcdProductFWRevision, "4C31");
    SetIniString(ini.fw_binary_name, Path("BR_USB4_24.bin"));
    EXPECT_FALSE(bSyncUSB4BcdProductFWRevision(ini));
    EXPECT_STREQ(ini.USB4_BcdProductFWRevision, "4C31");
}

class Limitation : public TempFolderTest {
protected:
    static LimitationDeviceTexts Device(std::string fw)
    {
        return {std::move(fw), "Brevnor", "BRV795X series", "2B9D", "7953"};
    }
};

TEST_F(Limitation, LoadsKeysInAnySectionAndCaseWithComments)
{
    WriteText(Path(kLimitationTableFileName),
              "[chk_item]\r\n"
              "CHECK_FW_VERSION = 1 // on\r\n"
              "check_vid=1\r\n"
              "check_part_of_fw_version=1\r\n"
              "[chk_value]\r\n"
              "fw_version = 2412310a0001   // expected\r\n"
              "manufacture_string=//Brevnor\r\n"
              "vid=2B9D\r\n"
              "start_address_of_part_of_fw_version=2\r\n"
              "part_of_fw_version_length=4x\r\n"
              "unknown_key=5\r\n"
              "check_pid=1\r\n");
    CLimitationTable limitation;
    ASSERT_TRUE(limitation.vLoadLimitationTableFromFolder(m_Dir.string()));
    EXPECT_TRUE(limitation.bLoaded());
    const LimitationTable& t = limitation.Table();
    EXPECT_EQ(t.check_fw_version, 1);
    EXPECT_EQ(t.check_vid, 1);
    EXPECT_EQ(t.check_pid, 1);
    EXPECT_EQ(t.check_manufacture_string, 0);
    EXPECT_EQ(t.fw_version, "2412310a0001");
    EXPECT_EQ(t.manufacture_string, "//Brevnor");
    EXPECT_EQ(t.start_address_of_part_of_fw_version, 2);
    EXPECT_EQ(t.part_of_fw_version_length, 4);

    EXPECT_FALSE(limitation.vLoadLimitationTable(Path("absent.ini")));
    EXPECT_FALSE(limitation.bLoaded());
    EXPECT_EQ(limitation.Table().check_fw_version, 0);
}

TEST_F(Limitation, ChecksInOrderWithTheirCodesAndLogs)
{
    CLimitationTable limitation;
    LimitationTable& t = limitation.Table();
    t.fw_version = "241231000001";
    t.manufacture_string = "Brevnor";
    t.product_string = "BRV795X series";
    t.vid = "2B9D";
    t.pid = "7953";
    t.check_fw_version = t.check_manufacture_string = t.check_product_string = t.check_vid = t.check_pid = 1;

    std::vector<LimitationDeviceTexts> devices = {Device("241231000001"), Device("241231000001")};
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationPass);

    devices[1].m_strPID = "7954";
    devices[1].m_strFWVersion = "241231000002";
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationFWVersionMismatch);
    EXPECT_TRUE(TraceHas("[1]fw:241231000002,241231000001"));

    devices[1].m_strFWVersion = "241231000001";
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationOtherMismatch);
    EXPECT_TRUE(TraceHas("[1]pid:7954,7953"));

    // Comparisons are case-sensitive.
    devices[1].m_strPID = "7953";
    devices[0].m_strVID = "2b9d";
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationOtherMismatch);
    EXPECT_TRUE(TraceHas("[0]vid:2b9d,2B9D"));

    devices[0].m_strVID = "2B9D";
    devices[0].m_strProduct = "other";
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationOtherMismatch);
    EXPECT_TRUE(TraceHas("[0]p str:other,BRV795X series"));
    devices[0].m_strManufacturer = "X";
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationOtherMismatch);
    EXPECT_TRUE(TraceHas("[0]m str:X,Brevnor"));

    // Switched-off checks compare nothing.
    t.check_fw_version = t.check_manufacture_string = t.check_product_string = t.check_vid = t.check_pid = 0;
    EXPECT_EQ(limitation.iCheckLimitation(devices), kLimitationPass);
    EXPECT_EQ(limitation.iCheckLimitation({}), kLimitationPass);
}

TEST_F(Limitation, PartOfFirmwareVersion)
{
    CLimitationTable limitation;
    LimitationTable& t = limitation.Table();
    t.check_part_of_fw_version = 1;
    t.fw_version = "AB1231000001";
    t.part_of_fw_version = "ignored";
    t.start_address_of_part_of_fw_version = 2;
    t.part_of_fw_version_length = 4;
    EXPECT_EQ(limitation.iCheckLimitation({Device("xy1231ffffff")}), kLimitationPass);
    EXPECT_EQ(limitation.iCheckLimitation({Device("xy1232000001")}), kLimitationOtherMismatch);
    EXPECT_TRUE(TraceHas("[0]part fw:1232,1231, start:2, len:4"));
    // A device version too short for the part does not compare equal.
    EXPECT_EQ(limitation.iCheckLimitation({Device("xy12")}), kLimitationOtherMismatch);
    EXPECT_EQ(limitation.iCheckLimitation({Device("")}), kLimitationOtherMismatch);
    // A start beyond both texts compares two empty parts, without reading past them.
    t.start_address_of_part_of_fw_version = 40;
    EXPECT_EQ(limitation.iCheckLimitation({Device("")}), kLimitationPass);
}

}  // namespace
