// The emulated partitioning tool on sparse disk images, judged by sfdisk and fdisk.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "../common/TestSupport.h"
#include "emu/DiskPartTool.h"

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t GiB = 1024 * MiB;

std::string RunTool(const std::string& command)
{
    return testsupport::Shell(command).output;
}

// The script texts the partition step writes, for drive 3 and letter E.
const std::string kMbrScript =
    " list disk\n select disk 3\n online disk noerr \n attributes disk clear readonly noerr \n clean \n"
    "convert mbr \ncreate partition primary \n select partition 1\n assign letter=E\n";
const std::string kGptScript =
    " list disk\n select disk 3\n online disk noerr \n clean \n convert gpt\ncreate partition primary \n"
    " select partition 2\n assign letter=E\n";

class DiskPartToolTest : public ::testing::Test {
protected:
    emu::DiskPartDisk Disk(uint64_t size, uint32_t bytesPerSector = 512) const
    {
        const auto image = m_Folder.Path() / "disk.img";
        { std::ofstream create(image); }
        std::filesystem::resize_file(image, size);
        return emu::DiskPartDisk{3, image, size, bytesPerSector};
    }
    std::string Dump(const emu::DiskPartDisk& disk) const { return RunTool("sfdisk --dump " + disk.image.string()); }

    testsupport::TempFolder m_Folder;
};

TEST_F(DiskPartToolTest, MbrScriptMakesOnePrimaryPartitionAlignedTo1MiB)
{
    const auto disk = Disk(64 * GiB);
    const auto outcome = emu::RunDiskPartScript(kMbrScript, {disk});
    ASSERT_TRUE(outcome.ok) << outcome.messages;
    EXPECT_EQ(outcome.assignedLetter, 'E');
    EXPECT_EQ(outcome.partitionNumber, 1);
    const std::string dump = Dump(disk);
    EXPECT_NE(dump.find("label: dos"), std::string::npos) << dump;
    const std::string expected = disk.image.string() + "1 : start=        2048, size=   " +
                                 std::to_string(64 * GiB / 512 - 2048) + ", type=6";
    EXPECT_NE(dump.find(expected), std::string::npos) << dump;
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 7) << dump;  // one partition line
}

TEST_F(DiskPartToolTest, GptScriptPutsTheDataPartitionSecondAfterTheReservedOne)
{
    const auto disk = Disk(64 * GiB);
    const auto outcome = emu::RunDiskPartScript(kGptScript, {disk});
    ASSERT_TRUE(outcome.ok) << outcome.messages;
    EXPECT_EQ(outcome.partitionNumber, 2);
    const std::string json = RunTool("sfdisk --json " + disk.image.string());
    EXPECT_NE(json.find("\"label\": \"gpt\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"type\": \"E3C9E316-0B5C-4DB8-817D-F92DF00215AE\""), std::string::npos) << json;
    const std::regex data("\"node\": \"[^\"]*2\",\\s*\"start\": ([0-9]+),\\s*\"size\": ([0-9]+),\\s*\"type\": "
                          "\"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\"");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(json, match, data)) << json;
    EXPECT_EQ(std::stoull(match[1]) % 2048, 0u);
    EXPECT_EQ(std::stoull(match[1]) + std::stoull(match[2]) - 1, 64 * GiB / 512 - 34);  // last usable sector
    EXPECT_NE(RunTool("sfdisk --verify " + disk.image.string()).find("No errors detected."), std::string::npos);
}

TEST_F(DiskPartToolTest, GptOn4096ByteSectors)
{
    const auto disk = Disk(64 * GiB, 4096);
    ASSERT_TRUE(emu::RunDiskPartScript(kGptScript, {disk}).ok);
    const std::string listing = RunTool("fdisk -b 4096 -l " + disk.image.string());
    EXPECT_NE(listing.find("Disklabel type: gpt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("256     4351     4096  16M Microsoft reserved"), std::string::npos) << listing;
    EXPECT_NE(listing.find("4352 16777210 16772859  64G Microsoft basic data"), std::string::npos) << listing;
}

TEST_F(DiskPartToolTest, OffsetInKiBPlacesThePartition)
{
    const auto disk = Disk(8 * GiB);
    std::string script = kMbrScript;
    script.replace(script.find("primary \n"), 9, "primary offset=2048 \n");
    ASSERT_TRUE(emu::RunDiskPartScript(script, {disk}).ok);
    EXPECT_NE(Dump(disk).find("start=        4096"), std::string::npos) << Dump(disk);
}

TEST_F(DiskPartToolTest, CleanRemovesAnOlderTableAndConvertsAgain)
{
    const auto disk = Disk(8 * GiB);
    ASSERT_TRUE(emu::RunDiskPartScript(kGptScript, {disk}).ok);
    ASSERT_TRUE(emu::RunDiskPartScript(kMbrScript, {disk}).ok);
    EXPECT_NE(Dump(disk).find("label: dos"), std::string::npos) << Dump(disk);
    // Without clean a partitioned disk cannot be converted.
    const auto outcome = emu::RunDiskPartScript(" select disk 3\n convert gpt\n", {disk});
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(Dump(disk).find("label: dos"), std::string::npos);
}

TEST_F(DiskPartToolTest, MbrPartitionOfALargeDiskStopsAtThe32BitCount)
{
    const auto disk = Disk(3 * 1024 * GiB);
    ASSERT_TRUE(emu::RunDiskPartScript(kMbrScript, {disk}).ok);
    std::ifstream image(disk.image, std::ios::binary);
    std::array<uint8_t, 512> mbr{};
    image.read(reinterpret_cast<char*>(mbr.data()), mbr.size());
    uint32_t start = 0, count = 0;
    std::memcpy(&start, &mbr[454], 4);
    std::memcpy(&count, &mbr[458], 4);
    EXPECT_EQ(start, 2048u);
    EXPECT_EQ(count, 0xFFFFFFFFu);
}

TEST_F(DiskPartToolTest, StopsAtTheFirstErrorWithoutNoerr)
{
    const auto disk = Disk(8 * GiB);
    const auto wrongDisk = emu::RunDiskPartScript(" select disk 4\n clean\n convert mbr\n", {disk});
    EXPECT_FALSE(wrongDisk.ok);
    EXPECT_NE(wrongDisk.messages.find("The disk you specified is not valid."), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(disk.image), 8 * GiB);
    EXPECT_EQ(Dump(disk).find("label:"), std::string::npos);
    // GPT has no partition 1 for data: selecting 3 fails, and no letter is given.
    std::string script = kGptScript;
    script.replace(script.find("partition 2"), 11, "partition 3");
    const auto outcome = emu::RunDiskPartScript(script, {disk});
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.assignedLetter, 0);
}

}  // namespace
