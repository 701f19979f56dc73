// Single-key edits of settings files, the rules of their values, the device
// options file, control bytes and the durable store.
#include "config/IniEdit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "ConfigTestSupport.h"
#include "config/DeviceOptions.h"
#include "config/Ini.h"
#include "platform/FileStore.h"

namespace {

using IniEdit = configtest::TempFolderTest;

std::string StoredDefaults()
{
    return strComposeINIText(DefaultIniSettings());
}

TEST(IniEditRules, ValuesTheLoadWouldNotKeepAreRefusedNamingKeyAndRule)
{
    const auto yes = strRefuseIniValue("fw_enable", "yes");
    ASSERT_TRUE(yes);
    EXPECT_NE(yes->find("fw_enable=yes"), std::string::npos) << *yes;
    EXPECT_NE(yes->find("from 0 to 1"), std::string::npos) << *yes;
    EXPECT_TRUE(strRefuseIniValue("fw_enable", "2"));
    EXPECT_TRUE(strRefuseIniValue("PCIE_Scan", "7"));
    EXPECT_TRUE(strRefuseIniValue("SN_fix_length", "11"));
    EXPECT_FALSE(strRefuseIniValue("SN_fix_length", "12"));
    EXPECT_FALSE(strRefuseIniValue("SN_fix_length", "0"));
    EXPECT_TRUE(strRefuseIniValue("wr_test_count", "256"));
    EXPECT_TRUE(strRefuseIniValue("CmdLineTimeOut", "-1"));
    EXPECT_FALSE(strRefuseIniValue("cmdlinetimeout", "0"));
    EXPECT_TRUE(strRefuseIniValue("vendor_id", "2B9"));
    EXPECT_TRUE(strRefuseIniValue("vendor_id", "2B9G"));
    EXPECT_FALSE(strRefuseIniValue("vendor_id", "2b9d"));
    EXPECT_TRUE(strRefuseIniValue("serial_number", std::string(21, '1')));
    EXPECT_TRUE(strRefuseIniValue("manufacturer_string", std::string(37, 'M')));
    EXPECT_TRUE(strRefuseIniValue("fw_binary_name", std::string(255, 'f')));
    EXPECT_TRUE(strRefuseIniValue("product_string", std::string("A\0B", 3)));
    EXPECT_TRUE(strRefuseIniValue("product_string", "Disk // fast"));
    EXPECT_TRUE(strRefuseIniValue("product_string", " Disk"));
    EXPECT_FALSE(strRefuseIniValue("preload_folder_path", "//server/share"));
    EXPECT_TRUE(strRefuseIniValue("no_such_key", "1"));
}

TEST(IniEditRules, EveryNumberKeyHasARuleTheDefaultsFollow)
{
    const std::string text = StoredDefaults();
    for (const auto& key : IniFileKeys()) {
        EXPECT_FALSE(strIniKeyRule(key.name).empty()) << key.name;
        const auto value = strIniValueOf(text, key.name);
        ASSERT_TRUE(value) << key.name;
        // USB4_ComponentID_EditType's default is stored as is and forced at load.
        EXPECT_FALSE(strRefuseIniValue(key.name, *value)) << key.name << "=" << *value;
    }
}

TEST(IniEditText, SetChangesOnlyTheNamedLines)
{
    std::string text = StoredDefaults();
    // A serial advanced by a run and a comment the engineer left.
    text = strSetIniValues(text, {{"serial_number", "AAAABBBB0042"}});
    text.insert(0, "// line 3 station\r\n");
    const std::string edited = strSetIniValues(text, {{"CmdLineTimeOut", "0"}, {"EUP_UNUSED_NOT_A_KEY", "x"}});
    EXPECT_EQ(strIniValueOf(edited, "CmdLineTimeOut"), "0");
    EXPECT_EQ(strIniValueOf(edited, "serial_number"), "AAAABBBB0042");
    // Every other line is byte for byte the same.
    std::string expected = text;
    expected.replace(expected.find("CmdLineTimeOut=35"), 17, "CmdLineTimeOut=0");
    EXPECT_EQ(edited.substr(0, edited.find("EUP_UNUSED_NOT_A_KEY")), expected);
}

TEST(IniEditText, KeyInOtherCaseAndWithCommentIsReplacedInPlace)
{
    const std::string text = "[usb_fw]\r\nFW_ENABLE = 0 // off\r\nfw_reload=1\r\n";
    EXPECT_EQ(strSetIniValues(text, {{"fw_enable", "1"}}), "[usb_fw]\r\nFW_ENABLE=1\r\nfw_reload=1\r\n");
    EXPECT_EQ(strIniValueOf(text, "fw_enable"), "0");
}

TEST(IniEditText, MissingKeyGoesNextToItsNeighboursSoFwEnableStaysFirst)
{
    // After the nearest key that precedes it ...
    EXPECT_EQ(strSetIniValues("[usb_func]\r\nUSB4_BcdSync=1\r\nfw_reload=1\r\n", {{"fw_enable", "1"}}),
              "[usb_func]\r\nUSB4_BcdSync=1\r\nfw_enable=1\r\nfw_reload=1\r\n");
    // ... or before the nearest that follows it: the load reads fw_reload
    // against the fw_enable above it.
    EXPECT_EQ(strSetIniValues("[usb_fw]\r\nfw_reload=1\r\n", {{"fw_enable", "1"}}),
              "[usb_fw]\r\nfw_enable=1\r\nfw_reload=1\r\n");
    // A text without line ends of its own.
    EXPECT_EQ(strSetIniValues("[x]", {{"version", "1008"}}), "[x]\r\nversion=1008\r\n");
}

TEST_F(IniEdit, EditedFileLoadsWithTheNewValueAndTheOldSerial)
{
    IniSettings s = DefaultIniSettings();
    SetIniString(s.serial_number, "AAAABBBB0099");
    Write("a.ini", strComposeINIText(s));
    Write("a.ini", strSetIniValues(Read("a.ini"), {{"fw_enable", "1"}, {"fw_reload", "1"}, {"CmdLineTimeOut", "0"}}));
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIFile(Path("a.ini")));
    EXPECT_STREQ(ini.m_pINI.serial_number, "AAAABBBB0099");
    EXPECT_EQ(ini.m_pINI.fw_enable, 1);
    EXPECT_EQ(ini.m_pINI.fw_reload, 1);
    EXPECT_EQ(ini.m_pINI.CmdLineTimeOut, 0u);
}

TEST_F(IniEdit, ControlBytesFailTheLoadNamingTheLine)
{
    std::string text = StoredDefaults();
    const size_t at = text.find("product_string=") + 16;
    text.insert(at, std::string(1, '\0'));
    Write("nul.ini", text);
    Ini ini;
    EXPECT_FALSE(ini.vLoadINIFile(Path("nul.ini")));
    ASSERT_FALSE(m_Sink.messages.empty());
    const std::string& shown = m_Sink.messages.front().text;
    // product_string is on line 49 of a stored file.
    const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'));
    EXPECT_NE(shown.find("Line " + std::to_string(line) + " "), std::string::npos) << shown;
    EXPECT_NE(shown.find("0x00"), std::string::npos) << shown;

    Write("esc.ini", strSetIniValues(StoredDefaults(), {{"target_chip", "52\x1b" "72"}}));
    EXPECT_FALSE(ini.vLoadINIFile(Path("esc.ini")));
    // Tabs and CR LF line ends are ordinary.
    Write("tab.ini", strSetIniValues(StoredDefaults(), {{"product_string", "BRV\t795X"}}));
    EXPECT_TRUE(ini.vLoadINIFile(Path("tab.ini")));
}

TEST_F(IniEdit, StoreIsWholeAndALeftoverTemporaryFileIsRemovedAndReported)
{
    Ini ini;
    ini.m_pINI = DefaultIniSettings();
    ASSERT_TRUE(ini.vStoreINIFile(Path("s.ini")));
    EXPECT_FALSE(std::filesystem::exists(platform::StoreTempPath(Path("s.ini"))));
    // A store cut short after writing its temporary file.
    Write("s.ini.tmp", "[ini_version]\r\nversion=10");
    m_Sink.messages.clear();
    ASSERT_TRUE(ini.vLoadINIFile(Path("s.ini")));
    EXPECT_FALSE(std::filesystem::exists(Path("s.ini.tmp")));
    ASSERT_EQ(m_Sink.messages.size(), 1u);
    EXPECT_NE(m_Sink.messages[0].text.find("s.ini.tmp"), std::string::npos);
}

TEST_F(IniEdit, StoreIntoAMissingFolderFailsAndSaysWhy)
{
    Ini ini;
    ini.m_pINI = DefaultIniSettings();
    EXPECT_FALSE(ini.vStoreINIFile(Path("no/such/folder/s.ini")));
    EXPECT_NE(ini.m_strLastStoreError.find("No such file or directory"), std::string::npos) << ini.m_strLastStoreError;
}

TEST_F(IniEdit, DeviceOptionsBesideTheSettingsApplyAtStartUp)
{
    Write("a.ini", StoredDefaults());
    Write(kDeviceOptionsFileName, "// comment\r\neup=1\r\nPCIE_ASPM=1\r\nUSB4_20G=0\r\nimage1=1\r\n");
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIAtStartup(Path("a.ini")));
    EXPECT_EQ(ini.m_pINI.eup, 1);
    EXPECT_EQ(ini.m_pINI.pcie_aspm, 1);
    EXPECT_EQ(ini.m_pINI.USB4_20G, 0u);
    EXPECT_EQ(ini.m_pINI.image1, 1);
    EXPECT_EQ(ini.m_pINI.force_pcie_lane, 3);  // not named: the dialog's default
    // A plain load still resets them, as the settings dialogs expect.
    ASSERT_TRUE(ini.vLoadINIFile(Path("a.ini")));
    EXPECT_EQ(ini.m_pINI.eup, 0);
}

TEST_F(IniEdit, DamagedDeviceOptionsChangeNothingAndAreShown)
{
    Write("a.ini", StoredDefaults());
    Write(kDeviceOptionsFileName, "eup=1\npcie_aspm=4\n");
    Ini ini;
    ini.vLoadINIAtStartup(Path("a.ini"));
    EXPECT_EQ(ini.m_pINI.eup, 0);
    EXPECT_EQ(ini.m_pINI.pcie_aspm, 3);
    ASSERT_FALSE(m_Sink.messages.empty());
    EXPECT_NE(m_Sink.messages.back().text.find("line 2: pcie_aspm=4"), std::string::npos) << m_Sink.messages.back().text;
}

TEST(DeviceOptions, ComposedTextAppliesBackToTheSameValues)
{
    IniSettings s = DefaultIniSettings();
    s.two_leds = 1;
    s.lp_if_idle = 2;
    s.USB4_CLMode = 0;
    IniSettings back = DefaultIniSettings();
    std::string error;
    ASSERT_TRUE(bApplyDeviceOptionsText(strComposeDeviceOptions(s), back, error)) << error;
    for (const auto& key : DeviceOptionKeys()) EXPECT_EQ(uDeviceOption(back, key.name), uDeviceOption(s, key.name)) << key.name;
    EXPECT_FALSE(bApplyDeviceOptionsText("bogus=1\n", back, error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_TRUE(strRefuseDeviceOption("lp_if_idle", "3"));
    EXPECT_FALSE(strRefuseDeviceOption("lp_if_u3", "3"));
}

}  // namespace
