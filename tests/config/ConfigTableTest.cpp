#include "config/ConfigTable.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/config/TablesTestSupport.h"

namespace {

using tables_test::TempFolderTest;

std::array<uint8_t, CONFIG_BIN_SIZE> FromHex(const std::string& text)
{
    std::array<uint8_t, CONFIG_BIN_SIZE> bytes{};
    std::istringstream in(text);
    for (auto& b : bytes) {
        unsigned value = 0;
        in >> std::hex >> value;
        b = static_cast<uint8_t>(value);
    }
    EXPECT_TRUE(in) << "fewer than 128 bytes";
    return bytes;
}

IniSettings Settings(uint8_t format)
{
    IniSettings ini = DefaultIniSettings();
    ini.config_format = format;
    return ini;
}

ConfigTable Compose(const IniSettings& ini, uint8_t index = 0, const std::string& diskSN = "")
{
    ConfigTable table;
    EXPECT_TRUE(bComposeConfigTable(ini, index, diskSN, table));
    return table;
}

TEST(ConfigTableImage, DefaultSettingsFormat4ByteExact)
{
    const auto expected = FromHex(
        "FF FF FF FF 41 41 41 41 42 42 42 42 30 30 30 31 "
        "FF FF FF FF FF FF FF FF 42 72 65 76 6E 6F 72 FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF 42 52 56 54 "
        "FF FF FF FF 42 52 56 37 39 35 58 20 73 65 72 69 "
        "65 73 FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF 42 52 56 37 39 35 58 FF FF FF FF FF "
        "FF FF FF FF 9D 2B 53 79 00 01 CF FF 02 FF 5A DC");
    EXPECT_EQ(Compose(Settings(4)), expected);
}

TEST(ConfigTableImage, DefaultSettingsFormat1ByteExact)
{
    const auto expected = FromHex(
        "FF FF FF FF 41 41 41 41 42 42 42 42 30 30 30 31 "
        "FF FF FF FF FF FF FF FF 42 72 65 76 6E 6F 72 FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF 42 52 56 37 39 35 58 20 73 65 72 69 "
        "65 73 FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
        "FF FF FF FF 9D 2B 53 79 00 01 FF FF 02 FF 5A DC");
    EXPECT_EQ(Compose(Settings(1)), expected);
}

TEST(ConfigTableImage, PowerPcieAndOptionBytes)
{
    IniSettings ini = Settings(4);
    ini.standby_timer = 5;
    ini.lp_if_idle = 1;
    ini.lp_if_u3 = 2;
    EXPECT_EQ(Compose(ini)[config_table::kPowerOrStandby], 0x95);

    ini = Settings(4);
    ini.pcie_aspm = 1;          // "ASPM L1"
    ini.force_pcie_speed = 2;   // "PCIE Gen 3"
    ini.force_pcie_lane = 0;    // "PCIE x1"
    EXPECT_EQ(Compose(ini)[config_table::kPcie], 0xC9);

    // Standby codes: 1..11 give 0xF1..0xFB, 0 and 12 give 0xFF.
    EXPECT_EQ(ucStandbyCode(0), 0xFF);
    EXPECT_EQ(ucStandbyCode(1), 0xF1);
    EXPECT_EQ(ucStandbyCode(11), 0xFB);
    EXPECT_EQ(ucStandbyCode(12), 0xFF);

    ini = Settings(4);
    ini.wtg = 1;
    ini.support_2tb = 1;
    EXPECT_EQ(Compose(ini)[config_table::kOptions], 0xB7);
    ini.config_format = 1;
    const ConfigTable format1 = Compose(ini);
    EXPECT_EQ(format1[config_table::kOptions], 0xBF);
    EXPECT_EQ(format1[config_table::kPowerOrStandby], 0xEF);
    ini.standby_timer = 3;
    EXPECT_EQ(Compose(ini)[config_table::kPowerOrStandby], 0xE3);

    // Bit 0 is "USB removable" in format 4 only; bit 3 is hdd_standby in format 1.
    ini = Settings(4);
    ini.usb_removable = 1;
    ini.hdd_standby = 1;
    EXPECT_EQ(Compose(ini)[config_table::kOptions], 0xFE);
    ini.config_format = 1;
    EXPECT_EQ(Compose(ini)[config_table::kOptions], 0xF7);
    ini = Settings(1);
    ini.eup = ini.two_leds = ini.u1u2 = ini.low_power = ini.slow_enumeration = 1;
    EXPECT_EQ(Compose(ini)[config_table::kOptions], 0x49);
}

TEST(ConfigTableImage, IdsLittleEndianAndChecksumOverBytes4To126)
{
    IniSettings ini = Settings(4);
    SetIniString(ini.vendor_id, "2B9D");
    SetIniString(ini.product_id, "a1b");
    SetIniString(ini.device_revision, "1G");
    const ConfigTable table = Compose(ini);
    EXPECT_EQ(table[116], 0x9D);
    EXPECT_EQ(table[117], 0x2B);
    EXPECT_EQ(table[118], 0x1B);
    EXPECT_EQ(table[119], 0x0A);
    EXPECT_EQ(table[120], 0x01);  // parsed as far as its hex digits go
    EXPECT_EQ(table[121], 0x00);

    ConfigTable changed = table;
    changed[0] = 0x00;
    changed[3] = 0x12;
    EXPECT_EQ(ucConfigTableChecksum(changed), table[127]);
    changed[126] = 0x5B;
    EXPECT_EQ(ucConfigTableChecksum(changed), static_cast<uint8_t>(table[127] + 1));
}

TEST(ConfigTableImage, OverlongTextsNeverRunIntoTheNextField)
{
    IniSettings ini = Settings(4);
    SetIniString(ini.manufacturer_string_T10, "ABCDEFGHIJKLMNOP");
    SetIniString(ini.product_string_T10, "0123456789ABCDEFGHIJ");
    const ConfigTable table = Compose(ini);
    EXPECT_EQ(std::string(table.begin() + 60, table.begin() + 68), "ABCDEFGH");
    EXPECT_EQ(std::string(table.begin() + 68, table.begin() + 82), "BRV795X series");
    EXPECT_EQ(std::string(table.begin() + 100, table.begin() + 116), "0123456789ABCDEF");
    EXPECT_EQ(table[116], 0x9D);
}

TEST(ConfigTableReadBack, BytesZeroToThreeAreNotCompared)
{
    const ConfigTable written = Compose(Settings(4));
    ConfigTable read = written;
    read[0] = read[1] = read[2] = read[3] = 0x00;
    EXPECT_TRUE(bConfigTableReadBackEqual(written, read));
    read[4] ^= 1;
    EXPECT_FALSE(bConfigTableReadBackEqual(written, read));
    read = written;
    read[127] ^= 0x80;
    EXPECT_FALSE(bConfigTableReadBackEqual(written, read));
}

class DeviceSerial : public TempFolderTest {};

TEST_F(DeviceSerial, ByFormatAndEditType)
{
    IniSettings ini = Settings(1);
    ini.SN_EditType = kSnIncreaseHex;
    EXPECT_EQ(strDeviceSerialNumber(ini, 15, "DISK01"), "AAAABBBB0010");
    ini.SN_EditType = kSnIncreaseDec;
    SetIniString(ini.serial_number, "000000000009");
    EXPECT_EQ(strDeviceSerialNumber(ini, 11, "DISK01"), "000000000020");
    ini.SN_EditType = kSnFromHddSn;
    EXPECT_EQ(strDeviceSerialNumber(ini, 3, "S4EWNX0R123456_LONGER_THAN_20"), "S4EWNX0R123456_LONGE");
    ini.SN_EditType = kSnUserDefine;
    EXPECT_EQ(strDeviceSerialNumber(ini, 3, "DISK01"), "000000000009");
    EXPECT_TRUE(TraceHas("OnBnClickedButtonStart: ucThreadCount[3] , pIni.m_pINI.ucConfig_format[1] , ucSN_EditType[0]"));

    // Format 4 takes the disk's serial number when Scan_HDDSN is set, whatever the
    // edit type.
    ini.config_format = 4;
    ini.SN_EditType = kSnIncreaseHex;
    ini.Scan_HDDSN = 1;
    EXPECT_EQ(strDeviceSerialNumber(ini, 2, "DISK01"), "DISK01");
    ini.Scan_HDDSN = 0;
    EXPECT_EQ(strDeviceSerialNumber(ini, 2, "DISK01"), "00000000000B");

    // A disk serial number shorter than the field leaves the rest 0xFF.
    ini = Settings(1);
    ini.SN_EditType = kSnFromHddSn;
    const ConfigTable table = Compose(ini, 0, "ABC");
    EXPECT_EQ(std::string(table.begin() + 4, table.begin() + 7), "ABC");
    for (size_t i = 7; i < 24; ++i) EXPECT_EQ(table[i], 0xFF) << i;
}

TEST_F(DeviceSerial, RemainValueKeepsTheLeadingPart)
{
    IniSettings ini = Settings(4);
    ini.SN_remain_value_enable = 1;
    ini.SN_remain_value_length = 8;
    ini.SN_EditType = kSnIncreaseHex;
    EXPECT_EQ(strDeviceSerialNumber(ini, 2, ""), "AAAABBBB0003");
    SetIniString(ini.serial_number, "99999999FFFF");
    EXPECT_EQ(strDeviceSerialNumber(ini, 1, ""), "999999990000");
    ini.SN_EditType = kSnIncreaseDec;
    SetIniString(ini.serial_number, "ABCDEFGH9999");
    EXPECT_EQ(strDeviceSerialNumber(ini, 1, ""), "ABCDEFGH0000");
    // A fixed part as long as the whole number leaves nothing to advance.
    ini.SN_remain_value_length = 20;
    EXPECT_EQ(strDeviceSerialNumber(ini, 5, ""), "ABCDEFGH9999");
}

TEST_F(DeviceSerial, TemplatesAndUnsupportedFormats)
{
    CConfigTemplates templates;
    ConfigTable image;
    image.fill(0x11);

    IniSettings ini = Settings(4);
    ASSERT_TRUE(templates.bComposeDeviceTable(ini, 1, "", image));
    EXPECT_EQ(image, Compose(ini, 1));
    EXPECT_EQ(templates.Template(4), image);

    // Format 0 keeps the bridge's own tables: the working image is handed on as is.
    ini.config_format = 0;
    ConfigTable keep;
    EXPECT_TRUE(templates.bComposeDeviceTable(ini, 1, "", keep));
    EXPECT_EQ(keep, templates.Template(1));

    // No table for other formats, and the device's image is left alone.
    for (uint8_t format : {2, 3, 5, 255}) {
        ini.config_format = format;
        image.fill(0x11);
        EXPECT_FALSE(templates.bComposeDeviceTable(ini, 1, "", image)) << int(format);
        EXPECT_EQ(image[0], 0x11);
        EXPECT_EQ(image[127], 0x11);
    }
    EXPECT_TRUE(TraceHas("OnBnClickedButtonStart: InValid Config Table[3]"));

    EXPECT_TRUE(templates.vSetMConfigInfo(true, 4));
    EXPECT_EQ(templates.WorkingImage(), ConfigTable{});
    templates.Template(2).fill(0x22);
    EXPECT_TRUE(templates.vSetMConfigInfo(false, 2));
    EXPECT_EQ(templates.WorkingImage()[64], 0x22);
    EXPECT_FALSE(templates.vSetMConfigInfo(false, 3));
    EXPECT_EQ(templates.WorkingImage(), ConfigTable{});
    EXPECT_TRUE(TraceHas("vSetMConfigInfo: ConfigType not accure, ucSelectConfigType : 3 "));

    ConfigTableLimits limits{};
    EXPECT_TRUE(bGetConfigTableLimits(9, limits));
    EXPECT_EQ(limits.ucSerialNumberLen, 20u);
    EXPECT_EQ(limits.ucManufacturerLen, 36u);
    EXPECT_EQ(limits.ucProductT10Len, 16u);
}

}  // namespace
