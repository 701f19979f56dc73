#include "config/Ini.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "ConfigTestSupport.h"

namespace fs = std::filesystem;

namespace {

using SettingsFile = configtest::TempFolderTest;

// A record that differs from the defaults in every kind of field.
IniSettings SampleSettings()
{
    IniSettings s = DefaultIniSettings();
    s.format_enable = 1;
    s.format_drive_type = 2;
    SetIniString(s.drive_label_name, "MYDISK");
    s.wr_test_count = 7;
    s.auto_mp_DevNum = 4;
    SetIniString(s.preload_folder_path, "\\\\server\\share\\preload");
    s.Check_SerialNumber = 1;
    s.SN_EditType = 2;
    s.CmdLineTimeOut = 120;
    s.fw_enable = 1;
    s.fw_reload = 1;
    SetIniString(s.fw_binary_name, "/opt/fw/BRV7953_v1.bin");
    s.rescan_after_relink = 4000000000u;
    s.config_format = 4;
    SetIniString(s.serial_number, "0123456789ABCDEF");
    s.SN_fix_length = 16;
    s.SN_remain_value_enable = 1;
    s.SN_remain_value_length = 4;
    s.standby_timer = 11;
    SetIniString(s.manufacturer_string, std::string(36, 'M'));
    SetIniString(s.product_string, std::string(32, 'P'));
    SetIniString(s.manufacturer_string_T10, "VENDOR 8");
    SetIniString(s.product_string_T10, "PRODUCT SIXTEEN!");
    s.USB4_U4Mode = 2;
    s.PCIE_Scan = 2;
    s.PCIE_SSDRelinkTime = 30;
    SetIniString(s.read_speed, "900");
    SetIniString(s.write_speed, "800.5");
    SetIniString(s.speed_test_file_size, "1024");
    SetIniString(s.target_chip, "5272");
    s.cd_rom_mode = 1;
    return s;
}

// What a load gives back for a stored record: the fields a load forces.
IniSettings AfterLoad(IniSettings s)
{
    s.version = kIniFileVersion;
    s.SN_Numbers = 12;
    s.USB4_ComponentID_EditType = 5;
    s.hdd_standby = 0;
    s.image0 = 1;
    s.image1 = 0;
    s.crc32 = 0;
    if (!s.fw_enable) s.fw_reload = 0;
    ApplyIniLoadForcedFields(s);
    return s;
}

// Field-wise comparison: the file fields through their text, the version and
// the fields the file does not carry one by one.
void ExpectSameRecord(const IniSettings& a, const IniSettings& b)
{
    EXPECT_EQ(strComposeINIText(a), strComposeINIText(b));
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.SN_Numbers, b.SN_Numbers);
    EXPECT_STREQ(a.USB4_ComponentID, b.USB4_ComponentID);
    EXPECT_STREQ(a.USB4_MinFW, b.USB4_MinFW);
    const uint8_t optionsA[] = {a.wtg,      a.reserved_flag1, a.reserved_flag2, a.lp_if_idle,  a.lp_if_u3,
                                a.pcie_aspm, a.force_pcie_speed, a.force_pcie_lane, a.reserved_flag0, a.eup,
                                a.two_leds, a.u1u2,           a.low_power,      a.support_2tb, a.slow_enumeration,
                                a.usb_removable};
    const uint8_t optionsB[] = {b.wtg,      b.reserved_flag1, b.reserved_flag2, b.lp_if_idle,  b.lp_if_u3,
                                b.pcie_aspm, b.force_pcie_speed, b.force_pcie_lane, b.reserved_flag0, b.eup,
                                b.two_leds, b.u1u2,           b.low_power,      b.support_2tb, b.slow_enumeration,
                                b.usb_removable};
    EXPECT_EQ(0, std::memcmp(optionsA, optionsB, sizeof optionsA));
    EXPECT_EQ(a.USB4_20G, b.USB4_20G);
    EXPECT_EQ(a.USB4_x2, b.USB4_x2);
    EXPECT_EQ(a.USB4_CLMode, b.USB4_CLMode);
}

std::string StoredText(const IniSettings& s)
{
    return strComposeINIText(s);
}

TEST_F(SettingsFile, StoreThenLoadGivesSameRecordExceptForcedFields)
{
    Ini ini;
    ini.m_pINI = SampleSettings();
    // Dialog options the file does not carry: a load resets them.
    ini.m_pINI.wtg = 1;
    ini.m_pINI.lp_if_u3 = 1;
    ini.m_pINI.USB4_CLMode = 0;
    ini.m_pINI.hdd_standby = 1;
    ini.m_pINI.image1 = 1;
    ini.m_pINI.crc32 = 1;
    const IniSettings stored = ini.m_pINI;
    ASSERT_TRUE(ini.vStoreINIFile(Path("a.ini")));
    EXPECT_FALSE(fs::exists(Path("a.ini.tmp")));

    Ini loaded;
    ASSERT_TRUE(loaded.vLoadINIFile(Path("a.ini")));
    EXPECT_EQ(loaded.m_uTotalINICountLine, 83u);
    EXPECT_EQ(loaded.m_iLastCheckResult, kIniCheckValid);
    EXPECT_TRUE(m_Sink.messages.empty());
    ExpectSameRecord(loaded.m_pINI, AfterLoad(stored));
    EXPECT_EQ(loaded.m_pINI.wtg, 0);
    EXPECT_EQ(loaded.m_pINI.lp_if_u3, 3);
    EXPECT_EQ(loaded.m_pINI.USB4_CLMode, 3u);
    EXPECT_EQ(loaded.m_pINI.rescan_after_relink, 4000000000u);
    EXPECT_STREQ(loaded.m_pINI.preload_folder_path, "\\\\server\\share\\preload");
}

TEST_F(SettingsFile, DefaultsRoundTripAndPassTheCheck)
{
    Ini ini;
    EXPECT_EQ(ini.vSetDefaultINI(), kIniCheckValid);
    EXPECT_EQ(ini.m_pINI.version, 1006u);
    EXPECT_STREQ(ini.m_pINI.serial_number, "AAAABBBB0001");
    EXPECT_STREQ(ini.m_pINI.USB4_ComponentID, "CCDDEEFF321");
    EXPECT_EQ(ini.m_pINI.CmdLineTimeOut, 35u);
    EXPECT_EQ(ini.m_pINI.PCIE_Scan, 1);
    const IniSettings stored = ini.m_pINI;
    ASSERT_TRUE(ini.vStoreINIFile(Path("d.ini")));
    Ini loaded;
    ASSERT_TRUE(loaded.vLoadINIFile(Path("d.ini")));
    // fw_enable is 0 by default, so the stored fw_reload 1 loads as 0.
    EXPECT_EQ(loaded.m_pINI.fw_reload, 0);
    ExpectSameRecord(loaded.m_pINI, AfterLoad(stored));
    EXPECT_STREQ(loaded.m_pINI.USB4_ComponentID, "FFFFFFFFFFF");
}

TEST_F(SettingsFile, StoredLayout)
{
    const std::string text = StoredText(DefaultIniSettings());
    EXPECT_EQ(text.rfind("[ini_version]\r\nversion=1008\r\n[usb_func]\r\nformat_enable=0\r\nformat_drive_type=1\r\n"
                         "partition_drive_type=0\r\ndrive_label_name=\r\n",
                         0),
              0u);
    EXPECT_NE(text.find("USB4_BcdSync=1\r\n\r\n[Speed_Test]\r\nread_speed=\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\n[usb_fw]\r\nfw_enable=0\r\nfw_binary_name=\r\nfw_reload=1\r\n"), std::string::npos);
    EXPECT_NE(text.find("product_string_T10=BRV795X\r\nSN_Numbers=12\r\nserial_number=AAAABBBB0001\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("crc32=0\r\n\r\n[USB4_Config]\r\nUSB4_VendorName=Brevnor\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\n[PCIE]\r\nPCIE_Scan=1\r\nPCIE_VendorID=2C7A\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\n[usb_mode]\r\ncd_rom_mode=0\r\n"), std::string::npos);
    const std::string tail = "\r\n\r\n[Target_Chip]\r\n//5211, 5213, 5233, 5271, 5272, 419CM, 0 for all\r\ntarget_chip=\r\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);  // no bare line feed
}

TEST_F(SettingsFile, KeysInAnySectionAnyCaseAndOrder)
{
    Write("k.ini",
          "[USB_CONFIG]\r\nVERSION=1008\r\n\r\n[PCIE]\r\nSerial_Number = 00112233\r\nconfig_format=4\r\n"
          "[usb_func]\r\nTARGET_chip=5211\r\n");
    Ini ini;
    EXPECT_TRUE(ini.vLoadINIFile(Path("k.ini")));
    EXPECT_EQ(ini.m_pINI.version, 1008u);
    EXPECT_STREQ(ini.m_pINI.serial_number, "00112233");
    EXPECT_EQ(ini.m_pINI.config_format, 4);
    EXPECT_STREQ(ini.m_pINI.target_chip, "5211");
    EXPECT_EQ(ini.m_uTotalINICountLine, 6u);  // two counted sections, four keys
    EXPECT_TRUE(m_Sink.messages.empty());
}

TEST_F(SettingsFile, FwReloadNeedsFwEnableBeforeIt)
{
    Write("before.ini", "version=1008\nfw_reload=1\nfw_enable=1\n");
    Write("after.ini", "version=1008\nfw_enable=1\nfw_reload=1\n");
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIFile(Path("before.ini")));
    EXPECT_EQ(ini.m_pINI.fw_reload, 0);
    EXPECT_EQ(ini.m_pINI.fw_enable, 1);
    ASSERT_TRUE(ini.vLoadINIFile(Path("after.ini")));
    EXPECT_EQ(ini.m_pINI.fw_reload, 1);
}

TEST_F(SettingsFile, RangeRulesOfSingleKeys)
{
    Write("r.ini",
          "version=1008\nSN_fix_length=11\nSN_remain_value_length=25\nPCIE_Scan=7\nUSB4_U4Mode=9\n"
          "USB4_ComponentID_EditType=1\nhdd_standby=1\nimage0=0\nimage1=1\ncrc32=1\n");
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIFile(Path("r.ini")));
    EXPECT_EQ(ini.m_pINI.SN_fix_length, 0);
    EXPECT_EQ(ini.m_pINI.SN_remain_value_length, 20u);
    EXPECT_EQ(ini.m_pINI.PCIE_Scan, 1);
    EXPECT_EQ(ini.m_pINI.USB4_U4Mode, 3u);
    EXPECT_EQ(ini.m_pINI.USB4_ComponentID_EditType, 5u);
    EXPECT_EQ(ini.m_pINI.hdd_standby, 0);
    EXPECT_EQ(ini.m_pINI.image0, 1);
    EXPECT_EQ(ini.m_pINI.image1, 0);
    EXPECT_EQ(ini.m_pINI.crc32, 0);

    Write("keep.ini", "version=1008\nSN_fix_length=12\nSN_remain_value_length=20\nPCIE_Scan=0\nUSB4_U4Mode=0\n");
    ASSERT_TRUE(ini.vLoadINIFile(Path("keep.ini")));
    EXPECT_EQ(ini.m_pINI.SN_fix_length, 12);
    EXPECT_EQ(ini.m_pINI.SN_remain_value_length, 20u);
    EXPECT_EQ(ini.m_pINI.PCIE_Scan, 0);
    EXPECT_EQ(ini.m_pINI.USB4_U4Mode, 0u);
    Write("fix21.ini", "version=1008\nSN_fix_length=21\n");
    ASSERT_TRUE(ini.vLoadINIFile(Path("fix21.ini")));
    EXPECT_EQ(ini.m_pINI.SN_fix_length, 0);
}

TEST_F(SettingsFile, NumbersAreDecimalDigitsOnly)
{
    Write("n.ini", "version=1008\nstandby_timer= 5 // five\n");
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIFile(Path("n.ini")));
    EXPECT_EQ(ini.m_pINI.standby_timer, 5);
    // Read as numbers these would be other values than the file says (12, 0, 0, 3).
    for (const char* line : {"wr_test_count=12abc", "CmdLineTimeOut=abc", "PCIE_Scan=-1", "auto_mp_DevNum=3x"}) {
        Write("bad.ini", std::string("version=1008\n") + line + "\n");
        EXPECT_FALSE(ini.vLoadINIFile(Path("bad.ini"))) << line;
        EXPECT_EQ(ini.m_strLoadFailure.rfind(Path("bad.ini") + ":2: " + line + ": ", 0), 0u) << ini.m_strLoadFailure;
    }
}

TEST_F(SettingsFile, ValuesTheBridgeOrDiskWouldReceiveDifferentlyRefuseTheLoad)
{
    Ini ini;
    for (const char* line : {"vendor_id=XYZW", "product_id=12G4", "format_drive_type=7", "partition_drive_type=2"}) {
        Write("v.ini", std::string("version=1008\n") + line + "\n");
        EXPECT_FALSE(ini.vLoadINIFile(Path("v.ini"))) << line;
        EXPECT_NE(ini.m_strLoadFailure.find(":2: " + std::string(line)), std::string::npos) << ini.m_strLoadFailure;
    }
    // Case, comments and blanks stay as stored files have them.
    Write("ok.ini", "version=1008\nVendor_ID = 2b9d // ours\nformat_drive_type=2\n");
    EXPECT_TRUE(ini.vLoadINIFile(Path("ok.ini"))) << ini.m_strLoadFailure;
    EXPECT_STREQ(ini.m_pINI.vendor_id, "2b9d");
}

TEST_F(SettingsFile, AKeyGivenTwiceKeepsTheLastValueAndIsNamedInAWarning)
{
    Write("twice.ini", "version=1008\nwr_test_count=2\nwr_test_count=5\n");
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIFile(Path("twice.ini")));
    EXPECT_EQ(ini.m_pINI.wr_test_count, 5);
    ASSERT_EQ(ini.m_Warnings.size(), 1u);
    EXPECT_EQ(ini.m_Warnings[0], Path("twice.ini") + ":3: wr_test_count is given more than once; the last value is taken");
}

TEST_F(SettingsFile, AFileThatDoesNotLoadSaysWhy)
{
    Ini ini;
    const std::pair<std::string, std::string> cases[] = {
        {"", "empty.ini is empty"},
        {"version=7\n", "version.ini:1: version 7 is not this tool's version 1008"},
        {std::string("version=1008\nwr_test_count=1") + '\0' + "\n", "nul.ini:2: the line holds a control character"},
    };
    for (const auto& [text, reason] : cases) {
        const std::string name = reason.substr(0, reason.find(".ini") + 4);
        Write(name, text);
        EXPECT_FALSE(ini.vLoadINIFile(Path(name)));
        EXPECT_EQ(ini.m_strLoadFailure, Path("") + reason);
    }
    EXPECT_FALSE(ini.vLoadINIFile(Path("missing.ini")));
    EXPECT_EQ(ini.m_strLoadFailure, Path("missing.ini") + " does not exist");
    EXPECT_FALSE(ini.vLoadINIFile(Path("")));
    EXPECT_NE(ini.m_strLoadFailure.find("is a folder"), std::string::npos);
}

TEST_F(SettingsFile, CommentRuleOfValues)
{
    Write("c.ini",
          "version=1008 // format\nserial_number=ABC123 // first batch\npreload_folder_path=//server/share\n"
          "fw_binary_name=//srv/fw.bin // note\nproduct_string=a//b\n");
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIFile(Path("c.ini")));
    EXPECT_STREQ(ini.m_pINI.serial_number, "ABC123");
    EXPECT_STREQ(ini.m_pINI.preload_folder_path, "//server/share");
    EXPECT_STREQ(ini.m_pINI.fw_binary_name, "//srv/fw.bin // note");
    EXPECT_STREQ(ini.m_pINI.product_string, "a");
}

TEST_F(SettingsFile, WrongVersionFailsWithMessageAndZeroRecord)
{
    Write("v.ini", "serial_number=1234\nversion=1007\nvendor_id=2B9D\n");
    Ini ini;
    ini.vSetDefaultINI();
    EXPECT_FALSE(ini.vLoadINIFile(Path("v.ini")));
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_EQ(m_Sink.messages[0].text, "Loaded INI file Versoin[1007] is not suit for current version of DEVeda");
    EXPECT_EQ(ini.m_pINI.version, 0u);
    EXPECT_STREQ(ini.m_pINI.serial_number, "");
    EXPECT_STREQ(ini.m_pINI.vendor_id, "");

    // A file without a version line (an empty or foreign file) is no settings
    // file either.
    m_Sink.messages.clear();
    Write("none.ini", "serial_number=1234\n");
    EXPECT_FALSE(ini.vLoadINIFile(Path("none.ini")));
    EXPECT_STREQ(ini.m_pINI.serial_number, "");
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_EQ(m_Sink.messages[0].text, "Loaded INI file Versoin[0] is not suit for current version of DEVeda");
    Write("empty.ini", "");
    EXPECT_FALSE(ini.vLoadINIFile(Path("empty.ini")));
}

TEST_F(SettingsFile, MissingFileFailsSilently)
{
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIFile(Path("missing.ini")));
    EXPECT_FALSE(ini.vLoadINIFile(m_Dir.string()));  // a folder is not a settings file
    EXPECT_TRUE(m_Sink.messages.empty());
    EXPECT_EQ(ini.m_iLastCheckResult, -1);
}

TEST_F(SettingsFile, OneExtraUnrecognisedLineFailsAfterMessage)
{
    Write("x.ini", StoredText(SampleSettings()) + "unknown_key=5\r\n");
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIFile(Path("x.ini")));
    EXPECT_EQ(ini.m_uTotalINICountLine, 84u);
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_EQ(m_Sink.messages[0].text, "84 Line of Configuration String in INI file is invalid !\r\n");
    EXPECT_EQ(m_Sink.messages[0].kind, kMsgError);
    // The rest of the file still loaded.
    EXPECT_STREQ(ini.m_pINI.serial_number, "0123456789ABCDEF");
}

TEST_F(SettingsFile, UnrecognisedLinesGoIntoOneMessageAndLoadGoesOn)
{
    Write("u.ini", "version=1008\n[usb_func]\nbogus\nformat_enable=1\n[Nowhere]\n// a comment\nwr_test_count=3\n");
    Ini ini;
    EXPECT_TRUE(ini.vLoadINIFile(Path("u.ini")));
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_EQ(m_Sink.messages[0].text,
              "2 Line of Configuration String in INI file is invalid !\r\n"
              "4 Line of Configuration String in INI file is invalid !\r\n"
              "5 Line of Configuration String in INI file is invalid !\r\n");
    EXPECT_EQ(ini.m_pINI.format_enable, 1);
    EXPECT_EQ(ini.m_pINI.wr_test_count, 3);
    EXPECT_EQ(ini.m_uTotalINICountLine, 6u);
}

TEST_F(SettingsFile, LineCounterDoesNotWrap)
{
    // 83 + 256 lines would count 83 in an 8-bit counter and pass.
    std::string text = StoredText(SampleSettings());
    for (int i = 0; i < 256; ++i) text += "junk" + std::to_string(i) + "=1\r\n";
    Write("w.ini", text);
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIFile(Path("w.ini")));
    EXPECT_EQ(ini.m_uTotalINICountLine, 339u);
}

TEST_F(SettingsFile, ValuesTheRecordCannotHoldFailTheLoad)
{
    Write("long.ini", "version=1008\nfw_binary_name=" + std::string(300, 'f') + "\nwr_test_count=4\n");
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIFile(Path("long.ini")));
    EXPECT_STREQ(ini.m_pINI.fw_binary_name, "");
    EXPECT_EQ(ini.m_pINI.wr_test_count, 4);
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_EQ(m_Sink.messages[0].text, "2 Value of Configuration String in INI file is too long !\r\n");

    m_Sink.messages.clear();
    Write("max.ini", "version=1008\nfw_binary_name=" + std::string(254, 'f') + "\n");
    EXPECT_TRUE(ini.vLoadINIFile(Path("max.ini")));
    EXPECT_EQ(std::string(ini.m_pINI.fw_binary_name), std::string(254, 'f'));

    Write("range.ini", "version=1008\nwr_test_count=300\nCmdLineTimeOut=4294967296\n");
    EXPECT_FALSE(ini.vLoadINIFile(Path("range.ini")));
    EXPECT_EQ(ini.m_pINI.wr_test_count, 0);  // not wrapped to 44
    EXPECT_EQ(m_Sink.messages.back().text,
              "2 Value of Configuration String in INI file is out of range !\r\n"
              "3 Value of Configuration String in INI file is out of range !\r\n");
    Write("edge.ini", "version=1008\nwr_test_count=255\nCmdLineTimeOut=4294967295\nSN_fix_length=2147483648\n");
    EXPECT_FALSE(ini.vLoadINIFile(Path("edge.ini")));  // SN_fix_length is signed 32
    EXPECT_EQ(ini.m_pINI.wr_test_count, 255);
    EXPECT_EQ(ini.m_pINI.CmdLineTimeOut, 4294967295u);
}

TEST_F(SettingsFile, CheckResultsMessagesAndClearedFields)
{
    Ini ini;
    ini.vSetDefaultINI();
    SetIniString(ini.m_pINI.serial_number, std::string(21, '1'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckTextTooLong);
    EXPECT_STREQ(ini.m_pINI.serial_number, "");
    EXPECT_EQ(m_Sink.messages.back().text, "Invalid SN Size");

    SetIniString(ini.m_pINI.serial_number, std::string(20, '1'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckValid);

    ini.m_pINI.Check_SerialNumber = 1;
    SetIniString(ini.m_pINI.serial_number, "12ab0G");
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckSNNotHex);
    EXPECT_STREQ(ini.m_pINI.serial_number, "");
    EXPECT_EQ(m_Sink.messages.back().text, "Invalid SN String");
    SetIniString(ini.m_pINI.serial_number, "12abCDef");
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckValid);

    SetIniString(ini.m_pINI.manufacturer_string, std::string(37, 'm'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckTextTooLong);
    EXPECT_EQ(m_Sink.messages.back().text, "Invalid Manufacturer Size");
    SetIniString(ini.m_pINI.product_string, std::string(33, 'p'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckTextTooLong);
    EXPECT_EQ(m_Sink.messages.back().text, "Invalid Product Size");
    EXPECT_STREQ(ini.m_pINI.product_string, "");
}

TEST_F(SettingsFile, DriveLabelLimitFollowsFileSystem)
{
    Ini ini;
    ini.vSetDefaultINI();
    ini.m_pINI.format_drive_type = 1;  // FAT32
    SetIniString(ini.m_pINI.drive_label_name, std::string(12, 'L'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckDiskLabelTooLong);
    EXPECT_EQ(m_Sink.messages.back().text, "Invalid DiskLabel Size");
    EXPECT_STREQ(ini.m_pINI.drive_label_name, "");
    ini.m_pINI.format_drive_type = 0;  // NTFS
    SetIniString(ini.m_pINI.drive_label_name, std::string(32, 'L'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckValid);
    SetIniString(ini.m_pINI.drive_label_name, std::string(33, 'L'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckDiskLabelTooLong);
}

TEST_F(SettingsFile, AllChecksRunAndLastCodeWins)
{
    Ini ini;
    ini.vSetDefaultINI();
    SetIniString(ini.m_pINI.serial_number, std::string(25, 'A'));
    SetIniString(ini.m_pINI.drive_label_name, std::string(12, 'L'));
    SetIniString(ini.m_pINI.product_string, std::string(40, 'p'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckDiskLabelTooLong);
    EXPECT_EQ(m_Sink.messages.size(), 3u);

    ini.m_pINI.Check_SerialNumber = 1;
    SetIniString(ini.m_pINI.serial_number, "XYZ");
    SetIniString(ini.m_pINI.manufacturer_string, std::string(40, 'm'));
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckTextTooLong);
    EXPECT_STREQ(ini.m_pINI.serial_number, "");
}

TEST_F(SettingsFile, TableTextsLongerThanTheirFieldsAreRejected)
{
    Ini ini;
    ini.vSetDefaultINI();
    SetIniString(ini.m_pINI.manufacturer_string_T10, "NINECHARS");
    SetIniString(ini.m_pINI.product_string_T10, std::string(17, 'q'));
    SetIniString(ini.m_pINI.vendor_id, "12345");
    EXPECT_EQ(ini.vCheckINIType(), kIniCheckTextTooLong);
    EXPECT_STREQ(ini.m_pINI.manufacturer_string_T10, "");
    EXPECT_STREQ(ini.m_pINI.product_string_T10, "");
    EXPECT_STREQ(ini.m_pINI.vendor_id, "");
    ASSERT_EQ(m_Sink.messages.size(), 3u);
    EXPECT_EQ(m_Sink.messages[0].text, "Invalid Manufacturer T10 Size");
    EXPECT_EQ(m_Sink.messages[2].text, "VID Format not valid");
}

TEST_F(SettingsFile, LoadRunsTheCheck)
{
    Write("bad.ini", "version=1008\nformat_drive_type=1\ndrive_label_name=TWELVECHARSX\n");
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIFile(Path("bad.ini")));
    EXPECT_EQ(ini.m_iLastCheckResult, kIniCheckDiskLabelTooLong);
    EXPECT_EQ(m_Sink.messages.back().text, "Invalid DiskLabel Size");
}

TEST_F(SettingsFile, InvalidRecordIsNotStoredAndOldFileStays)
{
    Write("keep.ini", "old contents");
    Ini ini;
    ini.vSetDefaultINI();
    SetIniString(ini.m_pINI.serial_number, std::string(21, '9'));
    EXPECT_FALSE(ini.vStoreINIFile(Path("keep.ini")));
    EXPECT_EQ(Read("keep.ini"), "old contents");
    EXPECT_STREQ(ini.m_pINI.serial_number, "");  // the check cleared it
    SetIniString(ini.m_pINI.serial_number, std::string(21, '9'));
    EXPECT_FALSE(ini.vStoreINIFile(Path("new.ini")));
    EXPECT_FALSE(fs::exists(Path("new.ini")));
    ini.vSetDefaultINI();
    SetIniString(ini.m_pINI.preload_folder_path, "D:\\a\r\nfw_enable=1");
    EXPECT_FALSE(ini.vStoreINIFile(Path("keep.ini")));
    EXPECT_EQ(Read("keep.ini"), "old contents");
}

TEST_F(SettingsFile, StoreReplacesWholeFile)
{
    Write("s.ini", std::string(20000, 'x'));
    Ini ini;
    ini.vSetDefaultINI();
    ASSERT_TRUE(ini.vStoreINIFile(Path("s.ini")));
    EXPECT_EQ(Read("s.ini"), strComposeINIText(ini.m_pINI));
    EXPECT_FALSE(ini.vStoreINIFile(Path("no_such_folder/s.ini")));
}

TEST_F(SettingsFile, DescriptorCheckBeforeSaving)
{
    EXPECT_EQ(strValidateGUIForSaveINI("2B9D", "7953", "0100"), "");
    EXPECT_EQ(strValidateGUIForSaveINI("2B9D", "7953", "100"), "Device Revision Format not valid \r\n");
    EXPECT_EQ(strValidateGUIForSaveINI("2B9", "79531", ""),
              "VID Format not valid \r\nPID Format not valid \r\nDevice Revision Format not valid \r\n");
    EXPECT_TRUE(vValidateGUIForSaveINI("2B9D", "7953", "0100", false));
    EXPECT_TRUE(m_Sink.messages.empty());
    EXPECT_FALSE(vValidateGUIForSaveINI("2B9D", "", "0100", false));
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_EQ(m_Sink.messages[0].kind, kMsgWarning);
    EXPECT_EQ(m_Sink.messages[0].text, "PID Format not valid \r\n");
}

TEST_F(SettingsFile, StartupFallsBackToDefaultsAndClearsStepSwitches)
{
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIAtStartup(Path("missing.ini")));
    EXPECT_TRUE(m_Sink.messages.empty());  // missing file: defaults, no message
    EXPECT_STREQ(ini.m_pINI.serial_number, "AAAABBBB0001");
    EXPECT_EQ(ini.m_pINI.fw_reload, 0);

    IniSettings s = SampleSettings();
    s.wr_test_enable = s.preload_enable = s.Check_USBStatus_enable = s.Auto_Safe_Remove = 1;
    Write("s.ini", strComposeINIText(s));
    EXPECT_TRUE(ini.vLoadINIAtStartup(Path("s.ini")));
    EXPECT_EQ(ini.m_pINI.format_enable + ini.m_pINI.wr_test_enable + ini.m_pINI.preload_enable +
                  ini.m_pINI.Check_USBStatus_enable + ini.m_pINI.fw_reload + ini.m_pINI.Auto_Safe_Remove,
              0);
    EXPECT_EQ(ini.m_pINI.fw_enable, 1);
    EXPECT_STREQ(ini.m_pINI.serial_number, "0123456789ABCDEF");
}

TEST(DialogTexts, ComboTextsToValues)
{
    EXPECT_EQ(iDriveTypeFromText("NTFS"), 0);
    EXPECT_EQ(iDriveTypeFromText("exFAT"), 2);
    EXPECT_EQ(iDriveTypeFromText("FAT16"), -1);
    EXPECT_EQ(iUSBStatusFromText("USB 3.1"), 2);
    EXPECT_EQ(iUSBStatusFromText(""), -1);
}

TEST(TargetChip, FilterByChip)
{
    EXPECT_EQ(strChipTypeFilterFromTargetChip("5211"), "00");
    EXPECT_EQ(strChipTypeFilterFromTargetChip("5213"), "001");
    EXPECT_EQ(strChipTypeFilterFromTargetChip("5233"), "010");
    EXPECT_EQ(strChipTypeFilterFromTargetChip("5271"), "011_1");
    EXPECT_EQ(strChipTypeFilterFromTargetChip("5272"), "011_2");
    EXPECT_EQ(strChipTypeFilterFromTargetChip("419CM"), "101");
    EXPECT_EQ(strChipTypeFilterFromTargetChip(""), "0");
    EXPECT_EQ(strChipTypeFilterFromTargetChip("7951"), "0");
}

}  // namespace
