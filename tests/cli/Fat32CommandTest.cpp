// devedactl fat32 format on sparse image files, judged by fsck.fat and mtools.
#include <gtest/gtest.h>

#include "../common/DiskTools.h"
#include "CtlRunner.h"

namespace {

using clitest::RunCtl;
using disktest::RunTool;

class Fat32Command : public ::testing::Test {
protected:
    std::string Image() const { return (m_Folder.Path() / "disk.img").string(); }
    testsupport::TempFolder m_Folder;
};

TEST_F(Fat32Command, FormatsAWholeImageWithLabelAndCluster)
{
    disktest::MakeSparseImage(Image(), uint64_t{2} << 30);
    const auto r = RunCtl("fat32 format " + Image() + " --cluster 16 --label LINE7");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("4194304 sectors of 512 bytes, 16 sectors per cluster"), std::string::npos) << r.output;
    const auto dir = RunTool("mdir -i " + Image() + " ::");
    EXPECT_NE(dir.output.find("Volume in drive : is LINE7"), std::string::npos) << dir.output;
    const auto fsck = RunTool("fsck.fat -n " + Image());
    EXPECT_NE(fsck.output.find("volume label 'LINE7' stored in root directory"), std::string::npos) << fsck.output;
}

TEST_F(Fat32Command, FormatsAtAByteOffsetAndLeavesTheBytesBeforeIt)
{
    disktest::MakeSparseImage(Image(), uint64_t{1} << 30);
    const auto r = RunCtl("fat32 format " + Image() + "@1M --label OFFSET");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("at offset 1048576"), std::string::npos) << r.output;
    const auto dir = RunTool("mdir -i " + Image() + "@@1M ::");
    EXPECT_NE(dir.output.find("Volume in drive : is OFFSET"), std::string::npos) << dir.output;
    const auto head = RunTool("cmp -n 1048576 " + Image() + " /dev/zero");
    EXPECT_EQ(head.status, 0) << head.output;
}

TEST_F(Fat32Command, FourKilobyteSectorImage)
{
    disktest::MakeSparseImage(Image(), uint64_t{4} << 30);
    ASSERT_EQ(RunCtl("fat32 format " + Image() + " --sector-size 4096 --label FOURK").status, 0);
    const auto info = RunTool("minfo -i " + Image() + " ::");
    EXPECT_NE(info.output.find("sector size: 4096 bytes"), std::string::npos) << info.output;
}

TEST_F(Fat32Command, RefusesBadArgumentsAndSmallImages)
{
    disktest::MakeSparseImage(Image(), uint64_t{16} << 20);
    EXPECT_EQ(RunCtl("fat32 format " + Image() + " --cluster 129").status, 1);
    EXPECT_EQ(RunCtl("fat32 format " + Image() + " --cluster x").status, 2);
    EXPECT_EQ(RunCtl("fat32 format " + Image() + " --sector-size 1024").status, 2);
    EXPECT_EQ(RunCtl("fat32 format " + Image() + "@1000").status, 1);  // not on a sector boundary
    EXPECT_EQ(RunCtl("fat32 format " + Image()).status, 1);            // 32,768 sectors: too small
    EXPECT_EQ(RunCtl("fat32 format " + Image() + ".missing").status, 1);
    EXPECT_EQ(disktest::AllocatedBytes(Image()), 0u);
}

}  // namespace
