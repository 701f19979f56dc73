// The tool's Windows-shaped disks and volumes made of the station's neutral
// requests: drive letters, layouts, device numbers and the partitioning script.
#include <gtest/gtest.h>

#include <fstream>

#include "DiskImages.h"
#include "StationFixture.h"
#include "device/host/DiskHost.h"
#include "device/host/DriveLetters.h"

namespace {

using namespace testsupport;
using namespace platform;
namespace host = device::host;

VolumeLocation Volume(uint32_t disk, uint32_t partition, bool system = false)
{
    return {disk, partition, uint64_t{partition} << 20, 1 << 20, system};
}

TEST(DriveLetters, SystemVolumeIsCThenTheFirstVolumeOfEveryOtherDiskInDiskOrder)
{
    const auto letters = host::DriveLetters(
        {Volume(5, 2), Volume(0, 1, true), Volume(0, 3), Volume(2, 1), Volume(5, 1), Volume(3, 4)});
    ASSERT_EQ(letters.size(), 4u);
    EXPECT_EQ(letters[0].letter, 'C');
    EXPECT_EQ(letters[0].location.disk, 0u);
    EXPECT_EQ(letters[1].letter, 'D');
    EXPECT_EQ(letters[1].location.disk, 2u);
    EXPECT_EQ(letters[2].letter, 'E');
    EXPECT_EQ(letters[2].location.partition, 4u);
    EXPECT_EQ(letters[3].letter, 'F');
    EXPECT_EQ(letters[3].location.disk, 5u);
    EXPECT_EQ(letters[3].location.partition, 1u);  // the first of the disk, whatever the listing's order
}

TEST(DriveLetters, LettersEndAtZ)
{
    std::vector<VolumeLocation> volumes{Volume(0, 1, true)};
    for (uint32_t disk = 1; disk <= 30; ++disk) volumes.push_back(Volume(disk, 1));
    const auto letters = host::DriveLetters(volumes);
    ASSERT_EQ(letters.size(), 24u);  // C, then D..Z
    EXPECT_EQ(letters.back().letter, 'Z');
    EXPECT_EQ(letters.back().location.disk, 23u);
}

TEST(DriveLetters, PathsNameTheirLetterInAnyCase)
{
    EXPECT_EQ(host::LetterOfRootPath("e:\\"), 'E');
    EXPECT_EQ(host::LetterOfRootPath("E:"), 0);
    EXPECT_EQ(host::LetterOfRootPath("1:\\"), 0);
    EXPECT_EQ(host::LetterOfVolumePath("\\\\.\\f:"), 'F');
    EXPECT_EQ(host::LetterOfVolumePath("\\\\.\\F:\\"), 0);
    EXPECT_NE(host::VolumeName(Volume(3, 1)), host::VolumeName(Volume(3, 2)));
}

class DiskHost : public EmulatedStationTest {
protected:
    emu::NvmeDisk Disk(int id) { return emu::NvmeDisk(m_Emu.World().BridgeFolder(id)); }
    HANDLE Open(const std::string& path, uint32_t access = GENERIC_READ | GENERIC_WRITE)
    {
        return host::CreateFile(m_Emu, path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    }
    bool RunScript(int disk, uint8_t gpt)
    {
        const auto script = m_Folder.Path() / "script.sc";
        std::ofstream(script) << " select disk " << disk << "\n clean \n convert " << (gpt ? "gpt" : "mbr")
                              << "\ncreate partition primary \n";
        return host::RunDiskPartScript(m_Emu, script.string());
    }
};

TEST_F(DiskHost, MbrLayoutListsFourSlotsAndAContainerWithoutNumber)
{
    WriteMbr(Disk(1), {{kPartitionStart, 4096, 0x0C}, {0, 0, 0}, {8192, 4096, 0x0F}});
    const HANDLE disk = Open("\\\\.\\PhysicalDrive1", 0);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    DriveLayout layout;
    ASSERT_TRUE(host::GetDriveLayoutEx(m_Emu, disk, layout));
    EXPECT_EQ(layout.PartitionStyle, PARTITION_STYLE_MBR);
    EXPECT_EQ(layout.Signature, 0x12345678u);
    ASSERT_EQ(layout.Entries.size(), 4u);
    EXPECT_EQ(layout.Entries[0].PartitionNumber, 1u);
    EXPECT_EQ(layout.Entries[0].HiddenSectors, kPartitionStart);
    EXPECT_EQ(layout.Entries[0].StartingOffset, int64_t{kPartitionStart} * 512);
    EXPECT_EQ(layout.Entries[1].PartitionLength, 0);
    EXPECT_EQ(layout.Entries[2].PartitionType, 0x0F);
    EXPECT_EQ(layout.Entries[2].PartitionNumber, 0u);  // an extended container
    // A handle opened for queries moves no data.
    uint8_t sector[512];
    uint32_t done = 0;
    EXPECT_FALSE(m_Emu.ReadAt(disk, 0, sector, 512, &done));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    m_Emu.CloseHandle(disk);
    // Only partition 1 carries a volume: the container never does.
    const auto volumes = m_Emu.Volumes();
    EXPECT_EQ(std::count_if(volumes.begin(), volumes.end(), [](const auto& v) { return v.disk == 1; }), 1);
}

TEST_F(DiskHost, GptScriptGivesTheLetterToPartitionTwo)
{
    ASSERT_TRUE(RunScript(2, 1));
    const HANDLE volume = Open("\\\\.\\D:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    StorageDeviceNumber number;
    ASSERT_TRUE(host::GetStorageDeviceNumber(m_Emu, volume, number));
    EXPECT_EQ(number.DeviceNumber, 2u);
    EXPECT_EQ(number.PartitionNumber, 2u);
    DiskGeometryEx geometry;  // a volume reports its disk's geometry
    ASSERT_TRUE(host::GetDriveGeometryEx(m_Emu, volume, geometry));
    EXPECT_EQ(geometry.DiskSize, int64_t{64} << 30);
    EXPECT_EQ(geometry.SectorsPerTrack, 63u);
    DriveLayout layout;
    EXPECT_FALSE(host::GetDriveLayoutEx(m_Emu, volume, layout));  // only of a whole disk
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    m_Emu.CloseHandle(volume);

    const HANDLE disk = Open("\\\\.\\PHYSICALDRIVE2");
    ASSERT_TRUE(host::GetDriveLayoutEx(m_Emu, disk, layout));
    EXPECT_EQ(layout.PartitionStyle, PARTITION_STYLE_GPT);
    ASSERT_EQ(layout.Entries.size(), 2u);
    EXPECT_EQ(layout.Entries[0].PartitionLength, 16 << 20);  // the reserved partition
    EXPECT_EQ(layout.Entries[1].PartitionNumber, 2u);
    m_Emu.CloseHandle(disk);
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

TEST_F(DiskHost, LettersFollowTheDisksAsTheyAreNow)
{
    ASSERT_TRUE(RunScript(3, 0));
    EXPECT_EQ(host::GetDriveType(m_Emu, "D:\\"), DRIVE_FIXED);
    EXPECT_EQ(host::GetDriveType(m_Emu, "E:\\"), DRIVE_NO_ROOT_DIR);
    std::string name;
    ASSERT_TRUE(host::GetVolumeNameForVolumeMountPoint(m_Emu, "D:\\", name));
    ASSERT_TRUE(RunScript(1, 0));  // disk 1 comes first now
    std::string moved;
    ASSERT_TRUE(host::GetVolumeNameForVolumeMountPoint(m_Emu, "E:\\", moved));
    EXPECT_EQ(moved, name);  // the name stays with its partition
    const HANDLE volume = Open(name);
    StorageDeviceNumber number;
    ASSERT_TRUE(host::GetStorageDeviceNumber(m_Emu, volume, number));
    EXPECT_EQ(number.DeviceNumber, 3u);
    m_Emu.CloseHandle(volume);
}

TEST_F(DiskHost, ScriptsNotCarriedOutChangeNoDisk)
{
    const auto script = m_Folder.Path() / "script.sc";
    std::ofstream(script) << " select disk 2\n clean \n";
    EXPECT_FALSE(host::RunDiskPartScript(m_Emu, script.string()));
    EXPECT_FALSE(host::RunDiskPartScript(m_Emu, (m_Folder.Path() / "none.sc").string()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // The system disk is refused by the station whatever the script says.
    std::ofstream(script) << " select disk 0\n clean\n convert mbr\ncreate partition primary\n";
    EXPECT_FALSE(host::RunDiskPartScript(m_Emu, script.string()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // A disk whose writes fail keeps its table.
    Fault(2, 0x2A, emu::FaultMode::CallFails, 1);
    EXPECT_FALSE(RunScript(2, 0));
    EXPECT_EQ(host::DriveLetters(m_Emu.Volumes()).size(), 1u);  // C alone
}

}  // namespace
