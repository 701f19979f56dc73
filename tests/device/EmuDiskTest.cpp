// Disks and volumes of the emulated station as the boundary offers them.
#include <gtest/gtest.h>

#include "DiskImages.h"
#include "StationFixture.h"
#include "device/host/DiskHost.h"

namespace {

using namespace testsupport;
using namespace platform;
using Bytes = std::vector<uint8_t>;

class EmuDisks : public EmulatedStationTest {
protected:
    emu::NvmeDisk Disk(int id) { return emu::NvmeDisk(m_Emu.World().BridgeFolder(id)); }
    HANDLE Open(const std::string& path)
    {
        return device::host::CreateFile(m_Emu, path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        OPEN_EXISTING, 0);
    }
};

TEST_F(EmuDisks, SystemDiskAndVolumeCAreNeverWritten)
{
    const Bytes data(512, 1);
    uint32_t done = 0;
    const HANDLE disk0 = Open("\\\\.\\PhysicalDrive0");
    ASSERT_NE(disk0, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(m_Emu.WriteAt(disk0, 0, data.data(), 512, &done));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Bytes back(512, 9);
    EXPECT_TRUE(m_Emu.ReadAt(disk0, 0, back.data(), 512, &done));
    DiskGeometryEx geometry;
    ASSERT_TRUE(device::host::GetDriveGeometryEx(m_Emu, disk0, geometry));
    EXPECT_EQ(geometry.DiskSize, int64_t{256} << 30);
    m_Emu.CloseHandle(disk0);

    const HANDLE c = Open("\\\\.\\c:");
    ASSERT_NE(c, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(m_Emu.LockVolume(c));
    EXPECT_FALSE(m_Emu.DismountVolume(c));
    EXPECT_FALSE(m_Emu.WriteAt(c, 0, data.data(), 512, &done));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    m_Emu.CloseHandle(c);
    VolumeInformation info;
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Emu, "C:\\", info));
    EXPECT_EQ(info.FileSystemName, "NTFS");
}

TEST_F(EmuDisks, VolumeWritesNeedTheLockOfTheWritingHandle)
{
    WriteMbr(Disk(1), {{kPartitionStart, 4096, 0x0C}});
    const Bytes data(512, 7);
    uint32_t done = 0;
    const HANDLE first = Open("\\\\.\\D:");
    const HANDLE second = Open("\\\\.\\d:");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(m_Emu.WriteAt(first, 0, data.data(), 512, &done));
    ASSERT_TRUE(m_Emu.LockVolume(first));
    EXPECT_FALSE(m_Emu.LockVolume(second));
    EXPECT_FALSE(m_Emu.WriteAt(second, 0, data.data(), 512, &done));
    ASSERT_TRUE(m_Emu.WriteAt(first, 512, data.data(), 512, &done));
    EXPECT_EQ(done, 512u);
    // Unaligned transfers are refused, as unbuffered I/O is.
    EXPECT_FALSE(m_Emu.WriteAt(first, 100, data.data(), 512, &done));
    EXPECT_FALSE(m_Emu.UnlockVolume(second));
    m_Emu.CloseHandle(first);  // closing releases the lock
    EXPECT_TRUE(m_Emu.LockVolume(second));
    m_Emu.CloseHandle(second);
    Bytes back(512);
    Disk(1).Read((kPartitionStart + 1) * 512ull, back.data(), 512);
    EXPECT_EQ(back, data);
}

TEST_F(EmuDisks, GptFirstPartitionIsAVolume)
{
    Bytes mbr(512), header(512), entries(128 * 4);
    mbr[446 + 4] = 0xEE;
    PutLe(mbr, 446 + 8, 1, 4);
    PutLe(mbr, 446 + 12, 0xFFFFFFFF, 4);
    mbr[510] = 0x55, mbr[511] = 0xAA;
    std::memcpy(header.data(), "EFI PART", 8);
    PutLe(header, 72, 2, 8);
    PutLe(header, 80, 4, 4);
    PutLe(header, 84, 128, 4);
    entries[0] = 0xA2;  // a type GUID
    PutLe(entries, 32, 4096, 8);
    PutLe(entries, 40, 4096 + 8191, 8);
    Disk(2).Write(0, mbr.data(), 512);
    Disk(2).Write(512, header.data(), 512);
    Disk(2).Write(1024, entries.data(), entries.size());

    std::string name;
    ASSERT_TRUE(device::host::GetVolumeNameForVolumeMountPoint(m_Emu, "D:\\", name));
    name.pop_back();
    const HANDLE volume = Open(name);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    std::vector<DiskExtent> extents;
    ASSERT_TRUE(device::host::GetVolumeDiskExtents(m_Emu, volume, extents));
    ASSERT_EQ(extents.size(), 1u);
    EXPECT_EQ(extents[0].DiskNumber, 2u);
    EXPECT_EQ(extents[0].StartingOffset, 4096 * 512);
    EXPECT_EQ(extents[0].ExtentLength, 8192 * 512);
    StorageDeviceNumber number;
    ASSERT_TRUE(device::host::GetStorageDeviceNumber(m_Emu, volume, number));
    EXPECT_EQ(number.DeviceType, FILE_DEVICE_DISK);
    EXPECT_EQ(number.DeviceNumber, 2u);
    EXPECT_EQ(number.PartitionNumber, 1u);
    m_Emu.CloseHandle(volume);

    const HANDLE disk = Open("\\\\.\\PHYSICALDRIVE2");
    DriveLayout layout;
    ASSERT_TRUE(device::host::GetDriveLayoutEx(m_Emu, disk, layout));
    EXPECT_EQ(layout.PartitionStyle, PARTITION_STYLE_GPT);
    ASSERT_EQ(layout.Entries.size(), 1u);
    EXPECT_EQ(layout.Entries[0].PartitionNumber, 1u);
    m_Emu.CloseHandle(disk);
}

TEST_F(EmuDisks, HandleOfABridgeThatLeftTheBusStopsWorking)
{
    const HANDLE disk = Open("\\\\.\\PhysicalDrive3");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    m_Emu.ModifyBridge(3, [](emu::Bridge& b) { b.SetPresent(false); });
    Bytes data(512);
    uint32_t done = 0;
    EXPECT_FALSE(m_Emu.ReadAt(disk, 0, data.data(), 512, &done));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    DiskGeometryEx geometry;
    EXPECT_FALSE(device::host::GetDriveGeometryEx(m_Emu, disk, geometry));
    m_Emu.CloseHandle(disk);
}

}  // namespace
