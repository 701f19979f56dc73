// A disk prepared end to end on an image: our script, carried out by the
// emulated partitioning tool, then our FAT32 writer on the partition it made;
// sfdisk reads the table, fsck.fat and mtools the file system.
#include <gtest/gtest.h>

#include <regex>

#include "../common/TestSupport.h"
#include "../common/DiskTools.h"
#include "disk/DiskPartScript.h"
#include "disk/Fat32Format.h"
#include "disk/ImageSectorDevice.h"
#include "disk/MbrPostProcess.h"
#include "emu/DiskPartTool.h"

namespace {

using disktest::RunTool;
constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t kDiskSize = 1024 * MiB;

class PartitionAndFormat : public ::testing::Test {
protected:
    std::string Image() const { return (m_Folder.Path() / "disk.img").string(); }

    // Partitions drive 3 with letter E as the partition step does; returns the
    // data partition's start and length in bytes from sfdisk.
    std::pair<uint64_t, uint64_t> Partition(uint8_t gpt)
    {
        disktest::MakeSparseImage(Image(), kDiskSize);
        EXPECT_TRUE(disk::vSetDiskPartSetupInfo(m_Folder.Path(), 'E', 3, gpt, 0));
        const auto script = disktest::ReadFile(m_Folder.Path() / disk::DiskPartScriptName(3));
        const auto outcome = emu::RunDiskPartScript(script, {emu::DiskPartDisk{3, Image(), kDiskSize, 512}});
        EXPECT_TRUE(outcome.ok) << outcome.messages;
        EXPECT_EQ(outcome.partitionNumber, gpt != 0 ? 2 : 1);
        EXPECT_TRUE(disk::vDelDiskPartSetupInfo(m_Folder.Path(), 3));
        const std::string dump = RunTool("sfdisk --dump " + Image()).output;
        std::smatch match;
        const std::regex line(std::regex_replace(Image(), std::regex("[.]"), "\\.") + (gpt != 0 ? "2" : "1") +
                              " : start=\\s*([0-9]+), size=\\s*([0-9]+)");
        EXPECT_TRUE(std::regex_search(dump, match, line)) << dump;
        if (match.empty()) return {0, 0};
        return {std::stoull(match[1]) * 512, std::stoull(match[2]) * 512};
    }

    void FormatAndCheck(uint64_t start, uint64_t length, uint8_t gpt)
    {
        disk::CImageSectorDevice volume(Image(), start, length, 512);
        ASSERT_TRUE(volume.Open());
        disk::CFat32Format format;
        ASSERT_TRUE(format.bSetFormatParam('E', 16, gpt));
        ASSERT_TRUE(format.bFormatVolume(volume, "PREPARED"));
        const auto info = RunTool("minfo -i " + Image() + "@@" + std::to_string(start) + " ::");
        EXPECT_NE(info.output.find("hidden sectors: " + std::to_string(start / 512)), std::string::npos)
            << info.output;
        const auto dir = RunTool("mdir -i " + Image() + "@@" + std::to_string(start) + " ::");
        EXPECT_NE(dir.output.find("Volume in drive : is PREPARED"), std::string::npos) << dir.output;
        const std::string part = (m_Folder.Path() / "part.img").string();
        RunTool("dd if=" + Image() + " of=" + part + " bs=1M skip=" + std::to_string(start / MiB) +
                " count=" + std::to_string(length / MiB + 1) + " conv=sparse status=none");
        std::filesystem::resize_file(part, length);
        const auto fsck = RunTool("fsck.fat -n " + part);
        EXPECT_NE(fsck.output.find("There is no label in boot sector, but there is volume label 'PREPARED'"),
                  std::string::npos)
            << fsck.output;
        EXPECT_EQ(disktest::Lines(fsck.output).size(), 5u) << fsck.output;
    }

    testsupport::TempFolder m_Folder;
};

TEST_F(PartitionAndFormat, MbrDiskGetsAFat32PartitionOfTypeC)
{
    const auto [start, length] = Partition(0);
    EXPECT_EQ(start, MiB);
    testsupport::FakeClockScope clock;
    disk::CImageSectorDevice whole(Image(), 0, 0, 512);
    ASSERT_TRUE(whole.Open());
    EXPECT_TRUE(disk::vPostProcessMbr(whole, 512, kDiskSize, 3, 'E'));  // not active, not at 63: left as it is
    FormatAndCheck(start, length, 0);
    EXPECT_NE(RunTool("sfdisk --dump " + Image()).output.find(", type=c"), std::string::npos);
}

TEST_F(PartitionAndFormat, GptDiskGetsAFat32SecondPartition)
{
    const auto [start, length] = Partition(1);
    EXPECT_EQ(start % MiB, 0u);
    FormatAndCheck(start, length, 1);
    EXPECT_NE(RunTool("sfdisk --verify " + Image()).output.find("No errors detected."), std::string::npos);
}

}  // namespace
