// Disk operations of CBrvtUSBDev on the emulated station: drive letters, raw
// sector transfers, sizes, partition count, drive identity and disk information.
#include <gtest/gtest.h>

#include <cmath>

#include "DiskImages.h"
#include "StationFixture.h"
#include "device/BRV683xNVME.h"
#include "device/DiskInfoArea.h"
#include "device/host/DiskHost.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<uint8_t>;

class DiskOperations : public EmulatedStationTest {
protected:
    emu::NvmeDisk Disk(int id) { return emu::NvmeDisk(m_Emu.World().BridgeFolder(id)); }
    // A first partition of 1 GiB at sector 2048, with or without a FAT32 volume.
    void Partition(int id, bool fat32 = false, uint32_t freeClusters = 0, const std::string& label = "")
    {
        const uint32_t sectors = 2 * 1024 * 1024;
        WriteMbr(Disk(id), {{kPartitionStart, sectors, 0x0C}});
        if (fat32) WriteFat32(Disk(id), kPartitionStart, sectors, 8, freeClusters, label);
    }
    void SetBridgeKey(int id, const std::string& key, const std::string& value)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& bridge) { bridge.Set(key, value); });
    }
    DeviceInfo Record(int disk, uint8_t devType)
    {
        DeviceInfo record;
        record.m_ucPhysicalAddress = static_cast<uint8_t>(disk);
        record.m_ucDevType = devType;
        return record;
    }
    std::string DiskPath(int disk) { return "\\\\.\\PHYSICALDRIVE" + std::to_string(disk); }
    bool JournalHasOpcode(uint8_t opcode)
    {
        for (const auto& r : m_Emu.Journal())
            if (!r.cdb.empty() && r.cdb[0] == opcode) return true;
        return false;
    }
};

// --- drive letters ---------------------------------------------------------------------

TEST_F(DiskOperations, LettersFollowDiskOrderFromD)
{
    Partition(4);
    Partition(2);
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(2, 0), 'D');
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(4, 0), 'E');
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(1, 0), kNoDriveLetter);
    // Disk 0 holds C:, which is never examined.
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(0, 0), kNoDriveLetter);
}

TEST_F(DiskOperations, NoVolumeGives127AfterFiveSecondsWhenWaiting)
{
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(1, 0), kNoDriveLetter);
    EXPECT_EQ(m_Clock.Now(), 0);
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(1, 1), kNoDriveLetter);
    EXPECT_GE(m_Clock.Now(), 5000);
    EXPECT_LT(m_Clock.Now(), 5400);
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

TEST_F(DiskOperations, WaitingEndsAtOnceWhenTheVolumeIsThere)
{
    Partition(3);
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(3, 1), 'D');
    EXPECT_EQ(m_Clock.Now(), 0);
}

TEST_F(DiskOperations, BridgeOffTheBusLosesItsLetter)
{
    Partition(1);
    Partition(2);
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.SetPresent(false); });
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(2, 0), 'D');
    EXPECT_EQ(m_Dev.vGetLogicalAddressFromPhysicalAddress(1, 0), kNoDriveLetter);
}

// --- raw sector transfers -----------------------------------------------------------------

TEST_F(DiskOperations, WriteOf1000BytesWrites1024BytesTwice)
{
    Partition(1);
    const Bytes ones(2048, 0xFF);
    Disk(1).Write((kPartitionStart + 10) * 512ull, ones.data(), ones.size());
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    m_Station.m_Writes = 0;
    ASSERT_EQ(m_Dev.vWriteSectors('D', data.data(), 10, 1000, 0), 1);
    EXPECT_EQ(m_Station.m_Writes, 2);
    Bytes image(2048);
    Disk(1).Read((kPartitionStart + 10) * 512ull, image.data(), image.size());
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 1000), data);
    EXPECT_EQ(Bytes(image.begin() + 1000, image.begin() + 1024), Bytes(24, 0));
    EXPECT_EQ(Bytes(image.begin() + 1024, image.end()), Bytes(1024, 0xFF));  // nothing beyond the rounded length
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

TEST_F(DiskOperations, ReadGivesBackOnlyTheLengthAsked)
{
    Partition(1);
    Bytes data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
    ASSERT_EQ(m_Dev.vWriteSectors('d', data.data(), 100, 3000, 0), 1);
    Bytes back(3000 + 16, 0xEE);  // a guard area after the length asked
    ASSERT_EQ(m_Dev.vReadSectors('D', back.data(), 100, 3000, 0), 1);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 3000), data);
    EXPECT_EQ(Bytes(back.begin() + 3000, back.end()), Bytes(16, 0xEE));
}

TEST_F(DiskOperations, DriveCIsRefusedWithoutOpeningAnything)
{
    Bytes data(512, 1);
    for (char letter : {'c', 'C'}) {
        EXPECT_EQ(m_Dev.vWriteSectors(letter, data.data(), 0, 512, 0), 0);
        EXPECT_EQ(m_Dev.vReadSectors(letter, data.data(), 0, 512, 0), 0);
    }
    EXPECT_EQ(m_Station.m_Opens, 0);
}

TEST_F(DiskOperations, TransfersWithoutVolumeFail)
{
    Bytes data(512, 1);
    EXPECT_EQ(m_Dev.vWriteSectors('D', data.data(), 0, 512, 0), 0);
    EXPECT_EQ(m_Dev.vReadSectors('D', data.data(), 0, 512, 0), 0);
    EXPECT_EQ(m_Dev.vWriteSectors('D', nullptr, 0, 512, 0), 0);
}

TEST_F(DiskOperations, WriteBeyondTheVolumeFails)
{
    Partition(1);
    Bytes data(1024, 1);
    const uint64_t lastSector = 2 * 1024 * 1024 - 1;
    EXPECT_EQ(m_Dev.vWriteSectors('D', data.data(), lastSector, 1024, 0), 0);
    EXPECT_EQ(m_Dev.vWriteSectors('D', data.data(), lastSector, 512, 0), 1);
}

TEST_F(DiskOperations, TimedPassesAddTheirRate)
{
    Partition(1);
    Bytes data(1 << 20, 3);
    // No time passes on the fake clock: nothing is added, and nothing divides by zero.
    ASSERT_EQ(m_Dev.vWriteSectors('D', data.data(), 0, 1 << 20, 1), 1);
    EXPECT_EQ(m_Dev.m_fsdif_W.load(), 0.0);
    util::SetClock(std::make_shared<testsupport::FakeClock>(0, 4));  // every reading 4 ms after the last
    ASSERT_EQ(m_Dev.vWriteSectors('D', data.data(), 0, 1 << 20, 1), 1);
    ASSERT_EQ(m_Dev.vReadSectors('D', data.data(), 0, 1 << 20, 1), 1);
    ASSERT_EQ(m_Dev.vReadSectors('D', data.data(), 0, 1 << 20, 0), 1);
    // One timed MiB per call, each write or read measured as 4 ms: 250 MB/s.
    EXPECT_NEAR(m_Dev.m_fsdif_W.load(), 250.0, 1e-9);
    EXPECT_NEAR(m_Dev.m_fsdif_R.load(), 250.0, 1e-9);
}

// --- sizes, free space, partition count ---------------------------------------------------

TEST_F(DiskOperations, PhysicalSizeInMiB)
{
    EXPECT_EQ(m_Dev.vGetDiskPhysicalSize(1), 65536);
    SetBridgeKey(2, "disk_size_mib", "3000");
    EXPECT_EQ(m_Dev.vGetDiskPhysicalSize(2), 3000);
    EXPECT_EQ(m_Dev.vGetDiskPhysicalSize(0), 256 * 1024);
    EXPECT_EQ(m_Dev.vGetDiskPhysicalSize(9), -1);
}

TEST_F(DiskOperations, FreeSpaceOfAFat32Volume)
{
    Partition(1, true, 200000, "DEVEDA");
    // (200000 / 1024) units of 1024 clusters of 8 sectors of 512 bytes, in MiB.
    EXPECT_EQ(m_Dev.vGetDiskFreeSpace('D'), 195 * 512 * 8 / 1024);
    platform::VolumeInformation info;
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Emu, "D:\\", info));
    EXPECT_EQ(info.VolumeName, "DEVEDA");
    EXPECT_EQ(info.FileSystemName, "FAT32");
    // A free count above the cluster count is not believed: the empty FAT is
    // counted instead, (2,097,152 - 32 - 2 * 1024) / 8 = 261,884 clusters.
    Partition(1, true, 300000, "DEVEDA");
    EXPECT_EQ(m_Dev.vGetDiskFreeSpace('D'), 261884 / 1024 * 512 * 8 / 1024);
}

TEST_F(DiskOperations, FreeSpaceOfAnUnrecognisedVolumeOrNoVolumeIsMinusOne)
{
    Partition(1);
    EXPECT_EQ(m_Dev.vGetDiskFreeSpace('D'), -1);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_UNRECOGNIZED_VOLUME);
    EXPECT_EQ(m_Dev.vGetDiskFreeSpace('Q'), -1);
}

TEST_F(DiskOperations, PartitionCountIsTheLastNumberedEntry)
{
    EXPECT_EQ(m_Dev.vGetPartitionCount(1), kNoPartitionCount);  // no table
    WriteMbr(Disk(1), {{2048, 4096, 0x07}, {8192, 4096, 0x0C}});
    EXPECT_EQ(m_Dev.vGetPartitionCount(1), 2);
    // An extended container carries no number.
    WriteMbr(Disk(1), {{2048, 4096, 0x07}, {8192, 4096, 0x0F}});
    EXPECT_EQ(m_Dev.vGetPartitionCount(1), 1);
    EXPECT_EQ(m_Dev.vGetPartitionCount(9), kNoPartitionCount);
}

// --- drive identity and disk information ------------------------------------------------

TEST_F(DiskOperations, A795xRecordIsIdentifiedThroughNvmeNeverAta)
{
    Partition(1);
    DeviceInfo record = Record(1, 8);
    m_Emu.ClearJournal();
    ASSERT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(1), record), 0);
    EXPECT_FALSE(JournalHasOpcode(0xA1));
    bool sawIdentify = false;
    for (const auto& r : m_Emu.Journal())
        if (r.cdb == Bytes{0xE6, 0x06, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) {
            sawIdentify = true;
            EXPECT_EQ(r.dataTransferLength, 4096u);
            EXPECT_EQ(r.timeOutValue, 60u);
        }
    EXPECT_TRUE(sawIdentify);
    EXPECT_EQ(record.m_strDiskSerialNumber, "NVME0001");
    EXPECT_EQ(record.m_strDiskFWVersion, "EMU00001");
    EXPECT_EQ(record.m_cDriveLetter, 'D');
    EXPECT_EQ(RecordDiskSize(record), int64_t{64} << 30);
    const DiskInfoArea area = GetDiskInfoArea(record);
    EXPECT_STREQ(area.MediaType, "FixedMedia");
    EXPECT_EQ(area.BytesPerSector, 512u);
    EXPECT_EQ(area.DiskSize, int64_t{64} << 30);
    EXPECT_EQ(m_Dev.DiskIdentities().back(), std::make_pair(std::string("NVME0001"), std::string("EMU00001")));
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

TEST_F(DiskOperations, SataRecordIsIdentifiedThroughAta)
{
    SetBridgeKey(2, "nvme_serial", "sn-ab12");
    SetBridgeKey(2, "nvme_firmware", "fw1.2c");
    DeviceInfo record = Record(2, 3);
    m_Emu.ClearJournal();
    ASSERT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(2), record), 0);
    EXPECT_FALSE(JournalHasOpcode(0xE6));
    bool sawAta = false;
    for (const auto& r : m_Emu.Journal())
        if (r.cdb == Bytes{0xA1, 0x08, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA0, 0xEC, 0x00, 0x00}) {
            sawAta = true;
            EXPECT_EQ(r.dataTransferLength, 512u);
            EXPECT_EQ(r.timeOutValue, 65535u);
        }
    EXPECT_TRUE(sawAta);
    // Swapped back from the ATA word order, trimmed and upper-cased.
    EXPECT_EQ(record.m_strDiskSerialNumber, "SN-AB12");
    EXPECT_EQ(record.m_strDiskFWVersion, "FW1.2C");
    EXPECT_EQ(record.m_cDriveLetter, kNoDriveLetter);
}

TEST_F(DiskOperations, SerialAndFirmwareOfDifferentBridgesDiffer)
{
    std::string a, b;
    CBRV683xNVME nvme(m_Dev.Transport());
    ASSERT_EQ(nvme.NVME_GetSerialNumber(1, a), 0);
    ASSERT_EQ(m_Dev.ATAPassThrough_GetSSDSerialNumber(2, b), 0);
    EXPECT_EQ(a, "NVME0001");
    EXPECT_EQ(b, "NVME0002");
    EXPECT_EQ(m_Dev.ATAPassThrough_GetSSDSerialNumber(9, b), kCommandDiskNotOpened);
    EXPECT_EQ(b, "");
}

TEST_F(DiskOperations, IdentifyTextTrimsUpperCasesAndDropsControlBytes)
{
    const uint8_t nvme[] = {' ', ' ', 'a', 'b', '\0', 'c', ' ', ' '};
    EXPECT_EQ(IdentifyText(nvme, sizeof nvme, false), "AB C");
    const uint8_t ata[] = {'b', 'a', 'd', 'c', ' ', 'e'};  // "abcde " in ATA word order
    EXPECT_EQ(IdentifyText(ata, sizeof ata, true), "ABCDE");
    EXPECT_EQ(IdentifyText(nvme, 2, false), "");
}

TEST_F(DiskOperations, ObtainDiskInfoResultCodes)
{
    DeviceInfo record = Record(1, 8);
    EXPECT_EQ(m_Dev.nObtainDiSKInfo("", record), kCommandInvalidArgument);
    EXPECT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(9), record), kCommandDiskNotOpened);

    Fault(1, 0xE6, emu::FaultMode::CheckCondition, 1);
    EXPECT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(1), record), kCommandNothingObtained);
    EXPECT_EQ(record.m_strDiskSerialNumber, "");

    DeviceInfo sata = Record(2, 0);
    Fault(2, 0xA1, emu::FaultMode::CallFails, 1);
    EXPECT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(2), sata), kCommandNothingObtained);
    EXPECT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(2), sata), 0);

    // Unknown device type: no identify data, the geometry still read.
    DeviceInfo unknown = Record(3, 255);
    EXPECT_EQ(m_Dev.nObtainDiSKInfo(DiskPath(3), unknown), 0);
    EXPECT_EQ(unknown.m_strDiskSerialNumber, "");
    EXPECT_EQ(RecordDiskSize(unknown), int64_t{64} << 30);
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

// A station whose geometry query fails.
class NoGeometryStation final : public CountingStation {
public:
    using CountingStation::CountingStation;
    bool GetDiskCapacity(platform::HANDLE, platform::DiskCapacity&) override
    {
        platform::SetLastError(platform::ERROR_IO_DEVICE);
        return false;
    }
};

TEST_F(DiskOperations, ObtainDiskInfoWithoutGeometryIsMinusOne)
{
    NoGeometryStation station(m_Emu);
    CBrvtUSBDev dev(station);
    DeviceInfo record = Record(1, 8);
    EXPECT_EQ(dev.nObtainDiSKInfo(DiskPath(1), record), kCommandFailed);
    EXPECT_EQ(dev.vGetDiskPhysicalSize(1), -1);
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

TEST_F(DiskOperations, CdromRecordHasNoLetterAndSizeMinusOne)
{
    DeviceInfo record = Record(127, 255);
    record.m_bCDROM = 1;
    record.m_ucCDROMAddress = 0;
    SetBridgeKey(1, "cdrom", "1");
    SetBridgeKey(1, "cdrom_number", "0");
    record.m_DiskInfo.fill(0x33);
    ASSERT_EQ(m_Dev.nObtainDiSKInfo("\\\\.\\CDROM0", record), 0);
    EXPECT_EQ(record.m_cDriveLetter, kNoDriveLetter);
    EXPECT_EQ(record.m_iDiskSizeLow, -1);
    EXPECT_EQ(record.m_iDiskSizeHigh, -1);
    EXPECT_EQ(record.m_DiskInfo, decltype(record.m_DiskInfo){});
}

}  // namespace
