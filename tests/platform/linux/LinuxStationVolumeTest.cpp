// Partitions and volumes of the Linux station on a copy of the fixture tree with
// partitions laid out in sysfs: the volume listing, partition tables read back,
// volume handles, locks and dismounts, formats, labels, probes and file views.
// Every tool goes through the runner seams; mount and umount change the tree's
// mount table as the real tools would change the system's.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "../RecordedFixture.h"
#include "../../common/TestSupport.h"
#include "platform/linux/LinuxStation.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using linuxst::LinuxStation;
using Command = std::vector<std::string>;

const fs::path kTree = fs::path(PLATFORM_FIXTURES) / "station-tree";
constexpr uint64_t MiB = 1024 * 1024;

void Write(const fs::path& path, const std::string& text, bool append = false)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, append ? std::ios::app : std::ios::trunc) << text;
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LinuxStationVolumes : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(kTree, Root(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        // Disk 0 (sda): the EFI partition and the root; disk 2 (sdc): the decoy
        // stick mounted on the desktop; disk 3 (sdd): the bridge disk of the
        // volume requests; disk 4 (sde): the disk mounted at /srv/data.
        Partition("sda", 1, "8:1", 2048, 1048576);
        Partition("sda", 2, "8:2", 1050624, 975722496);
        Partition("sdc", 1, "8:33", 2048, 15726592);
        Partition("sdd", 1, "8:49", 2048, 500115456);
        Partition("sde", 1, "8:65", 2048, 250067632);
        Write(Root() / "dev/sdd1", std::string(8192, '\0'));
        m_Answers["blkid"] = {true, 0, Recorded("blkid-ntfs.txt")};
    }
    void TearDown() override { m_Station.reset(); }

    fs::path Root() const { return m_Folder.Path() / "root"; }
    fs::path RunFolder() const { return fs::absolute(Root() / "run/deveda/volumes"); }
    std::string Node(const std::string& name) const { return (Root() / "dev" / name).string(); }

    // A partition of `disk` as sysfs shows it (start and size in 512-byte units).
    void Partition(const std::string& disk, int number, const std::string& dev, uint64_t start, uint64_t size,
                   const std::string& uevent = "")
    {
        const fs::path folder = Root() / "sys/block" / disk / (disk + std::to_string(number));
        Write(folder / "partition", std::to_string(number) + "\n");
        Write(folder / "dev", dev + "\n");
        Write(folder / "start", std::to_string(start) + "\n");
        Write(folder / "size", std::to_string(size) + "\n");
        if (!uevent.empty()) Write(folder / "uevent", uevent);
    }
    // Something mounted, as mountinfo lists a FUSE mount: by its source node.
    void Mounted(const std::string& source, const fs::path& at)
    {
        fs::create_directories(at);
        Write(Root() / "proc/self/mountinfo", "40 22 0:77 / " + at.string() + " rw - fuseblk " + source + " rw\n",
              true);
    }
    void Unmounted(const fs::path& at)
    {
        std::istringstream lines(Read(Root() / "proc/self/mountinfo"));
        std::string kept;
        for (std::string line; std::getline(lines, line);)
            if (line.find(" " + at.string() + " ") == std::string::npos) kept += line + "\n";
        Write(Root() / "proc/self/mountinfo", kept);
    }

    // The station, with the tools answered from m_Answers and mount tables kept up to date.
    LinuxStation& Station()
    {
        if (m_Station) return *m_Station;
        m_Station = std::make_unique<LinuxStation>(Root().string(), [this](int, unsigned long request, void*) {
            m_Requests.push_back(request);
            return 0;
        });
        m_Station->SetToolRunner([this](const Command& argv, const std::string& input) {
            m_Inputs.push_back(input);
            return Answer(argv);
        });
        m_Station->SetVolumeToolRunner([this](const Command& argv, int64_t) { return Answer(argv); });
        return *m_Station;
    }
    ToolRun Answer(const Command& argv)
    {
        m_Calls.push_back(argv);
        const auto answer = m_Answers.find(argv.at(0));
        const ToolRun run = answer == m_Answers.end() ? ToolRun{true, 0, ""} : answer->second;
        if (run.Succeeded() && argv[0] == "mount") Mounted(argv[argv.size() - 2], argv.back());
        if (run.Succeeded() && argv[0] == "umount") Unmounted(argv.back());
        return run;
    }
    // The tools called, by name.
    std::vector<std::string> Tools() const
    {
        std::vector<std::string> tools;
        for (const Command& call : m_Calls) tools.push_back(call.at(0));
        return tools;
    }
    HANDLE OpenVolume(uint32_t disk, uint32_t partition, DiskAccess access = DiskAccess::kData)
    {
        return Station().OpenDisk({DiskKind::kDisk, disk, partition}, access);
    }

    testsupport::TempFolder m_Folder;
    std::map<std::string, ToolRun> m_Answers;
    std::vector<Command> m_Calls;
    std::vector<std::string> m_Inputs;
    std::vector<unsigned long> m_Requests;
    std::unique_ptr<LinuxStation> m_Station;
};

// A volume as text, so that listings compare whole and print readably.
std::string Text(const VolumeLocation& v)
{
    return "{disk " + std::to_string(v.disk) + ", partition " + std::to_string(v.partition) + ", " +
           std::to_string(v.offset) + "+" + std::to_string(v.length) + (v.system ? ", system" : "") + "}";
}

std::vector<std::string> Texts(const std::vector<VolumeLocation>& volumes)
{
    std::vector<std::string> texts;
    for (const auto& volume : volumes) texts.push_back(Text(volume));
    return texts;
}

TEST_F(LinuxStationVolumes, TheSystemVolumeComesFirstThenEveryVolumeByDiskAndPartition)
{
    // The UAS bridge disk (disk 1) as the GPT step leaves it, the reserved
    // partition named by the kernel; a third partition udev types as reserved,
    // and a stale udev record that no longer describes partition 2.
    Partition("sdb", 1, "8:17", 2048, 32768, "MAJOR=8\nMINOR=17\nPARTN=1\nPARTNAME=Microsoft reserved partition\n");
    Partition("sdb", 2, "8:18", 34816, 1000000);
    Partition("sdb", 3, "8:19", 1034816, 32768);
    Write(Root() / "run/udev/data/b8:19",
          "S:disk/by-partlabel/x\nE:ID_PART_ENTRY_SCHEME=gpt\n"
          "E:ID_PART_ENTRY_TYPE=e3c9e316-0b5c-4db8-817d-f92df00215ae\n"
          "E:ID_PART_ENTRY_OFFSET=1034816\nE:ID_PART_ENTRY_SIZE=32768\n");
    Write(Root() / "run/udev/data/b8:18",
          "E:ID_PART_ENTRY_SCHEME=gpt\nE:ID_PART_ENTRY_TYPE=e3c9e316-0b5c-4db8-817d-f92df00215ae\n"
          "E:ID_PART_ENTRY_OFFSET=2048\nE:ID_PART_ENTRY_SIZE=32768\n");
    // The decoy stick's extended container (1 KiB in the kernel's view) and its
    // logical partition; a container udev types as extended on disk 3.
    Partition("sdc", 2, "8:34", 15728000, 2);
    Partition("sdc", 5, "8:37", 15728128, 256);
    Partition("sdd", 2, "8:50", 500117504, 680);
    Write(Root() / "run/udev/data/b8:50", "E:ID_PART_ENTRY_SCHEME=dos\nE:ID_PART_ENTRY_TYPE=0xf\n");

    const std::vector<VolumeLocation> expected{
        {0, 2, 1050624ull * 512, 975722496ull * 512, true},
        {0, 1, 1 * MiB, 1048576ull * 512, false},
        {1, 2, 34816ull * 512, 1000000ull * 512, false},
        {2, 1, 1 * MiB, 15726592ull * 512, false},
        {2, 5, 15728128ull * 512, 256ull * 512, false},
        {3, 1, 1 * MiB, 500115456ull * 512, false},
        {4, 1, 1 * MiB, 250067632ull * 512, false},
    };
    EXPECT_EQ(Texts(Station().Volumes()), Texts(expected));
    EXPECT_TRUE(m_Calls.empty());  // the listing runs no tool
}

TEST_F(LinuxStationVolumes, PartitionTablesReadBackAsTheStationsSlots)
{
    m_Answers["sfdisk"] = {true, 0, Recorded("sfdisk-mbr.json")};
    const HANDLE disk = Station().OpenDisk({DiskKind::kDisk, 3, 0}, DiskAccess::kQuery);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    PartitionTable table;
    ASSERT_TRUE(Station().ReadPartitionTable(disk, table));
    EXPECT_EQ(m_Calls.at(0), (Command{"sfdisk", "--json", Node("sdd")}));
    EXPECT_EQ(table.style, PartitionStyle::kMbr);
    EXPECT_EQ(table.mbrSignature, 0x5e1f0a2bu);
    ASSERT_EQ(table.entries.size(), 4u);
    EXPECT_EQ(table.entries[0].number, 1u);
    EXPECT_EQ(table.entries[0].offset, 1 * MiB);
    EXPECT_EQ(table.entries[0].length, 8 * MiB);
    EXPECT_EQ(table.entries[0].mbrType, 0x0C);
    EXPECT_TRUE(table.entries[0].bootable);
    EXPECT_TRUE(table.entries[0].fileSystem);
    EXPECT_EQ(table.entries[1].number, 2u);
    EXPECT_EQ(table.entries[1].mbrType, 0x07);
    EXPECT_FALSE(table.entries[1].container);
    EXPECT_TRUE(table.entries[1].fileSystem);
    for (int unused : {2, 3}) {
        EXPECT_EQ(table.entries[unused].number, 0u);
        EXPECT_EQ(table.entries[unused].length, 0u);
        EXPECT_FALSE(table.entries[unused].fileSystem);
    }

    // An extended container holds partitions, not a file system.
    std::string text = Recorded("sfdisk-mbr.json");
    text.replace(text.find("\"type\": \"7\""), 11, "\"type\": \"f\"");
    m_Answers["sfdisk"] = {true, 0, text};
    ASSERT_TRUE(Station().ReadPartitionTable(disk, table));
    EXPECT_EQ(table.entries[1].mbrType, 0x0F);
    EXPECT_TRUE(table.entries[1].container);
    EXPECT_FALSE(table.entries[1].fileSystem);

    // GPT: the used entries; the Microsoft reserved partition carries no file system.
    m_Answers["sfdisk"] = {true, 0, Recorded("sfdisk-gpt.json")};
    ASSERT_TRUE(Station().ReadPartitionTable(disk, table));
    EXPECT_EQ(table.style, PartitionStyle::kGpt);
    ASSERT_EQ(table.entries.size(), 2u);
    EXPECT_EQ(table.entries[0].number, 1u);
    EXPECT_FALSE(table.entries[0].fileSystem);
    EXPECT_EQ(table.entries[1].number, 2u);
    EXPECT_EQ(table.entries[1].offset, 17 * MiB);
    EXPECT_EQ(table.entries[1].length, 487424ull * 512);
    EXPECT_TRUE(table.entries[1].fileSystem);
    EXPECT_EQ(table.entries[1].mbrType, 0);

    m_Answers["sfdisk"] = {true, 1, "sfdisk: cannot open"};
    EXPECT_FALSE(Station().ReadPartitionTable(disk, table));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    // A volume handle has no partition table.
    const HANDLE volume = OpenVolume(3, 1, DiskAccess::kQuery);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Station().ReadPartitionTable(volume, table));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    Station().CloseHandle(volume);
    Station().CloseHandle(disk);
}

TEST_F(LinuxStationVolumes, AVolumeHandleReachesItsPartitionAndItsDisksSize)
{
    EXPECT_EQ(OpenVolume(3, 7), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenVolume(0, 2), INVALID_HANDLE_VALUE);  // the system volume is never written
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    const HANDLE query = OpenVolume(0, 2, DiskAccess::kQuery);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    Station().CloseHandle(query);

    const HANDLE volume = OpenVolume(3, 1);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    DiskTarget target;
    ASSERT_TRUE(Station().HandleTarget(volume, target));
    EXPECT_EQ(target.number, 3u);
    EXPECT_EQ(target.partition, 1u);
    DiskCapacity capacity;
    ASSERT_TRUE(Station().GetDiskCapacity(volume, capacity));
    EXPECT_EQ(capacity.sizeBytes, 500118192ull * 512);
    EXPECT_EQ(capacity.bytesPerSector, 512u);
    Write(Root() / "dev/sdd1", std::string(512, 'A') + std::string(512, 'B'));
    uint8_t sector[512] = {};
    uint32_t moved = 0;
    ASSERT_TRUE(Station().ReadAt(volume, 512, sector, sizeof sector, &moved));
    EXPECT_EQ(moved, 512u);
    EXPECT_EQ(sector[0], 'B');  // offsets count from the start of the partition
    EXPECT_FALSE(Station().ReadAt(volume, 100, sector, sizeof sector, &moved));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(Station().ReadAt(volume, 0, sector, 100, &moved));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Station().CloseHandle(volume);
}

TEST_F(LinuxStationVolumes, AVolumeIsWrittenOnlyWhileLockedOrDismountedByTheSameHandle)
{
    const HANDLE volume = OpenVolume(3, 1);
    const HANDLE other = OpenVolume(3, 1);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const std::string data(512, 'W');
    uint32_t moved = 7;
    EXPECT_FALSE(Station().WriteAt(volume, 0, data.data(), 512, &moved));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(moved, 0u);

    ASSERT_TRUE(Station().LockVolume(volume));
    EXPECT_TRUE(Station().LockVolume(volume));  // again by the same handle
    ASSERT_TRUE(Station().WriteAt(volume, 512, data.data(), 512, &moved));
    EXPECT_EQ(moved, 512u);
    EXPECT_EQ(Read(Root() / "dev/sdd1").substr(512, 512), data);
    // Another handle can neither lock, dismount nor write it meanwhile.
    EXPECT_FALSE(Station().LockVolume(other));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Station().DismountVolume(other));
    EXPECT_FALSE(Station().WriteAt(other, 0, data.data(), 512, &moved));
    EXPECT_FALSE(Station().UnlockVolume(other));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    // Nor is the volume formatted, labelled or handed out meanwhile.
    EXPECT_FALSE(Station().FormatVolume(3, 1, "NTFS"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Station().SetVolumeLabel(3, 1, "X"));
    std::string error;
    EXPECT_EQ(Station().OpenVolumeFiles(3, 1, error), nullptr);
    EXPECT_NE(error.find("locked"), std::string::npos) << error;

    ASSERT_TRUE(Station().UnlockVolume(volume));
    EXPECT_FALSE(Station().WriteAt(volume, 0, data.data(), 512, &moved));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // A dismount lets the handle write too, until the handle goes.
    ASSERT_TRUE(Station().DismountVolume(other));
    EXPECT_TRUE(Station().WriteAt(other, 0, data.data(), 512, &moved));
    EXPECT_FALSE(Station().LockVolume(volume));
    ASSERT_TRUE(Station().CloseHandle(other));
    EXPECT_TRUE(Station().LockVolume(volume));
    // Closing the locking handle releases its lock.
    ASSERT_TRUE(Station().CloseHandle(volume));
    const HANDLE again = OpenVolume(3, 1);
    EXPECT_TRUE(Station().LockVolume(again));
    Station().CloseHandle(again);
    EXPECT_TRUE(m_Calls.empty());  // nothing was mounted: no tool ran

    // Disk handles have no volume to lock; refused disks none to lock either.
    const HANDLE disk = Station().OpenDisk({DiskKind::kDisk, 3, 0}, DiskAccess::kData);
    EXPECT_FALSE(Station().LockVolume(disk));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(Station().UnlockVolume(disk));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    Station().CloseHandle(disk);
    const HANDLE refused = OpenVolume(4, 1, DiskAccess::kQuery);
    ASSERT_NE(refused, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Station().LockVolume(refused));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Station().DismountVolume(refused));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Station().CloseHandle(refused);
    EXPECT_TRUE(m_Calls.empty());
}

TEST_F(LinuxStationVolumes, LockAndDismountUnmountTheStationsOwnMountButNoOtherOne)
{
    Mounted(Node("sdd1"), RunFolder() / "disk3p1");
    const HANDLE volume = OpenVolume(3, 1);
    ASSERT_TRUE(Station().DismountVolume(volume));
    EXPECT_EQ(m_Calls, (std::vector<Command>{{"umount", (RunFolder() / "disk3p1").string()}}));
    EXPECT_FALSE(fs::exists(RunFolder() / "disk3p1"));
    Station().CloseHandle(volume);

    m_Calls.clear();
    Mounted(Node("sdd1"), m_Folder.Path() / "media/op/BRIDGE");
    const HANDLE second = OpenVolume(3, 1);
    EXPECT_FALSE(Station().LockVolume(second));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Station().DismountVolume(second));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    const std::string data(512, 'W');
    uint32_t moved = 0;
    EXPECT_FALSE(Station().WriteAt(second, 0, data.data(), 512, &moved));  // neither took hold
    EXPECT_TRUE(m_Calls.empty());
    Station().CloseHandle(second);
}

TEST_F(LinuxStationVolumes, RefusedVolumesReachNoToolAtAll)
{
    Station();
    for (const auto& [disk, partition] : std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {0, 2}, {2, 1}, {4, 1}}) {
        EXPECT_FALSE(Station().FormatVolume(disk, partition, "NTFS")) << disk << "/" << partition;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(Station().SetVolumeLabel(disk, partition, "LABEL")) << disk << "/" << partition;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        std::string error;
        EXPECT_EQ(Station().OpenVolumeFiles(disk, partition, error), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(Station().FormatVolume(3, 1, "FAT32"));  // no quick format of the system's for it
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(Station().FormatVolume(3, 9, "NTFS"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Station().FormatVolume(9, 1, "NTFS"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // Mounted by someone else: neither formatted nor labelled.
    Mounted(Node("sdd1"), m_Folder.Path() / "media/op/BRIDGE");
    EXPECT_FALSE(Station().FormatVolume(3, 1, "exFAT"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Station().SetVolumeLabel(3, 1, "LABEL"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_Calls.empty());
}

TEST_F(LinuxStationVolumes, AFormatLeavesTheLabelToTheLabelRequest)
{
    ASSERT_TRUE(Station().FormatVolume(3, 1, "exfat"));
    EXPECT_EQ(m_Calls, (std::vector<Command>{{"mkfs.exfat", Node("sdd1")}}));
    m_Calls.clear();
    // A volume the station mounted is unmounted first.
    Mounted(Node("sdd1"), RunFolder() / "disk3p1");
    ASSERT_TRUE(Station().FormatVolume(3, 1, "NTFS"));
    EXPECT_EQ(Tools(), (std::vector<std::string>{"umount", "mkfs.ntfs"}));
    EXPECT_EQ(std::count(m_Calls[1].begin(), m_Calls[1].end(), "--label"), 0);
    m_Answers["mkfs.ntfs"] = {true, 1, "bad"};
    EXPECT_FALSE(Station().FormatVolume(3, 1, "NTFS"));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
}

TEST_F(LinuxStationVolumes, ALabelOnAMountedVolumeIsSetUnmountedAndTheVolumeMountedAgain)
{
    const fs::path folder = RunFolder() / "disk3p1";
    Mounted(Node("sdd1"), folder);
    ASSERT_TRUE(Station().SetVolumeLabel(3, 1, "SHIPPED"));
    ASSERT_EQ(m_Calls.size(), 5u);
    EXPECT_EQ(m_Calls[0], (Command{"umount", folder.string()}));
    EXPECT_EQ(m_Calls[1].at(0), "blkid");
    EXPECT_EQ(m_Calls[2], (Command{"ntfslabel", Node("sdd1"), "SHIPPED"}));
    EXPECT_EQ(m_Calls[3].at(0), "blkid");
    EXPECT_EQ(m_Calls[4],
              (Command{"mount", "-t", "ntfs-3g", "-o", "nosuid,nodev,noexec", Node("sdd1"), folder.string()}));
    EXPECT_NE(Read(Root() / "proc/self/mountinfo").find(folder.string()), std::string::npos);

    // Unmounted, it is only labelled; a failing label still mounts the volume again.
    m_Calls.clear();
    Unmounted(folder);
    ASSERT_TRUE(Station().SetVolumeLabel(3, 1, "AGAIN"));
    EXPECT_EQ(Tools(), (std::vector<std::string>{"blkid", "ntfslabel"}));
    m_Calls.clear();
    Mounted(Node("sdd1"), folder);
    m_Answers["ntfslabel"] = {true, 1, "label too long"};
    EXPECT_FALSE(Station().SetVolumeLabel(3, 1, "FAILS"));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_EQ(Tools(), (std::vector<std::string>{"umount", "blkid", "ntfslabel", "blkid", "mount"}));
}

TEST_F(LinuxStationVolumes, FilesAreWorkedOnAMountThatTheLastViewTakesAway)
{
    std::string error;
    auto files = Station().OpenVolumeFiles(3, 1, error);
    ASSERT_NE(files, nullptr) << error;
    const fs::path folder = RunFolder() / "disk3p1";
    EXPECT_EQ(Tools(), (std::vector<std::string>{"blkid", "mount"}));
    EXPECT_EQ(m_Calls[1].back(), folder.string());
    uint64_t free = 0;
    EXPECT_TRUE(files->FreeSpace(free));
    auto second = Station().OpenVolumeFiles(3, 1, error);
    ASSERT_NE(second, nullptr) << error;
    EXPECT_EQ(m_Calls.size(), 2u);  // mounted once
    // Its files are in use: no lock.
    const HANDLE volume = OpenVolume(3, 1);
    EXPECT_FALSE(Station().LockVolume(volume));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    files.reset();
    EXPECT_EQ(m_Calls.size(), 2u);
    second.reset();
    EXPECT_EQ(Tools(), (std::vector<std::string>{"blkid", "mount", "umount"}));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(Station().LockVolume(volume));
    Station().CloseHandle(volume);

    // A format unmounts the volume under its views: they reach nothing from then on.
    files = Station().OpenVolumeFiles(3, 1, error);
    ASSERT_NE(files, nullptr) << error;
    m_Calls.clear();
    ASSERT_TRUE(Station().FormatVolume(3, 1, "NTFS"));
    EXPECT_EQ(Tools(), (std::vector<std::string>{"umount", "mkfs.ntfs"}));
    EXPECT_FALSE(files->FreeSpace(free));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_NE(files->Error().find("unmounted"), std::string::npos) << files->Error();
    files.reset();
    EXPECT_EQ(m_Calls.size(), 2u);

    // A view outlives the station; mounted elsewhere, the files are not handed out.
    files = Station().OpenVolumeFiles(3, 1, error);
    ASSERT_NE(files, nullptr) << error;
    m_Station.reset();
    files.reset();
    EXPECT_EQ(m_Calls.back().at(0), "umount");
    m_Calls.clear();
    Mounted(Node("sdd1"), m_Folder.Path() / "media/op/BRIDGE");
    EXPECT_EQ(Station().OpenVolumeFiles(3, 1, error), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_NE(error.find("media/op/BRIDGE"), std::string::npos) << error;
    EXPECT_TRUE(m_Calls.empty());
}

TEST_F(LinuxStationVolumes, AProbeTellsTheFileSystemAndItsSpace)
{
    ProbedVolume probed;
    ASSERT_TRUE(Station().ProbeVolume(3, 1, probed));
    EXPECT_EQ(probed.fileSystem, "NTFS");
    EXPECT_EQ(probed.label, "Lager \xC3\x84 1");
    EXPECT_EQ(probed.serial, 0x03483F77u);
    EXPECT_EQ(probed.bytesPerSector, 512u);
    // Unmounted, it was mounted for the moment to learn its space.
    EXPECT_EQ(Tools(), (std::vector<std::string>{"blkid", "blkid", "mount", "umount"}));
    EXPECT_GT(probed.sectorsPerCluster, 0u);
    EXPECT_GT(probed.totalClusters, 0u);
    EXPECT_LE(probed.freeClusters, probed.totalClusters);
    EXPECT_FALSE(fs::exists(RunFolder() / "disk3p1"));

    // The decoy stick, mounted by the desktop where this tree has no folder: no figures, no mount.
    m_Calls.clear();
    ASSERT_TRUE(Station().ProbeVolume(2, 1, probed));
    EXPECT_EQ(Tools(), (std::vector<std::string>{"blkid"}));
    EXPECT_EQ(probed.totalClusters, 0u);

    // The system volume: the root's own file system, without a tool.
    m_Calls.clear();
    ASSERT_TRUE(Station().ProbeVolume(0, 2, probed));
    EXPECT_EQ(probed.fileSystem, "ext4");
    EXPECT_GT(probed.totalClusters, 0u);
    EXPECT_TRUE(m_Calls.empty());

    m_Answers["blkid"] = {true, 2, ""};
    EXPECT_FALSE(Station().ProbeVolume(3, 1, probed));
    EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
    EXPECT_FALSE(Station().ProbeVolume(3, 5, probed));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(LinuxStationVolumes, PartitioningUnmountsTheStationsVolumesAndRefusesOtherMounts)
{
    Mounted(Node("sdd1"), RunFolder() / "disk3p1");
    ASSERT_TRUE(Station().ApplyPartitionPlan({3, true, 0}));
    EXPECT_EQ(Tools(), (std::vector<std::string>{"umount", "sfdisk"}));
    EXPECT_EQ(m_Calls[1], (Command{"sfdisk", "--wipe", "always", "--wipe-partitions", "always", Node("sdd")}));
    EXPECT_EQ(m_Inputs.at(0).rfind("label: gpt\n", 0), 0u);

    m_Calls.clear();
    Mounted(Node("sdd1"), m_Folder.Path() / "media/op/BRIDGE");
    EXPECT_FALSE(Station().ApplyPartitionPlan({3, false, 0}));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Unmounted(m_Folder.Path() / "media/op/BRIDGE");
    // Nor while a handle holds one of its volumes.
    const HANDLE volume = OpenVolume(3, 1);
    ASSERT_TRUE(Station().LockVolume(volume));
    EXPECT_FALSE(Station().ApplyPartitionPlan({3, false, 0}));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_Calls.empty());
    Station().CloseHandle(volume);
    EXPECT_TRUE(Station().ApplyPartitionPlan({3, false, 0}));
}

TEST_F(LinuxStationVolumes, TheKernelReadsTheTableAgainOnRequest)
{
    const HANDLE disk = Station().OpenDisk({DiskKind::kDisk, 3, 0}, DiskAccess::kData);
    ASSERT_TRUE(Station().RereadPartitionTable(disk));
    EXPECT_EQ(m_Requests, (std::vector<unsigned long>{BLKRRPART}));
    const HANDLE volume = OpenVolume(3, 1);
    ASSERT_TRUE(Station().RereadPartitionTable(volume));  // the volume's disk
    EXPECT_EQ(m_Requests.size(), 2u);
    const HANDLE refused = Station().OpenDisk({DiskKind::kDisk, 0, 0}, DiskAccess::kQuery);
    EXPECT_FALSE(Station().RereadPartitionTable(refused));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_Requests.size(), 2u);
    for (HANDLE h : {disk, volume, refused}) Station().CloseHandle(h);
    EXPECT_TRUE(m_Calls.empty());
}

}  // namespace
