// The USB4 BCD revision follows the firmware file name at start-up and after a
// firmware browse while USB4_BcdSync is 1.
#include <gtest/gtest.h>

#include <string>

#include "ConfigTestSupport.h"
#include "config/FWBrowseList.h"
#include "config/Ini.h"
#include "config/IniEdit.h"

namespace {

using BcdSync = configtest::TempFolderTest;

TEST_F(BcdSync, StartUpLoadTakesTheRevisionFromTheFirmwareName)
{
    Write("BR_USB4_241231000106___.bin", "image");
    const std::string firmware = Path("BR_USB4_241231000106___.bin");
    Write("a.ini", strSetIniValues(strComposeINIText(DefaultIniSettings()),
                                   {{"fw_enable", "1"}, {"fw_binary_name", firmware}, {"USB4_BcdSync", "1"}}));
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIAtStartup(Path("a.ini")));
    EXPECT_STREQ(ini.m_pINI.USB4_BcdProductFWRevision, "4C31");

    // Switched off, the file's revision stays.
    Write("b.ini", strSetIniValues(Read("a.ini"), {{"USB4_BcdSync", "0"}}));
    ASSERT_TRUE(ini.vLoadINIAtStartup(Path("b.ini")));
    EXPECT_STREQ(ini.m_pINI.USB4_BcdProductFWRevision, "1234");
}

TEST_F(BcdSync, MissingFirmwareFileKeepsTheStoredRevision)
{
    Write("a.ini", strSetIniValues(strComposeINIText(DefaultIniSettings()),
                                   {{"fw_binary_name", Path("BR_USB4_241231000106___.bin")}}));
    Ini ini;
    ASSERT_TRUE(ini.vLoadINIAtStartup(Path("a.ini")));
    EXPECT_STREQ(ini.m_pINI.USB4_BcdProductFWRevision, "1234");
}

TEST_F(BcdSync, BrowsingAFirmwareFileSetsTheRevision)
{
    Write("BR_USB4_250715000106___.bin", "image");
    IniSettings settings = DefaultIniSettings();
    CFWBrowseList list;
    ASSERT_TRUE(list.vBrowseFirmware(Path("BR_USB4_250715000106___.bin"), settings, Path("BrowsedBINPath.txt")));
    EXPECT_STREQ(settings.USB4_BcdProductFWRevision, "5715");
    settings.USB4_BcdSync = 0;
    Write("BR_USB4_241231000106___.bin", "image");
    ASSERT_TRUE(list.vBrowseFirmware(Path("BR_USB4_241231000106___.bin"), settings, Path("BrowsedBINPath.txt")));
    EXPECT_STREQ(settings.USB4_BcdProductFWRevision, "5715");
}

}  // namespace
