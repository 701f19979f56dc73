// Partitioning on the Linux station: a partition plan carried out by sfdisk on
// the plan's disk (here an image file standing for the block node of the
// fixture's bridge disk), and refused whole, before any tool runs, for the
// system disk, a mounted or foreign disk or a disk that is not there.
#include <gtest/gtest.h>

#include <fstream>

#include "../../common/TestSupport.h"
#include "../../common/DiskTools.h"
#include "platform/linux/LinuxStation.h"
#include "platform/linux/SfdiskScript.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;

const fs::path kTree = fs::path(PLATFORM_FIXTURES) / "station-tree";

PartitionPlan Mbr(uint32_t disk, uint64_t offsetKiB = 0) { return {disk, false, offsetKiB}; }
PartitionPlan Gpt(uint32_t disk, uint64_t offsetKiB = 0) { return {disk, true, offsetKiB}; }

TEST(SfdiskScript, OnePrimaryPartitionOrTheReservedOneAndTheData)
{
    EXPECT_EQ(linuxst::SfdiskScript(Mbr(3), 512), "label: dos\nstart=2048, type=6\n");
    EXPECT_EQ(linuxst::SfdiskScript(Mbr(3, 4096), 512), "label: dos\nstart=8192, type=6\n");
    EXPECT_EQ(linuxst::SfdiskScript(Mbr(3), 4096), "label: dos\nstart=256, type=6\n");
    const std::string gpt = linuxst::SfdiskScript(Gpt(3), 512);
    EXPECT_EQ(gpt.rfind("label: gpt\nstart=2048, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE", 0), 0u) << gpt;
    EXPECT_NE(gpt.find("start=34816, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"), std::string::npos) << gpt;
}

class LinuxPartition : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(kTree, Root(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        disktest::MakeSparseImage(Root() / "dev/sdd", 256ull << 20);  // the bridge disk 3
    }
    fs::path Root() const { return m_Folder.Path() / "root"; }
    std::string Dump() { return disktest::RunTool("sfdisk --dump " + (Root() / "dev/sdd").string()).output; }

    testsupport::TempFolder m_Folder;
    linuxst::LinuxStation m_Station{Root().string(), [](int, unsigned long, void*) { return 0; }};
};

TEST_F(LinuxPartition, AnMbrPlanGivesOnePrimaryPartitionFromTheFirstMiB)
{
    ASSERT_TRUE(m_Station.ApplyPartitionPlan(Mbr(3)));
    const std::string dump = Dump();
    EXPECT_NE(dump.find("label: dos"), std::string::npos) << dump;
    EXPECT_NE(dump.find("sdd1 : start=        2048, size=      522240, type=6"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("sdd2"), std::string::npos) << dump;
}

TEST_F(LinuxPartition, AGptPlanPutsTheDataOnPartitionTwoAfterTheReservedOne)
{
    ASSERT_TRUE(m_Station.ApplyPartitionPlan(Mbr(3)));  // an old table goes first
    ASSERT_TRUE(m_Station.ApplyPartitionPlan(Gpt(3)));
    const std::string dump = Dump();
    EXPECT_NE(dump.find("label: gpt"), std::string::npos) << dump;
    EXPECT_NE(dump.find("sdd1 : start=        2048, size=       32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("sdd2 : start=       34816,"), std::string::npos) << dump;
    EXPECT_NE(dump.find("name=\"Basic data partition\""), std::string::npos) << dump;
    EXPECT_NE(disktest::RunTool("sfdisk --verify " + (Root() / "dev/sdd").string()).output.find("No errors detected"),
              std::string::npos);
}

TEST_F(LinuxPartition, AnOffsetInKiBMovesTheStart)
{
    ASSERT_TRUE(m_Station.ApplyPartitionPlan(Mbr(3, 4096)));
    EXPECT_NE(Dump().find("sdd1 : start=        8192,"), std::string::npos) << Dump();
}

TEST_F(LinuxPartition, RefusedDisksNeverReachTheTool)
{
    int runs = 0;
    m_Station.SetToolRunner([&](const std::vector<std::string>&, const std::string&) {
        ++runs;
        return ToolRun{true, 0, ""};
    });
    for (uint32_t disk : {0u, 2u, 4u}) {  // the system disk, the decoy stick, a disk mounted at a system path
        EXPECT_FALSE(m_Station.ApplyPartitionPlan(Mbr(disk))) << disk;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << disk;
    }
    EXPECT_FALSE(m_Station.ApplyPartitionPlan(Gpt(9)));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(runs, 0);
    // The bridge disk reaches the tool with the sfdisk script on its input.
    std::vector<std::string> command;
    std::string input;
    m_Station.SetToolRunner([&](const std::vector<std::string>& argv, const std::string& text) {
        command = argv;
        input = text;
        return ToolRun{true, 1, "failed"};
    });
    EXPECT_FALSE(m_Station.ApplyPartitionPlan(Gpt(3)));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    ASSERT_FALSE(command.empty());
    EXPECT_EQ(command.front(), "sfdisk");
    EXPECT_EQ(command.back(), (Root() / "dev/sdd").string());
    EXPECT_EQ(input.rfind("label: gpt\n", 0), 0u) << input;
}

}  // namespace
