// Volumes on the Linux station, on a copy of the fixture tree with a partition
// added to the bridge disk sdd (disk 3): mounting at the folder of a drive
// letter, unmounting, quick formats and labels, each tool call checked word by
// word through the tool seam, and the refusals that keep every tool away from
// the system disk, mounted partitions and unsafe folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <fstream>
#include <map>
#include <sstream>

#include "../RecordedFixture.h"
#include "../../common/TestSupport.h"
#include "platform/Station.h"
#include "platform/linux/LinuxVolumes.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace platform::linuxst;

const fs::path kTree = fs::path(PLATFORM_FIXTURES) / "station-tree";

void Write(const fs::path& path, const std::string& text, bool append = false)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, append ? std::ios::app : std::ios::trunc) << text;
}

unsigned Mode(const fs::path& path)
{
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return status.st_mode & 07777;
}

class LinuxVolumesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(kTree, Root(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        const fs::path part = Root() / "sys/block/sdd/sdd1";
        Write(part / "partition", "1\n");
        Write(part / "dev", "8:49\n");
        Write(part / "start", "2048\n");
        Write(part / "size", "522240\n");
        Write(Root() / "dev/sdd1", std::string(4096, '\0'));
        KernelFileSystems("nodev\tsysfs\n\text4\n\tfuseblk\nnodev\tfuse\n");
        m_Volumes.SetToolRunner([this](const std::vector<std::string>& argv, int64_t limit) {
            m_Calls.push_back(argv);
            m_Limits.push_back(limit);
            const auto answer = m_Answers.find(argv.at(0));
            return answer == m_Answers.end() ? ToolRun{true, 0, ""} : answer->second;
        });
        m_Answers["blkid"] = {true, 0, Recorded("blkid-ntfs.txt")};
    }
    fs::path Root() const { return m_Folder.Path() / "root"; }
    fs::path Volumes() const { return fs::absolute(Root() / "run/deveda/volumes"); }
    void KernelFileSystems(const std::string& text) { Write(Root() / "proc/filesystems", text); }
    void Mounted(const std::string& number, const fs::path& at, const std::string& source = "/dev/sdd1")
    {
        Write(Root() / "proc/self/mountinfo", "40 22 " + number + " / " + at.string() + " rw - fuseblk " + source + " rw\n",
              true);
    }
    BlockPartition Partition(const std::string& disk)
    {
        for (const BlockDisk& block : m_Tree.Disks())
            if (block.name == disk) return m_Tree.Partitions(block).at(0);
        ADD_FAILURE() << disk;
        return {};
    }
    std::string Node() const { return (Root() / "dev/sdd1").string(); }

    testsupport::TempFolder m_Folder;
    SysfsTree m_Tree{Root()};
    LinuxVolumes m_Volumes{SysfsTree(Root())};
    std::map<std::string, ToolRun> m_Answers;
    std::vector<std::vector<std::string>> m_Calls;
    std::vector<int64_t> m_Limits;
};

TEST_F(LinuxVolumesTest, ThePartitionsOfADiskComeFromSysfs)
{
    const BlockPartition partition = Partition("sdd");
    EXPECT_EQ(partition.name, "sdd1");
    EXPECT_EQ(partition.path, Node());
    EXPECT_EQ(partition.number, 1u);
    EXPECT_EQ(partition.deviceNumber, "8:49");
    EXPECT_EQ(partition.startBytes, 1024u * 1024);
    EXPECT_EQ(partition.lengthBytes, 522240ull * 512);
    EXPECT_EQ(partition.sectorSize, 512u);
    for (const BlockDisk& block : m_Tree.Disks())
        if (block.name == "sdb") {
            EXPECT_TRUE(m_Tree.Partitions(block).empty());
        }
}

TEST_F(LinuxVolumesTest, TheTableOfADiskIsReadFromItsBlockNode)
{
    m_Answers["sfdisk"] = {true, 0, Recorded("sfdisk-mbr.json")};
    BlockDisk disk;
    disk.name = "sdd";
    const auto table = m_Volumes.ReadPartitionTable(disk);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->entries.size(), 2u);
    EXPECT_EQ(m_Calls.at(0), (std::vector<std::string>{"sfdisk", "--json", (Root() / "dev/sdd").string()}));
    m_Answers["sfdisk"] = {true, 1, "cannot open"};
    EXPECT_FALSE(m_Volumes.ReadPartitionTable(disk));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
}

TEST_F(LinuxVolumesTest, NtfsIsMountedByTheFuseDriverWhenTheKernelHasNone)
{
    const auto folder = m_Volumes.Mount(Partition("sdd"), "", "E");
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, Volumes() / "E");
    ASSERT_EQ(m_Calls.size(), 2u);
    EXPECT_EQ(m_Calls[0], (std::vector<std::string>{"blkid", "-p", "-o", "udev", Node()}));
    EXPECT_EQ(m_Calls[1], (std::vector<std::string>{"mount", "-t", "ntfs-3g", "-o", "nosuid,nodev,noexec", Node(),
                                                    (Volumes() / "E").string()}));
    EXPECT_EQ(m_Limits[1], kMountTimeLimitMs);
    EXPECT_TRUE(fs::is_directory(*folder));
    EXPECT_EQ(Mode(*folder), 0700u);
    EXPECT_EQ(Mode(Volumes()), 0700u);
    EXPECT_EQ(Mode(Volumes().parent_path()), 0700u);
}

TEST_F(LinuxVolumesTest, TheKernelsDriversAreTakenWhenItHasThem)
{
    KernelFileSystems("nodev\tsysfs\n\text4\n\tntfs3\n\tvfat\n");
    ASSERT_TRUE(m_Volumes.Mount(Partition("sdd"), "", "F"));
    EXPECT_EQ(m_Calls.back().at(2), "ntfs3");
    // FAT gets UTF-8 names; exFAT's driver is a module the mount loads.
    m_Answers["blkid"] = {true, 0, Recorded("blkid-fat32.txt")};
    ASSERT_TRUE(m_Volumes.Mount(Partition("sdd"), "", "G"));
    EXPECT_EQ(m_Calls.back().at(2), "vfat");
    EXPECT_EQ(m_Calls.back().at(4), "nosuid,nodev,noexec,utf8");
    m_Answers["blkid"] = {true, 0, Recorded("blkid-exfat.txt")};
    ASSERT_TRUE(m_Volumes.Mount(Partition("sdd"), "", "H"));
    EXPECT_EQ(m_Calls.back().at(2), "exfat-fuse");
    Write(Root() / "proc/sys/kernel/osrelease", "6.1.0-station\n");
    Write(Root() / "lib/modules/6.1.0-station/kernel/fs/exfat/exfat.ko.xz", "");
    ASSERT_TRUE(m_Volumes.Mount(Partition("sdd"), "", "I"));
    EXPECT_EQ(m_Calls.back().at(2), "exfat");
}

TEST_F(LinuxVolumesTest, FatWithoutAKernelDriverIsNotMountedAndLeavesNoFolder)
{
    m_Answers["blkid"] = {true, 0, Recorded("blkid-fat32.txt")};
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "E"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(m_Calls.size(), 1u);
    EXPECT_FALSE(fs::exists(Volumes() / "E"));
}

TEST_F(LinuxVolumesTest, AFailedMountLeavesNoFolderBehind)
{
    m_Answers["mount"] = {true, 32, "mount: wrong fs type"};
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "E"));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_FALSE(fs::exists(Volumes() / "E"));
    m_Answers["blkid"] = {true, 2, ""};
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "E"));
    EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
    EXPECT_FALSE(fs::exists(Volumes() / "E"));
}

TEST_F(LinuxVolumesTest, ARefusedDiskOrAnUnsafeNameReachesNoTool)
{
    // sde1 belongs to the disk mounted at /srv/data.
    EXPECT_FALSE(m_Volumes.Mount(Partition("sde"), "mounted at /srv/data, a system path", "E"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    for (const char* name : {"", "..", ".", "a/b", "E:", "../../etc", "ABCDEFGHIJKLMNOPQ"}) {
        EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", name)) << name;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << name;
        EXPECT_FALSE(m_Volumes.Unmount(name)) << name;
    }
    EXPECT_TRUE(m_Calls.empty());
    EXPECT_FALSE(fs::exists(Volumes()));
}

TEST_F(LinuxVolumesTest, NothingIsMountedOverAFolderInUse)
{
    Write(Volumes() / "E/keep.txt", "operator's file");
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "E"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::exists(Volumes() / "E/keep.txt"));
    // A link in place of the folder would lead the mount elsewhere.
    fs::create_directories(m_Folder.Path() / "elsewhere");
    fs::create_directory_symlink(m_Folder.Path() / "elsewhere", Volumes() / "F");
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "F"));
    // A folder something else is mounted on.
    fs::create_directories(Volumes() / "G");
    Mounted("0:55", Volumes() / "G", "tmpfs");
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "G"));
    for (const auto& call : m_Calls) EXPECT_NE(call.at(0), "mount");
}

TEST_F(LinuxVolumesTest, APartitionMountedAlreadyIsNotMountedTwice)
{
    Mounted("8:49", Volumes() / "E");
    EXPECT_EQ(m_Volumes.Mount(Partition("sdd"), "", "E"), Volumes() / "E");
    EXPECT_FALSE(m_Volumes.Mount(Partition("sdd"), "", "F"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_Calls.empty());
}

TEST_F(LinuxVolumesTest, UnmountLeavesNoFolderBehind)
{
    fs::create_directories(Volumes() / "E");
    Mounted("8:49", Volumes() / "E");
    EXPECT_TRUE(m_Volumes.Unmount("E"));
    ASSERT_EQ(m_Calls.size(), 1u);
    EXPECT_EQ(m_Calls[0], (std::vector<std::string>{"umount", (Volumes() / "E").string()}));
    EXPECT_EQ(m_Limits[0], kMountTimeLimitMs);
    EXPECT_FALSE(fs::exists(Volumes() / "E"));
    // Nothing mounted and no folder: nothing to do.
    EXPECT_TRUE(m_Volumes.Unmount("F"));
    EXPECT_EQ(m_Calls.size(), 1u);
}

TEST_F(LinuxVolumesTest, ABusyVolumeOrAFolderWithFilesStays)
{
    fs::create_directories(Volumes() / "E");
    Mounted("8:49", Volumes() / "E");
    m_Answers["umount"] = {true, 32, "umount: target is busy"};
    EXPECT_FALSE(m_Volumes.Unmount("E"));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_TRUE(fs::exists(Volumes() / "E"));
    Write(Volumes() / "F/keep.txt", "x");
    EXPECT_FALSE(m_Volumes.Unmount("F"));
    EXPECT_TRUE(fs::exists(Volumes() / "F/keep.txt"));
}

TEST_F(LinuxVolumesTest, QuickFormatsWithTheirLabelsAndTimeLimit)
{
    ASSERT_TRUE(m_Volumes.Format(Partition("sdd"), "", "EXFAT", "SHIPPED"));
    EXPECT_EQ(m_Calls.back(), (std::vector<std::string>{"mkfs.exfat", "-L", "SHIPPED", Node()}));
    EXPECT_EQ(m_Limits.back(), kFormatTimeLimitMs);
    EXPECT_EQ(kFormatTimeLimitMs, 200 * 60 * 1000);
    // The fixture's node is a plain file: only then is mkfs.ntfs told to go on.
    ASSERT_TRUE(m_Volumes.Format(Partition("sdd"), "", "NTFS", "Lager 1"));
    EXPECT_EQ(m_Calls.back(), (std::vector<std::string>{"mkfs.ntfs", "--quick", "--quiet", "--force",
                                                        "--partition-start", "2048", "--sector-size", "512",
                                                        "--sectors-per-track", "63", "--heads", "255", "--label",
                                                        "Lager 1", Node()}));
    EXPECT_EQ(m_Calls.size(), 2u);
}

TEST_F(LinuxVolumesTest, FormatsAreRefusedOnRefusedDisksMountedVolumesAndOtherFileSystems)
{
    EXPECT_FALSE(m_Volumes.Format(Partition("sde"), "disk 0 holds the system root and is never touched", "NTFS", "L"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(m_Volumes.Format(Partition("sdd"), "", "FAT32", "L"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Mounted("8:49", m_Folder.Path() / "somewhere");
    EXPECT_FALSE(m_Volumes.Format(Partition("sdd"), "", "NTFS", "L"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_Calls.empty());
}

TEST_F(LinuxVolumesTest, AFormatThatFailsOrRunsPastItsLimitFails)
{
    m_Answers["mkfs.exfat"] = {true, 1, "bad"};
    EXPECT_FALSE(m_Volumes.Format(Partition("sdd"), "", "exFAT", ""));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_EQ(m_Calls.back(), (std::vector<std::string>{"mkfs.exfat", Node()}));
    ToolRun late{true, -1, "stopped"};
    late.timedOut = true;
    m_Answers["mkfs.exfat"] = late;
    EXPECT_FALSE(m_Volumes.Format(Partition("sdd"), "", "exFAT", ""));
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
    m_Answers["mkfs.exfat"] = {false, -1, "mkfs.exfat: not found"};
    EXPECT_FALSE(m_Volumes.Format(Partition("sdd"), "", "exFAT", ""));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(LinuxVolumesTest, LabelsBySystemToolOfTheFileSystemFound)
{
    m_Answers["blkid"] = {true, 0, Recorded("blkid-exfat.txt")};
    ASSERT_TRUE(m_Volumes.SetLabel(Partition("sdd"), "", "NEW ONE"));
    ASSERT_EQ(m_Calls.size(), 2u);
    EXPECT_EQ(m_Calls[1], (std::vector<std::string>{"exfatlabel", Node(), "NEW ONE"}));
    EXPECT_EQ(m_Limits[1], kLabelTimeLimitMs);
    m_Answers["blkid"] = {true, 0, Recorded("blkid-fat32.txt")};
    ASSERT_TRUE(m_Volumes.SetLabel(Partition("sdd"), "", "FATLBL"));
    EXPECT_EQ(m_Calls.back().at(0), "fatlabel");
    // A label the tool would take for an option never reaches it.
    EXPECT_FALSE(m_Volumes.SetLabel(Partition("sdd"), "", "-f"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_Calls.back().at(0), "blkid");
    m_Answers["blkid"] = {true, 2, ""};
    EXPECT_FALSE(m_Volumes.SetLabel(Partition("sdd"), "", "X"));
    EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
    const size_t calls = m_Calls.size();
    EXPECT_FALSE(m_Volumes.SetLabel(Partition("sde"), "not behind a bridge", "X"));
    Mounted("8:49", Volumes() / "E");
    EXPECT_FALSE(m_Volumes.SetLabel(Partition("sdd"), "", "X"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_Calls.size(), calls);
}

TEST_F(LinuxVolumesTest, TheProbeGivesTheSpaceOfAMountedVolume)
{
    auto volume = m_Volumes.Probe(Partition("sdd"));
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->fileSystem.fileSystem, "NTFS");
    EXPECT_EQ(volume->fileSystem.label, "Lager \xC3\x84 1");
    EXPECT_EQ(volume->mountPoint, "");
    EXPECT_FALSE(volume->spaceKnown);
    // Mounted (through a FUSE driver, known by its source): the figures of the mounted file system.
    const fs::path at = m_Folder.Path() / "mounted";
    fs::create_directories(at);
    Mounted("0:77", at, Node());
    volume = m_Volumes.Probe(Partition("sdd"));
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->mountPoint, at.string());
    ASSERT_TRUE(volume->spaceKnown);
    struct statvfs space {};
    ASSERT_EQ(::statvfs(at.c_str(), &space), 0);
    EXPECT_EQ(volume->clusterBytes, space.f_frsize);
    EXPECT_EQ(volume->totalBytes, static_cast<uint64_t>(space.f_blocks) * space.f_frsize);
    EXPECT_GT(volume->freeBytes, 0u);
    EXPECT_LE(volume->freeBytes, volume->totalBytes);
}

}  // namespace
