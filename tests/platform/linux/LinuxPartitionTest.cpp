// Partitioning on the Linux station: the tool's partitioning scripts read as one
// plan, carried out by sfdisk on the script's disk (here an image file standing
// for the block node of the fixture's bridge disk), and refused whole, before any
// tool runs, for the system disk, a mounted or foreign disk or a script that
// cannot be carried out.
#include <gtest/gtest.h>

#include <fstream>

#include "../../common/TestSupport.h"
#include "../../disk/DiskTools.h"
#include "platform/linux/DiskPartPlan.h"
#include "platform/linux/LinuxStation.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using linuxst::ParseDiskPartScript;

const fs::path kTree = fs::path(PLATFORM_FIXTURES) / "station-tree";
constexpr const char* kMbr = " list disk\n select disk %d\n online disk noerr \n attributes disk clear readonly noerr \n"
                             " clean \nconvert mbr \ncreate partition primary %s\n select partition 1\n assign letter=E\n";
constexpr const char* kGpt = " list disk\n select disk %d\n online disk noerr \n clean \n convert gpt\n"
                             "create partition primary %s\n select partition 2\n assign letter=F\n";

std::string Script(const char* form, int disk, const std::string& offset = "")
{
    char text[512];
    std::snprintf(text, sizeof text, form, disk, offset.c_str());
    return text;
}

TEST(DiskPartPlan, TheFourScriptsOfThePartitionStep)
{
    std::string error;
    auto mbr = ParseDiskPartScript(Script(kMbr, 3), error);
    ASSERT_TRUE(mbr) << error;
    EXPECT_EQ(mbr->disk, 3);
    EXPECT_FALSE(mbr->gpt);
    EXPECT_EQ(mbr->offsetKiB, 0u);
    EXPECT_EQ(mbr->letter, 'E');
    auto gpt = ParseDiskPartScript(Script(kGpt, 12, "offset=2048 "), error);
    ASSERT_TRUE(gpt) << error;
    EXPECT_EQ(gpt->disk, 12);
    EXPECT_TRUE(gpt->gpt);
    EXPECT_EQ(gpt->offsetKiB, 2048u);
    EXPECT_EQ(gpt->letter, 'F');
}

TEST(DiskPartPlan, ScriptsThatCannotBeCarriedOutWholeAreRefused)
{
    std::string error;
    EXPECT_FALSE(ParseDiskPartScript(" list disk\n select disk 3\n clean \n", error));
    EXPECT_FALSE(error.empty());
    // Another partition than the one created, a command not known, a second disk.
    std::string text = Script(kMbr, 3);
    EXPECT_FALSE(ParseDiskPartScript(text.replace(text.find("partition 1"), 11, "partition 2"), error));
    EXPECT_FALSE(ParseDiskPartScript(Script(kMbr, 3) + " format fs=ntfs quick\n", error));
    EXPECT_FALSE(ParseDiskPartScript(" select disk 3\n select disk 4\n clean \n convert mbr\ncreate partition primary\n",
                                     error));
    // Nothing is created on a disk that was not cleaned and converted first.
    EXPECT_FALSE(ParseDiskPartScript(" select disk 3\ncreate partition primary \n", error));
    EXPECT_FALSE(ParseDiskPartScript(Script(kMbr, 3, "offset=-5 "), error));
}

class LinuxPartition : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(kTree, Root(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        disktest::MakeSparseImage(Root() / "dev/sdd", 256ull << 20);  // the bridge disk 3
    }
    fs::path Root() const { return m_Folder.Path() / "root"; }
    bool Run(linuxst::LinuxStation& station, const std::string& script)
    {
        const fs::path path = m_Folder.Path() / "DiskPartTarget.sc";
        std::ofstream(path) << script;
        return station.RunDiskPartScript(path.string());
    }
    std::string Dump() { return disktest::RunTool("sfdisk --dump " + (Root() / "dev/sdd").string()).output; }

    testsupport::TempFolder m_Folder;
    linuxst::LinuxStation m_Station{Root().string(), [](int, unsigned long, void*) { return 0; }};
};

TEST_F(LinuxPartition, MbrScriptGivesOnePrimaryPartitionFromTheFirstMiB)
{
    ASSERT_TRUE(Run(m_Station, Script(kMbr, 3)));
    const std::string dump = Dump();
    EXPECT_NE(dump.find("label: dos"), std::string::npos) << dump;
    EXPECT_NE(dump.find("sdd1 : start=        2048, size=      522240, type=6"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("sdd2"), std::string::npos) << dump;
}

TEST_F(LinuxPartition, GptScriptPutsTheDataOnPartitionTwoAfterTheReservedOne)
{
    ASSERT_TRUE(Run(m_Station, Script(kMbr, 3)));  // an old table goes first
    ASSERT_TRUE(Run(m_Station, Script(kGpt, 3)));
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
    ASSERT_TRUE(Run(m_Station, Script(kMbr, 3, "offset=4096 ")));
    EXPECT_NE(Dump().find("sdd1 : start=        8192,"), std::string::npos) << Dump();
}

TEST_F(LinuxPartition, RefusedDisksAndBadScriptsNeverReachTheTool)
{
    int runs = 0;
    m_Station.SetToolRunner([&](const std::vector<std::string>&, const std::string&) {
        ++runs;
        return ToolRun{true, 0, ""};
    });
    for (int disk : {0, 2, 4}) {  // the system disk, the decoy stick, a disk mounted at a system path
        EXPECT_FALSE(Run(m_Station, Script(kMbr, disk))) << disk;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << disk;
    }
    EXPECT_FALSE(Run(m_Station, Script(kMbr, 9)));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Run(m_Station, Script(kMbr, 3) + "format quick\n"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(m_Station.RunDiskPartScript((m_Folder.Path() / "missing.sc").string()));
    EXPECT_EQ(runs, 0);
    // The bridge disk reaches the tool with the sfdisk script on its input.
    std::vector<std::string> command;
    std::string input;
    m_Station.SetToolRunner([&](const std::vector<std::string>& argv, const std::string& text) {
        command = argv;
        input = text;
        return ToolRun{true, 1, "failed"};
    });
    EXPECT_FALSE(Run(m_Station, Script(kGpt, 3)));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    ASSERT_FALSE(command.empty());
    EXPECT_EQ(command.front(), "sfdisk");
    EXPECT_EQ(command.back(), (Root() / "dev/sdd").string());
    EXPECT_EQ(input.rfind("label: gpt\n", 0), 0u) << input;
}

}  // namespace
