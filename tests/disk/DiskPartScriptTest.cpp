// The partitioning script: name, the four templates byte for byte, the file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "../common/TestSupport.h"
#include "device/host/PartitionScript.h"
#include "disk/DiskPartScript.h"

namespace {

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DiskPartScript, NameCarriesTheDriveNumber)
{
    EXPECT_EQ(disk::DiskPartScriptName(3), "DiskPartTarget3.sc");
    EXPECT_EQ(disk::DiskPartScriptName(12), "DiskPartTarget12.sc");
}

TEST(DiskPartScript, MbrTemplates)
{
    EXPECT_EQ(disk::DiskPartScriptText(3, 'E', 0, 0).value(),
              " list disk\n select disk 3\n online disk noerr \n attributes disk clear readonly noerr \n clean \n"
              "convert mbr \ncreate partition primary \n select partition 1\n assign letter=E\n");
    EXPECT_EQ(disk::DiskPartScriptText(7, 'K', 0, 2).value(),
              " list disk\n select disk 7\n online disk noerr \n attributes disk clear readonly noerr \n clean \n"
              "convert mbr \ncreate partition primary offset=2048 \n select partition 1\n assign letter=K\n");
}

TEST(DiskPartScript, GptTemplatesSelectPartitionTwoAndKeepTheReadOnlyAttribute)
{
    EXPECT_EQ(disk::DiskPartScriptText(3, 'E', 1, 0).value(),
              " list disk\n select disk 3\n online disk noerr \n clean \n convert gpt\ncreate partition primary \n"
              " select partition 2\n assign letter=E\n");
    EXPECT_EQ(disk::DiskPartScriptText(15, 'Z', 2, 1).value(),
              " list disk\n select disk 15\n online disk noerr \n clean \n convert gpt\ncreate partition primary "
              "offset=1024 \n select partition 2\n assign letter=Z\n");
}

TEST(DiskPartScript, NoScriptForTheSystemDiskANonLetterOrAnOffsetBeyond32Bits)
{
    EXPECT_FALSE(disk::DiskPartScriptText(0, 'E', 0, 0));
    EXPECT_FALSE(disk::DiskPartScriptText(2, 0x7F, 0, 0));
    EXPECT_FALSE(disk::DiskPartScriptText(2, 'E', 0, 4194304));  // 4 TiB in KiB leaves 32 bits
    EXPECT_TRUE(disk::DiskPartScriptText(2, 'E', 0, 4194303));
}

TEST(DiskPartScript, FileIsWrittenWholeAndReplacesAnOlderOne)
{
    testsupport::TempFolder folder;
    const auto path = folder.Path() / "DiskPartTarget4.sc";
    std::ofstream(path) << "stale text that is longer than nothing at all";
    ASSERT_TRUE(disk::vSetDiskPartSetupInfo(folder.Path(), 'F', 4, 0, 0));
    EXPECT_EQ(ReadText(path), disk::DiskPartScriptText(4, 'F', 0, 0).value());
    EXPECT_FALSE(std::filesystem::exists(folder.Path() / "DiskPartTarget4.sc.tmp"));
    EXPECT_TRUE(disk::vDelDiskPartSetupInfo(folder.Path(), 4));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(disk::vDelDiskPartSetupInfo(folder.Path(), 4));  // nothing left to delete
}

TEST(DiskPartScript, SystemDiskGetsNoFile)
{
    testsupport::TempFolder folder;
    EXPECT_FALSE(disk::vSetDiskPartSetupInfo(folder.Path(), 'E', 0, 0, 0));
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

}  // namespace

// The scripts the step writes read back as the one plan the station carries out.
TEST(DiskPartScript, EveryTemplateReadsAsThePlanItAsksFor)
{
    std::string error;
    for (uint8_t gpt : {0, 1})
        for (uint32_t offsetMiB : {0u, 2u}) {
            const auto plan = device::host::ParseDiskPartScript(disk::DiskPartScriptText(9, 'G', gpt, offsetMiB).value(),
                                                                error);
            ASSERT_TRUE(plan) << error;
            EXPECT_EQ(plan->disk, 9u);
            EXPECT_EQ(plan->gpt, gpt == 1);
            EXPECT_EQ(plan->offsetKiB, uint64_t{offsetMiB} * 1024);
        }
}

TEST(DiskPartScript, ScriptsThatCannotBeCarriedOutWholeAreRefused)
{
    std::string error;
    const auto refused = [&](const std::string& text) {
        error.clear();
        return !device::host::ParseDiskPartScript(text, error) && !error.empty();
    };
    const std::string mbr = disk::DiskPartScriptText(3, 'E', 0, 0).value();
    EXPECT_TRUE(refused(" list disk\n select disk 3\n clean \n"));  // nothing created
    std::string otherPartition = mbr;
    EXPECT_TRUE(refused(otherPartition.replace(otherPartition.find("partition 1"), 11, "partition 2")));
    EXPECT_TRUE(refused(mbr + " format fs=ntfs quick\n"));
    EXPECT_TRUE(refused(" select disk 3\n select disk 4\n clean \n convert mbr\ncreate partition primary\n"));
    // Nothing is created on a disk that was not cleaned and converted first.
    EXPECT_TRUE(refused(" select disk 3\ncreate partition primary \n"));
    std::string negative = mbr;
    EXPECT_TRUE(refused(negative.replace(negative.find("primary "), 8, "primary offset=-5 ")));
    EXPECT_TRUE(refused(" select disk 300\n clean\n convert mbr\ncreate partition primary\n"));
}
