#include "config/FWBrowseList.h"

#include <gtest/gtest.h>

#include "ConfigTestSupport.h"

namespace {

using BrowseList = configtest::TempFolderTest;

TEST_F(BrowseList, NewestFirstAtMostFiveSavedAsLines)
{
    CFWBrowseList list;
    IniSettings s = DefaultIniSettings();
    const std::string listFile = Path("BrowsedBINPath.txt");
    for (int i = 1; i <= 6; ++i) {
        Write("fw" + std::to_string(i) + ".bin", "x");
        ASSERT_TRUE(list.vBrowseFirmware(Path("fw" + std::to_string(i) + ".bin"), s, listFile));
    }
    ASSERT_EQ(list.Entries().size(), 5u);
    EXPECT_EQ(list.Entries().front(), Path("fw6.bin"));
    EXPECT_EQ(list.Entries().back(), Path("fw2.bin"));
    EXPECT_STREQ(s.fw_binary_name, Path("fw6.bin").c_str());
    EXPECT_EQ(Read("BrowsedBINPath.txt"), Path("fw6.bin") + "\r\n" + Path("fw5.bin") + "\r\n" + Path("fw4.bin") +
                                              "\r\n" + Path("fw3.bin") + "\r\n" + Path("fw2.bin") + "\r\n");

    // Browsing an entry again moves it to the top instead of repeating it.
    ASSERT_TRUE(list.vBrowseFirmware(Path("fw3.bin"), s, listFile));
    EXPECT_EQ(list.Entries()[0], Path("fw3.bin"));
    EXPECT_EQ(list.Entries()[1], Path("fw6.bin"));
    EXPECT_EQ(list.Entries().size(), 5u);

    CFWBrowseList reloaded;
    ASSERT_TRUE(reloaded.vLoadBINBrowseList(listFile));
    EXPECT_EQ(reloaded.Entries(), list.Entries());
}

TEST_F(BrowseList, MissingFirmwareChangesNothing)
{
    CFWBrowseList list;
    IniSettings s = DefaultIniSettings();
    SetIniString(s.fw_binary_name, "keep.bin");
    EXPECT_FALSE(list.vBrowseFirmware(Path("missing.bin"), s, Path("BrowsedBINPath.txt")));
    EXPECT_STREQ(s.fw_binary_name, "keep.bin");
    EXPECT_TRUE(list.Entries().empty());
    EXPECT_FALSE(std::filesystem::exists(Path("BrowsedBINPath.txt")));
    EXPECT_FALSE(list.vLoadBINBrowseList(Path("BrowsedBINPath.txt")));
}

}  // namespace
