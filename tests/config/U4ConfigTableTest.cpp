#include "config/U4ConfigTable.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "util/Clock.h"
#include "tests/config/TablesTestSupport.h"

namespace {

using tables_test::TempFolderTest;
namespace fs = std::filesystem;

U4ConfigTable FromHex(const std::string& text)
{
    U4ConfigTable bytes{};
    std::istringstream in(text);
    for (auto& b : bytes) {
        unsigned value = 0;
        in >> std::hex >> value;
        b = static_cast<uint8_t>(value);
    }
    EXPECT_TRUE(in) << "fewer than 128 bytes";
    return bytes;
}

// A block as read from a device whose component ID is `id` (c0 in byte 89).
U4ConfigTable BlockWithComponentId(const std::string& id)
{
    U4ConfigTable block;
    block.fill(0xFF);
    block[89] = static_cast<uint8_t>(0xF0 | ulParseHex(id.substr(0, 1).c_str()));
    for (size_t k = 0; k < 5; ++k) block[88 - k] = static_cast<uint8_t>(ulParseHex(id.substr(1 + 2 * k, 2).c_str()));
    return block;
}

constexpr LocalDate kDecember7th2026{2026, 12, 7};

class U4Block : public TempFolderTest {
protected:
    IniSettings m_Ini = DefaultIniSettings();
};

TEST_F(U4Block, DefaultSettingsWithKeptIdByteExact)
{
    U4ConfigTable block = BlockWithComponentId("6C0712345AB");
    ASSERT_TRUE(bSetUSB4DeviceConfigurationByGUI(m_Ini, 0, block, U4PciIds{}, kDecember7th2026));
    const U4ConfigTable expected = FromHex(
        "FF FF FF FF 42 72 65 76 6E 6F 72 FF FF FF FF FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF 37 39 35 78 "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF AB 45 23 71 C0 F6 FF FF 9D 2B 53 79 "
        "66 06 00 00 34 12 5A FF FF FF FF FF B8 00 53 79 "
        "E3 FF FF FF FF FF FF FF 00 00 FF FF FF FF A5 E4");
    EXPECT_EQ(block, expected);
    EXPECT_STREQ(m_Ini.USB4_ComponentID, "6C0712345AB");
    EXPECT_TRUE(TraceHas("keep component id[6C0712345AB]"));
    EXPECT_EQ(strComponentIdFromU4Config(block), "6C0712345AB");
}

TEST_F(U4Block, PlaceholdersGetAGeneratedIdUniqueWithinTheRun)
{
    for (const char* placeholder : {"FFFFFFFFFFF", "00000000000", "CCDDEEFF321", "AAAABBBBCCC"}) {
        U4ConfigTable block = BlockWithComponentId(placeholder);
        ASSERT_EQ(strComponentIdFromU4Config(block), placeholder);
        m_Ini.USB4_ComponentID_EditType = 3;
        ASSERT_TRUE(bSetUSB4DeviceConfigurationByGUI(m_Ini, 1, block, U4PciIds{}, kDecember7th2026));
        const std::string id = strComponentIdFromU4Config(block);
        EXPECT_EQ(id.substr(0, 4), "6C07") << placeholder;
        EXPECT_EQ(id.size(), 11u);
        EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(m_Ini.USB4_ComponentID, id);
        EXPECT_EQ(m_Ini.USB4_ComponentID_EditType, 5u);
    }
    // The day is written "%02X": the 31st is "1F".
    EXPECT_EQ(strGenerateComponentId({2024, 12, 31}).substr(0, 4), "4C1F");
    EXPECT_EQ(strGenerateComponentId({2030, 1, 1}).substr(0, 4), "0101");

    // Sixteen devices composed in the same second never share an ID.
    std::set<std::string> ids;
    for (uint8_t i = 0; i < 16; ++i) {
        U4ConfigTable block = BlockWithComponentId("FFFFFFFFFFF");
        bSetUSB4DeviceConfigurationByGUI(m_Ini, i, block, U4PciIds{}, kDecember7th2026);
        ids.insert(strComponentIdFromU4Config(block));
    }
    for (int i = 0; i < 5000; ++i) ids.insert(strGenerateComponentId(kDecember7th2026));
    EXPECT_EQ(ids.size(), 16u + 5000u);
    for (const auto& id : ids) EXPECT_FALSE(bIsPlaceholderComponentId(id));
}

TEST_F(U4Block, ModeLinkAndClOptions)
{
    U4ConfigTable block = BlockWithComponentId("A0000000001");
    m_Ini.USB4_U4Mode = 2;
    m_Ini.USB4_20G = 1;
    m_Ini.USB4_x2 = 0;
    m_Ini.USB4_CLMode = 3;
    bSetUSB4DeviceConfigurationByGUI(m_Ini, 0, block, U4PciIds{}, kDecember7th2026);
    EXPECT_EQ(block[89], 0x6A);
    EXPECT_EQ(block[90], 0xFF);

    m_Ini.USB4_U4Mode = 9;  // coded as 3
    m_Ini.USB4_20G = 0;
    m_Ini.USB4_x2 = 1;
    m_Ini.USB4_CLMode = 0;
    bSetUSB4DeviceConfigurationByGUI(m_Ini, 0, block, U4PciIds{}, kDecember7th2026);
    EXPECT_EQ(block[89], 0xBA);
    EXPECT_EQ(block[90], 0xFC);
    // Mode and link bits do not leak into the component ID read back.
    EXPECT_EQ(strComponentIdFromU4Config(block), "A0000000001");

    U4PciIds pci;
    pci.strPCIVID = "2C7A";
    pci.strPCIDID = "7953";
    bSetUSB4DeviceConfigurationByGUI(m_Ini, 0, block, pci, kDecember7th2026);
    EXPECT_EQ(block[116], 0x7A);
    EXPECT_EQ(block[117], 0x2C);
    EXPECT_EQ(block[118], 0x53);
    EXPECT_EQ(block[119], 0x79);
    EXPECT_EQ(block[120], 0x00);
    EXPECT_EQ(block[121], 0x00);
}

TEST_F(U4Block, OverlongNamesAreCutAt32Characters)
{
    SetIniString(m_Ini.USB4_VendorName, std::string(50, 'V'));
    SetIniString(m_Ini.USB4_ModelName, std::string(50, 'M'));
    U4ConfigTable block = BlockWithComponentId("A0000000001");
    bSetUSB4DeviceConfigurationByGUI(m_Ini, 0, block, U4PciIds{}, kDecember7th2026);
    EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 36), std::string(32, 'V'));
    for (size_t i = 36; i < 44; ++i) EXPECT_EQ(block[i], 0xFF) << i;
    EXPECT_EQ(std::string(block.begin() + 44, block.begin() + 76), std::string(32, 'M'));
    for (size_t i = 76; i < 84; ++i) EXPECT_EQ(block[i], 0xFF) << i;
}

TEST_F(U4Block, RelinkStampRewritesTheChecksumThatDoesNotCoverIt)
{
    U4ConfigTable block = BlockWithComponentId("A0000000001");
    bSetUSB4DeviceConfigurationByGUI(m_Ini, 0, block, U4PciIds{}, kDecember7th2026);
    const uint8_t checksum = block[127];
    U4ConfigTable changed = block;
    changed[124] = 7;
    changed[125] = 3;
    EXPECT_EQ(ucU4ConfigChecksum(changed), checksum);

    block[4] = 'b';  // a change inside the summed range, then the stamp
    vSetRelinkSignatureAndChkSumToU4Config(block, 3, 7);
    EXPECT_EQ(block[124], 7);
    EXPECT_EQ(block[125], 3);
    EXPECT_EQ(block[127], static_cast<uint8_t>(checksum + 'b' - 'B'));
    EXPECT_TRUE(TraceHas("target num:3, rlnk:7,3"));
}

TEST_F(U4Block, LengthCheckFirstFailureWins)
{
    EXPECT_EQ(strCheckUSB4FieldLength(m_Ini), "");
    IniSettings ini = m_Ini;
    SetIniString(ini.USB4_TBT3ModelRevision, "E");
    EXPECT_EQ(strCheckUSB4FieldLength(ini), "USB4 TBT3 model revision lenth check fail");
    SetIniString(ini.USB4_MinFW, "");
    EXPECT_EQ(strCheckUSB4FieldLength(ini), "USB4 minor fw version lenth check fail");
    SetIniString(ini.USB4_BcdProductFWRevision, "12345");
    EXPECT_EQ(strCheckUSB4FieldLength(ini), "USB4 device release number lenth check fail");
    SetIniString(ini.USB4_TestID, "666");
    EXPECT_EQ(strCheckUSB4FieldLength(ini), "USB4 test ID lenth check fail");
    SetIniString(ini.USB4_ComponentID, "CCDDEEFF32");
    EXPECT_EQ(strCheckUSB4FieldLength(ini), "USB4 Component ID lenth check fail");

    const struct {
        IniString IniSettings::*field;
        const char* message;
    } each[] = {
        {&IniSettings::USB4_VendorID, "USB4 vendor ID lenth check fail"},
        {&IniSettings::USB4_ProductID, "USB4 product ID lenth check fail"},
        {&IniSettings::USB4_ProductHWRevision, "USB4 major fw version lenth check fail"},
        {&IniSettings::USB4_TBT3VendorID, "USB4 TBT3 vendor ID lenth check fail"},
        {&IniSettings::USB4_TBT3ModelID, "USB4 TBT3 model ID lenth check fail"},
    };
    for (const auto& e : each) {
        ini = m_Ini;
        SetIniString(ini.*e.field, "1");
        EXPECT_EQ(strCheckUSB4FieldLength(ini), e.message);
    }

    // Hidden window: the warning goes to "ProgramMSG.txt" in the current folder.
    const auto previous = fs::current_path();
    fs::current_path(m_Dir);
    util::SetClock(std::make_shared<util::ScaledClock>(1000.0));
    EXPECT_FALSE(bCheckUSB4FieldLength(ini, true));
    EXPECT_TRUE(bCheckUSB4FieldLength(m_Ini, true));
    util::SetClock(std::make_shared<util::RealClock>());
    fs::current_path(previous);
    EXPECT_EQ(Slurp(Path("ProgramMSG.txt")), "USB4 TBT3 model ID lenth check fail\r\n");
}

TEST_F(U4Block, EditFilters)
{
    int caret = 5;
    EXPECT_EQ(strFilterUSB4HexEdit("2b-9dX77", 4, &caret), "2B9D");
    EXPECT_EQ(caret, 4);
    EXPECT_EQ(strFilterUSB4HexEdit("0000066677", 8), "00000666");
    EXPECT_EQ(OnUSB4EditChangeForHex(m_Ini.USB4_ComponentID, "ccddeeff321ab", 11), "CCDDEEFF321");
    EXPECT_STREQ(m_Ini.USB4_ComponentID, "CCDDEEFF321");
    EXPECT_EQ(strFilterUSB4NameEdit(std::string("Bre\tvnor\x01 X") + std::string(40, 'y')),
              "Brevnor X" + std::string(23, 'y'));
}

class U4Export : public TempFolderTest {};

TEST_F(U4Export, AppendsRowsUnderOneHeader)
{
    IniSettings ini = DefaultIniSettings();
    U4ConfigTable first = BlockWithComponentId("6C0712345AB");
    U4ConfigTable second = BlockWithComponentId("5A01ABCDEF0");
    bSetUSB4DeviceConfigurationByGUI(ini, 0, first, U4PciIds{}, kDecember7th2026);
    bSetUSB4DeviceConfigurationByGUI(ini, 1, second, U4PciIds{"2C7A", "7953"}, kDecember7th2026);

    const std::string rowFirst = "6C0712345AB,2B9D,7953,00000666,1234,5A,00B8,7953,E3,FFFF,FFFF,2B9D-6C0712345AB-0\n";
    const std::string rowSecond = "5A01ABCDEF0,2B9D,7953,00000666,1234,5A,00B8,7953,E3,2C7A,7953,2B9D-5A01ABCDEF0-0\n";
    EXPECT_EQ(strU4DataRow(first), rowFirst);
    EXPECT_EQ(strU4DataFileName(kDecember7th2026), "U4Data_20261207.csv");

    ASSERT_TRUE(bExportU4Data({first, second}, kDecember7th2026, m_Dir.string()));
    ASSERT_TRUE(bExportU4Data({first, second}, kDecember7th2026, m_Dir.string()));
    EXPECT_EQ(Slurp(Path("U4Data_20261207.csv")),
              std::string(kU4DataHeader) + rowFirst + rowSecond + rowFirst + rowSecond);
    ASSERT_TRUE(bExportU4Data({}, {2027, 1, 2}, m_Dir.string()));
    EXPECT_EQ(Slurp(Path("U4Data_20270102.csv")), kU4DataHeader);
    EXPECT_FALSE(bExportU4Data({first}, kDecember7th2026, Path("no/such/folder")));
}

TEST(DeviceSerialFormat4, EditTypeFromDiskTakesTheDiskSerialNumber)
{
    IniSettings ini = DefaultIniSettings();
    ini.config_format = 4;
    ini.Scan_HDDSN = 0;
    ini.SN_EditType = kSnFromHddSn;
    EXPECT_EQ(strDeviceSerialNumber(ini, 2, "DISK02"), "DISK02");
}

}  // namespace
