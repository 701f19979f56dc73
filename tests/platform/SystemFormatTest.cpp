// Command lines of the system's file-system tools.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/SystemFormat.h"

namespace {

bool Has(const std::vector<std::string>& words, const std::string& word)
{
    return std::find(words.begin(), words.end(), word) != words.end();
}

TEST(SystemFormat, NtfsOnAnImageFileIsForcedAndCarriesThePartitionStart)
{
    const auto command = platform::QuickFormatCommand("ntfs", {"/tmp/p.img", true, 34816, 512, 63, 255});
    ASSERT_TRUE(command);
    EXPECT_EQ(command->front(), "mkfs.ntfs");
    EXPECT_EQ(command->back(), "/tmp/p.img");
    EXPECT_TRUE(Has(*command, "--quick"));
    EXPECT_TRUE(Has(*command, "--force"));
    const auto start = std::find(command->begin(), command->end(), "--partition-start");
    ASSERT_NE(start, command->end());
    EXPECT_EQ(*(start + 1), "34816");
}

TEST(SystemFormat, NtfsOnABlockDeviceIsNeverForced)
{
    // Forcing would also format a device that is in use.
    const auto command = platform::QuickFormatCommand("NTFS", {"/dev/sdb1", false, 2048, 4096, 63, 255});
    ASSERT_TRUE(command);
    EXPECT_FALSE(Has(*command, "--force"));
    EXPECT_TRUE(Has(*command, "4096"));
}

TEST(SystemFormat, ExfatAndTheLabelTools)
{
    EXPECT_EQ(platform::QuickFormatCommand("EXFAT", {"/dev/sdb2", false, 0, 512, 63, 255}),
              (std::vector<std::string>{"mkfs.exfat", "/dev/sdb2"}));
    EXPECT_EQ(platform::LabelCommand("exFAT", "/dev/sdb2", "SHIPPED"),
              (std::vector<std::string>{"exfatlabel", "/dev/sdb2", "SHIPPED"}));
    EXPECT_EQ(platform::LabelCommand("NTFS", "v", "")->front(), "ntfslabel");
    EXPECT_EQ(platform::LabelCommand("FAT32", "v", "L")->front(), "fatlabel");
}

TEST(SystemFormat, TheNewVolumesLabelIsGivenToTheFormatter)
{
    EXPECT_EQ(platform::QuickFormatCommand("exFAT", {"/dev/sdb2", false, 0, 512, 63, 255}, "SHIPPED"),
              (std::vector<std::string>{"mkfs.exfat", "-L", "SHIPPED", "/dev/sdb2"}));
    EXPECT_EQ(platform::QuickFormatCommand("NTFS", {"/dev/sdb2", false, 34816, 512, 63, 255}, "Lager 1"),
              (std::vector<std::string>{"mkfs.ntfs", "--quick", "--quiet", "--partition-start", "34816", "--sector-size",
                                        "512", "--sectors-per-track", "63", "--heads", "255", "--label", "Lager 1",
                                        "/dev/sdb2"}));
    // A label that looks like an option is still only the label's value here.
    const auto dashed = platform::QuickFormatCommand("EXFAT", {"/dev/sdb2", false, 0, 512, 63, 255}, "-x");
    EXPECT_EQ(dashed, (std::vector<std::string>{"mkfs.exfat", "-L", "-x", "/dev/sdb2"}));
}

TEST(SystemFormat, ALabelTheLabelToolsWouldReadAsAnOptionIsRefused)
{
    EXPECT_FALSE(platform::LabelCommand("NTFS", "/dev/sdb2", "-f"));
    EXPECT_FALSE(platform::LabelCommand("exFAT", "/dev/sdb2", "--help"));
    EXPECT_EQ(platform::LabelCommand("NTFS", "/dev/sdb2", "A-B"),
              (std::vector<std::string>{"ntfslabel", "/dev/sdb2", "A-B"}));
}

TEST(SystemFormat, OtherFileSystemsHaveNoCommand)
{
    EXPECT_FALSE(platform::QuickFormatCommand("FAT32", {"v", true, 0, 512, 63, 255}));
    EXPECT_FALSE(platform::QuickFormatCommand("", {"v", true, 0, 512, 63, 255}));
    EXPECT_FALSE(platform::LabelCommand("ext4", "v", "L"));
}

}  // namespace
