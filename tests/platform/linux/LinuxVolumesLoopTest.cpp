// The volume operations of the Linux station on real block devices: an image
// partitioned by sfdisk, attached as loop devices (the whole disk, and its data
// partition), formatted exFAT and NTFS, labelled, read back and mounted through
// the same functions a run uses. Needs root and loop devices; skipped otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "../../common/TestSupport.h"
#include "platform/ToolProcess.h"
#include "platform/linux/LinuxVolumes.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace platform::linuxst;

constexpr uint64_t MiB = 1024 * 1024;

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

class LinuxVolumesOnLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and mounts";
        if (!RunTool({"losetup", "-f"}).Succeeded()) GTEST_SKIP() << "no free loop device";
        std::ofstream(Image()).close();
        fs::resize_file(Image(), 96 * MiB);
        m_Volumes.SetToolRunner([this](const std::vector<std::string>& argv, int64_t limit) {
            m_Calls.push_back(argv);
            return RunTool(argv, {}, limit);
        });
    }
    void TearDown() override
    {
        if (!m_MountName.empty()) m_Volumes.Unmount(m_MountName);
        for (const std::string& loop : m_Loops) RunTool({"losetup", "-d", loop});
    }
    std::string Image() const { return (m_Folder.Path() / "disk.img").string(); }
    // Attaches the image (or a byte range of it) as a loop device; its node.
    std::string Attach(std::vector<std::string> range = {})
    {
        std::vector<std::string> command{"losetup", "-f", "--show"};
        command.insert(command.end(), range.begin(), range.end());
        command.push_back(Image());
        const ToolRun run = RunTool(command);
        EXPECT_TRUE(run.Succeeded()) << run.output;
        if (!run.Succeeded()) return {};
        m_Loops.push_back(Trimmed(run.output));
        return m_Loops.back();
    }
    BlockPartition PartitionOf(const PartitionTableEntry& entry)
    {
        const std::string node = Attach({"-o", std::to_string(entry.startBytes), "--sizelimit",
                                         std::to_string(entry.lengthBytes)});
        struct stat status {};
        EXPECT_EQ(::stat(node.c_str(), &status), 0) << node;
        BlockPartition partition;
        partition.name = fs::path(node).filename().string();
        partition.path = node;
        partition.number = entry.number;
        partition.deviceNumber = std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
        partition.startBytes = entry.startBytes;
        partition.lengthBytes = entry.lengthBytes;
        return partition;
    }
    std::vector<std::string> LastCallOf(const std::string& tool) const
    {
        for (auto call = m_Calls.rbegin(); call != m_Calls.rend(); ++call)
            if (call->at(0) == tool) return *call;
        return {};
    }

    testsupport::TempFolder m_Folder;
    LinuxVolumes m_Volumes{SysfsTree("/")};
    std::vector<std::vector<std::string>> m_Calls;
    std::vector<std::string> m_Loops;
    std::string m_MountName;
};

TEST_F(LinuxVolumesOnLoop, PartitionFormatLabelReadBackAndMount)
{
    // The layout of the GPT partition step: a reserved partition, then the data.
    const ToolRun partitioned =
        RunTool({"sfdisk", "--quiet", Image()},
                "label: gpt\nstart=2048, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\n"
                "start=34816, type=EBD0A0A2-B9E5-4433-87C0-68B9B6B4C7C7, name=\"Basic data partition\"\n");
    ASSERT_TRUE(partitioned.Succeeded()) << partitioned.output;
    BlockDisk disk;
    disk.name = fs::path(Attach()).filename().string();
    ASSERT_FALSE(disk.name.empty());

    const auto table = m_Volumes.ReadPartitionTable(disk);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->style, linuxst::PartitionStyle::kGpt);
    ASSERT_EQ(table->entries.size(), 2u);
    EXPECT_EQ(table->entries[1].number, 2u);
    EXPECT_EQ(table->entries[1].startBytes, 17 * MiB);
    EXPECT_EQ(table->entries[1].name, "Basic data partition");
    const BlockPartition data = PartitionOf(table->entries[1]);
    ASSERT_FALSE(data.path.empty());

    ASSERT_TRUE(m_Volumes.Format(data, "", "exFAT", "EXLABEL"));
    auto volume = m_Volumes.Probe(data);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->fileSystem.fileSystem, "exFAT");
    EXPECT_EQ(volume->fileSystem.label, "EXLABEL");
    ASSERT_TRUE(m_Volumes.SetLabel(data, "", "RELABEL"));
    EXPECT_EQ(m_Volumes.Probe(data)->fileSystem.label, "RELABEL");

    ASSERT_TRUE(m_Volumes.Format(data, "", "NTFS", "Lager \xC3\x84"));
    const auto mkfs = LastCallOf("mkfs.ntfs");
    EXPECT_EQ(std::count(mkfs.begin(), mkfs.end(), "--force"), 0);  // a block device is never forced
    EXPECT_EQ(std::count(mkfs.begin(), mkfs.end(), "34816"), 1);
    volume = m_Volumes.Probe(data);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->fileSystem.fileSystem, "NTFS");
    EXPECT_EQ(volume->fileSystem.label, "Lager \xC3\x84");
    // The partition table is untouched by the formats.
    EXPECT_EQ(m_Volumes.ReadPartitionTable(disk)->entries.size(), 2u);

    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no FUSE: the mount is not tried";
    m_MountName = "T" + std::to_string(::getpid());
    const auto folder = m_Volumes.Mount(data, "", m_MountName);
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, m_Volumes.MountFolder(m_MountName));
    std::ofstream(*folder / "file.txt") << "preloaded";
    volume = m_Volumes.Probe(data);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->mountPoint, folder->string());
    EXPECT_TRUE(volume->spaceKnown);
    EXPECT_GT(volume->totalBytes, 60 * MiB);
    EXPECT_LT(volume->freeBytes, volume->totalBytes);
    EXPECT_FALSE(m_Volumes.Format(data, "", "exFAT", "NO"));  // mounted
    EXPECT_TRUE(m_Volumes.Unmount(m_MountName));
    EXPECT_FALSE(fs::exists(*folder));
    m_MountName.clear();
}

}  // namespace
