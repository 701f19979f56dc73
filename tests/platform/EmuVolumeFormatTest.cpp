// NTFS and exFAT on the emulated station's volumes: the system's tools format and
// label the partition inside the bridge's disk image, the station then reports
// the volume as the tools left it, and nothing outside the partition changes.
#include <gtest/gtest.h>

#include <fstream>

#include "../common/TestSupport.h"
#include "../common/DiskTools.h"
#include "device/host/DiskHost.h"
#include "emu/NvmeDisk.h"
#include "platform/emu/EmuStation.h"

namespace {

using disktest::RunTool;
constexpr uint64_t MiB = 1024 * 1024;

class EmuVolumeFormat : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Station.World().Init(1));
        m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.Set("disk_size_mib", "400"); });
        const auto script = m_Folder.Path() / "DiskPartTarget1.sc";
        std::ofstream(script) << " list disk\n select disk 1\n online disk noerr \n clean \nconvert mbr \n"
                                 "create partition primary \n select partition 1\n assign letter=E\n";
        ASSERT_TRUE(device::host::RunDiskPartScript(m_Station, script.string()));
        ASSERT_EQ(m_Station.EmuVolumes().size(), 2u);
        m_Volume = m_Station.EmuVolumes()[1];
    }
    std::string Image() { return emu::NvmeDisk(m_Station.World().BridgeFolder(1)).ImagePath().string(); }
    std::string Sector(uint64_t offset)
    {
        std::ifstream in(Image(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::string bytes(512, '\0');
        in.read(bytes.data(), 512);
        return bytes;
    }
    // The partition cut out of the image, for the system's tools.
    std::string Partition()
    {
        const std::string part = (m_Folder.Path() / "part.img").string();
        RunTool("dd if=" + Image() + " of=" + part + " bs=1M iflag=skip_bytes,count_bytes skip=" +
                std::to_string(m_Volume.offset) + " count=" + std::to_string(m_Volume.length) +
                " conv=sparse status=none");
        return part;
    }

    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Station{m_Folder.Path() / "station"};
    platform::EmuStation::EmuVolume m_Volume;
};

TEST_F(EmuVolumeFormat, NtfsVolumeIsFormattedLabelledAndReportedInPlace)
{
    const std::string mbr = Sector(0);
    ASSERT_TRUE(device::host::FormatVolume(m_Station, "D:\\", "NTFS"));
    ASSERT_TRUE(device::host::SetVolumeLabel(m_Station, "D:\\", "SHIPPED"));
    platform::VolumeInformation info;
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Station, "D:\\", info));
    EXPECT_EQ(info.FileSystemName, "NTFS");
    EXPECT_EQ(info.VolumeName, "SHIPPED");
    platform::DiskFreeSpace space;
    ASSERT_TRUE(device::host::GetDiskFreeSpace(m_Station, "D:\\", space));
    EXPECT_GT(space.NumberOfFreeClusters, space.TotalNumberOfClusters * 9 / 10);
    EXPECT_EQ(Sector(0), mbr);
    // The system's NTFS tools read it where it lies: label, and the partition's
    // start in the boot sector.
    const std::string part = Partition();
    EXPECT_NE(RunTool("ntfsinfo -m " + part).output.find("Volume Name: SHIPPED"), std::string::npos);
    EXPECT_EQ(RunTool("ntfsls " + part).status, 0);
    const std::string boot = Sector(m_Volume.offset);
    const uint32_t hidden = static_cast<uint8_t>(boot[28]) | static_cast<uint8_t>(boot[29]) << 8 |
                            static_cast<uint8_t>(boot[30]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(boot[31])) << 24;
    EXPECT_EQ(hidden, m_Volume.offset / 512);
}

TEST_F(EmuVolumeFormat, ExfatVolumeIsFormattedLabelledAndFsckClean)
{
    ASSERT_TRUE(device::host::FormatVolume(m_Station, "D:\\", "exfat"));
    ASSERT_TRUE(device::host::SetVolumeLabel(m_Station, "D:\\", "SHIPPED"));
    platform::VolumeInformation info;
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Station, "d:\\", info));
    EXPECT_EQ(info.FileSystemName, "exFAT");
    EXPECT_EQ(info.VolumeName, "SHIPPED");
    const std::string part = Partition();
    const auto fsck = RunTool("fsck.exfat -n " + part);
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_NE(RunTool("exfatlabel " + part).output.find("label: SHIPPED"), std::string::npos);
    // A label exFAT cannot hold is refused and the volume keeps its label.
    EXPECT_FALSE(device::host::SetVolumeLabel(m_Station, "D:\\", "TWELVE_CHARS"));
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Station, "D:\\", info));
    EXPECT_EQ(info.VolumeName, "SHIPPED");
}

TEST_F(EmuVolumeFormat, TheSystemVolumeAndUnknownRequestsAreRefused)
{
    EXPECT_FALSE(device::host::FormatVolume(m_Station, "C:\\", "NTFS"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(device::host::FormatVolume(m_Station, "Q:\\", "NTFS"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(device::host::FormatVolume(m_Station, "D:\\", "FAT16"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_PARAMETER);
    // An unformatted volume has no label to set.
    EXPECT_FALSE(device::host::SetVolumeLabel(m_Station, "D:\\", "SHIPPED"));
    EXPECT_FALSE(device::host::SetVolumeLabel(m_Station, "C:\\", "SHIPPED"));
}

TEST_F(EmuVolumeFormat, ADiskFailingWritesKeepsItsBytes)
{
    const std::string before = Sector(m_Volume.offset);
    m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.SetFault(0x2A, emu::FaultMode::CallFails, 1); });
    EXPECT_FALSE(device::host::FormatVolume(m_Station, "D:\\", "NTFS"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_IO_DEVICE);
    EXPECT_EQ(Sector(m_Volume.offset), before);
    platform::VolumeInformation info;
    EXPECT_FALSE(device::host::GetVolumeInformation(m_Station, "D:\\", info));
    // The fault was taken: the next format goes through.
    EXPECT_TRUE(device::host::FormatVolume(m_Station, "D:\\", "NTFS"));
}

}  // namespace
