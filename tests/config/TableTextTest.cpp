#include "config/TableText.h"

#include <gtest/gtest.h>

#include "config/U4ConfigTable.h"

namespace {

bool Has(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

TableBytes Composed(uint8_t format)
{
    IniSettings ini = DefaultIniSettings();
    ini.config_format = format;
    ConfigTable table;
    bComposeConfigTable(ini, 0, "", table);
    return table;
}

TEST(TableText, HexViewIsEightLinesOfSixteenUpperCaseBytes)
{
    TableBytes table;
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 2 + 0xA0);
    const std::string text = strTableHexLines(table);
    EXPECT_EQ(text.substr(0, 48), "A0 A2 A4 A6 A8 AA AC AE B0 B2 B4 B6 B8 BA BC BE\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8);
    EXPECT_EQ(text.size(), 8u * 48u);
    EXPECT_EQ(text.substr(7 * 48), "80 82 84 86 88 8A 8C 8E 90 92 94 96 98 9A 9C 9E\n");
}

TEST(TableText, KindFromSignatureAndFormat4Bytes)
{
    EXPECT_EQ(GuessTableKind(Composed(4)), TableKind::kConfigFormat4);
    EXPECT_EQ(GuessTableKind(Composed(1)), TableKind::kConfigFormat1);
    IniSettings ini = DefaultIniSettings();
    U4ConfigTable block;
    block.fill(0xFF);
    bSetUSB4DeviceConfigurationByGUI(ini, 0, block, U4PciIds{}, {2026, 12, 7});
    EXPECT_EQ(GuessTableKind(block), TableKind::kU4Config);
    TableBytes blank;
    blank.fill(0xFF);
    EXPECT_EQ(GuessTableKind(blank), TableKind::kUnknown);
}

TEST(TableText, DecodeNamesEveryFieldAndJudgesTheChecksum)
{
    IniSettings ini = DefaultIniSettings();
    ini.config_format = 4;
    ini.standby_timer = 5;
    ini.lp_if_idle = 1;
    ini.lp_if_u3 = 2;
    ini.wtg = 1;
    ConfigTable table;
    bComposeConfigTable(ini, 0, "", table);
    std::string text = strDecodeConfigTable(table, 4);
    EXPECT_TRUE(Has(text, "serial number            [4..23]     \"AAAABBBB0001\"\n"));
    EXPECT_TRUE(Has(text, "SCSI product id          [100..115]  \"BRV795X\"\n"));
    EXPECT_TRUE(Has(text, "idVendor                 [116..117]  2B9D\n"));
    EXPECT_TRUE(Has(text, "power byte               [122]       0x95 standby_timer 5, LP if Idle 1, LP if U3 2\n"));
    EXPECT_TRUE(Has(text, "WTG on, U1/U2 off"));
    EXPECT_TRUE(Has(text, "checksum                 [127]       0x"));
    EXPECT_TRUE(Has(text, " (ok, sum of bytes 4..126"));
    table[127] ^= 1;
    EXPECT_TRUE(Has(strDecodeConfigTable(table, 4), "(BAD, sum of bytes 4..126"));
    EXPECT_FALSE(Has(strDecodeConfigTable(Composed(1), 1), "SCSI vendor id"));

    U4ConfigTable block;
    block.fill(0xFF);
    bSetUSB4DeviceConfigurationByGUI(ini, 0, block, U4PciIds{}, {2026, 12, 7});
    vSetRelinkSignatureAndChkSumToU4Config(block, 2, 4);
    text = strDecodeU4ConfigTable(block);
    EXPECT_TRUE(Has(text, "component ID             [84..89]    6C07"));
    EXPECT_TRUE(Has(text, "USB4 test ID             [96..99]    00000666\n"));
    EXPECT_TRUE(Has(text, "relink signature         [124..125]  worker count 4, device index 2\n"));
    EXPECT_TRUE(Has(text, "(ok, sum of bytes 0..122"));
}

}  // namespace
