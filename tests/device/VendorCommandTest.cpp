// Every vendor command block, byte for byte, and the record-level operations.
#include <gtest/gtest.h>

#include "StationFixture.h"
#include "device/SHA256.h"

namespace {

using VendorCommands = testsupport::EmulatedStationTest;
using Bytes = std::vector<uint8_t>;

TEST_F(VendorCommands, InquiryReadsTheChipId)
{
    const HANDLE h = OpenDisk(1);
    uint8_t data[38];
    ASSERT_EQ(m_Dev.SCSI8306_Inquiry(h, data, 38), 0);
    const auto r = LastRequest();
    EXPECT_EQ(r.cdbLength, 12);
    EXPECT_EQ(r.cdb, (Bytes{0x12, 0, 0, 0, 38, 0, 0, 0, 0, 0, 0, 0}));
    char chip[5];
    std::snprintf(chip, sizeof chip, "%02X%02X", data[37], data[36]);
    EXPECT_STREQ(chip, "7951");
    m_Station.CloseHandle(h);
}

TEST_F(VendorCommands, ConfigTableOfImageOneTypeOneRoundTrips)
{
    const HANDLE h = OpenDisk(1);
    uint8_t table[128];
    for (int i = 0; i < 128; ++i) table[i] = static_cast<uint8_t>(255 - i);
    ASSERT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kWriteToDevice, table, 128, 1, 1), 0);
    auto r = LastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xE1, 0x51, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(r.dataOut, Bytes(table, table + 128));
    EXPECT_EQ(r.timeOutValue, 60u);
    uint8_t back[128] = {};
    ASSERT_EQ(m_Dev.SCSI7951_AccessConfigEEPROM(h, kReadFromDevice, back, 128, 1, 1), 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xE0, 0x51, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(LastRequest().timeOutValue, 3u);
    EXPECT_EQ(Bytes(back, back + 128), Bytes(table, table + 128));
    // The 8306 form carries P1, P2 and the 5A marker.
    m_Dev.SCSI8306_AccessConfigEEPROM(h, kReadFromDevice, back, 128, 0, 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xE0, 0x00, 0x00, 0x5A, 0x00, 0x00}));
    m_Station.CloseHandle(h);
}

TEST_F(VendorCommands, FirmwareDirectTransferBeyond64KiB)
{
    const HANDLE h = OpenDisk(1);
    Bytes image(0x12345);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    ASSERT_EQ(m_Dev.SCSI7951_AccessFirmwareEEPROM_Direct(h, kWriteToDevice, image.data(), 0x12345, 0, 0), 0);
    const auto r = LastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xE3, 0x50, 0x00, 0x01, 0x23, 0x45}));
    EXPECT_EQ(r.ioControlCode, platform::IOCTL_SCSI_PASS_THROUGH_DIRECT);
    EXPECT_EQ(r.inBufferSize, 80u);
    EXPECT_EQ(r.outBufferSize, 80u);
    EXPECT_EQ(r.dataTransferLength, 0x12345u);
    EXPECT_EQ(Bridge(1).FirmwareImage(0), image);
    Bytes back(0x12345);
    ASSERT_EQ(m_Dev.SCSI7951_AccessFirmwareEEPROM_Direct(h, kReadFromDevice, back.data(), 0x12345, 0, 0), 0);
    EXPECT_EQ(back, image);
    m_Station.CloseHandle(h);
}

TEST(SegmentSelector, ImageAndSegment)
{
    EXPECT_EQ(FirmwareSegmentSelector(0, 0), 0x50);
    EXPECT_EQ(FirmwareSegmentSelector(1, 0), 0x51);
    EXPECT_EQ(FirmwareSegmentSelector(0, 1), 0xD0);
    EXPECT_EQ(FirmwareSegmentSelector(1, 1), 0xD1);
    EXPECT_EQ(FirmwareSegmentSelector(1, 2), 0x00);
}

TEST_F(VendorCommands, DisconnectAndAtaBlocks)
{
    const HANDLE h = OpenDisk(2);
    EXPECT_EQ(m_Dev.bSendFlushCache(2), 1);
    auto r = LastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xA1, 0x06, 0, 0, 0, 0, 0, 0, 0, 0xE7, 0, 0}));
    EXPECT_EQ(r.timeOutValue, 65535u);
    EXPECT_EQ(m_Dev.bSendStandbyImmediate(2), 1);
    EXPECT_EQ(LastRequest().cdb[9], 0xE0);
    EXPECT_EQ(m_Dev.bSendStandbyImmediate(7), 0);  // no such drive
    ASSERT_EQ(m_Dev.SCSI8306_DisConnect(h), 0);
    r = LastRequest();
    EXPECT_EQ(r.cdbLength, 12);
    EXPECT_EQ(r.cdb, (Bytes{0xE8, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.timeOutValue, 3u);
    EXPECT_FALSE(Bridge(2).Present());
    m_Station.CloseHandle(h);
}

TEST_F(VendorCommands, FactoryDataAndPowerConfiguration)
{
    const HANDLE h = OpenDisk(1);
    uint8_t factory[512];
    ASSERT_EQ(m_Dev.SCSI6837_FactoryConfigure_Read(h, factory), 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0x12, 0x01, 0xC8, 0x00, 0x81, 0x00}));
    EXPECT_EQ(LastRequest().dataTransferLength, 512u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(factory), 12), "FACTORY-0001");
    uint8_t power[304];
    for (int i = 0; i < 304; ++i) power[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(m_Dev.SCSI6837_FactoryConfigure_PowerConfigWrite(h, power), 0);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xC3, 0x30, 0x0C, 0, 0, 0, 0, 0, 0x01, 0x30, 0x00}));
    EXPECT_EQ(LastRequest().dataOut, Bytes(power, power + 304));
    m_Station.CloseHandle(h);
}

TEST_F(VendorCommands, GenericBlocks)
{
    const HANDLE h = OpenDisk(1);
    const uint8_t eight[8] = {0xA1, 0x06, 0, 0, 0, 0, 0, 0};
    uint8_t ignored[4] = {1, 2, 3, 4};
    m_Dev.SCSI_CMD(h, kWriteToDevice, eight, 8, ignored, 4);
    auto r = LastRequest();
    EXPECT_EQ(r.cdbLength, 8);
    EXPECT_EQ(r.dataTransferLength, 0u);  // a caller's buffer is not transmitted
    EXPECT_EQ(r.timeOutValue, 60u);
    const uint8_t tail[13] = {0xE4, 0x01, 0x50, 0x07, 0xF0};
    uint8_t data[2] = {};
    m_Dev.SCSI_VEN_PASSTHROUGH_CMD(h, kReadFromDevice, 0xAA, 0xBB, 0xCC, tail, data, 2);
    r = LastRequest();
    EXPECT_EQ(r.cdbLength, 16);
    EXPECT_EQ(r.cdb[0], 0xAA);
    EXPECT_EQ(r.cdb[3], 0xE4);
    EXPECT_EQ(r.timeOutValue, 3u);
    EXPECT_EQ(m_Dev.SCSI_VEN_PASSTHROUGH_CMD(h, kWriteToDevice, 0, 0, 0, tail, data, 65537), -10);
    m_Station.CloseHandle(h);
}

class RecordOperations : public VendorCommands {
protected:
    void SetUp() override
    {
        m_List.DevNums = 2;
        m_List.Devs[0].m_ucPhysicalAddress = 1;
        m_List.Devs[1].m_ucPhysicalAddress = 2;
        m_Dev.SetDeviceList(&m_List);
    }
    DeviceList m_List;
};

TEST_F(RecordOperations, KeyIsSentInWireFormAndImagesVerify)
{
    EXPECT_EQ(m_Dev.vSHA256_VerifyKey(0, 0), 0);  // no key yet
    ASSERT_EQ(m_Dev.vSHA256_SendKey(0), 1);
    const auto r = LastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xE9, 0x00, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_EQ(r.dataOut.size(), 32u);
    EXPECT_EQ(Bytes(r.dataOut.begin(), r.dataOut.begin() + 4), (Bytes{0x6a, 0x09, 0xe6, 0x67}));
    EXPECT_EQ(Bytes(r.dataOut.end() - 4, r.dataOut.end()), (Bytes{0x5b, 0xe0, 0xcd, 0x19}));
    EXPECT_EQ(m_Dev.vSHA256_VerifyKey(0, 1), 1);
    EXPECT_EQ(LastRequest().cdb, (Bytes{0xE9, 0x01, 0x01, 0x00, 0x00, 0x00}));
    // The other bridge never got the key.
    EXPECT_EQ(m_Dev.vSHA256_VerifyKey(1, 0), 0);
}

TEST_F(RecordOperations, ShaSupportFollowsBitThreeOfC8D1)
{
    EXPECT_EQ(m_Dev.vCheckSupportSHA256(0), 1);
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.WriteRegister(0xC8D1, 0x08); });
    EXPECT_EQ(m_Dev.vCheckSupportSHA256(0), 0);
    Fault(2, 0xE4, emu::FaultMode::CheckCondition, 1);
    EXPECT_EQ(m_Dev.vCheckSupportSHA256(1), 0);
    m_List.Devs[1].m_ucPhysicalAddress = 9;  // the open fails
    EXPECT_EQ(m_Dev.vSHA256_SendKey(1), 0);
    EXPECT_EQ(m_Dev.vSHA256_SendKey(16), 0);  // no such record
}

TEST_F(RecordOperations, DisconnectFlushesSpinsDownThenLeavesTheBus)
{
    const int64_t start = m_Clock.Now();
    ASSERT_EQ(m_Dev.vDisconnectAllDevice(1), 1);
    EXPECT_EQ(m_Clock.Now() - start, 3000);
    const auto journal = m_Emu.Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[0].cdb[9], 0xE7);
    EXPECT_EQ(journal[1].cdb[9], 0xE0);
    EXPECT_EQ(journal[2].cdb[0], 0xE8);
    EXPECT_FALSE(Bridge(2).Present());
    EXPECT_TRUE(Bridge(1).Present());
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
    EXPECT_EQ(m_Dev.vDisconnectAllDevice(1), 0);  // gone: the open fails
}

TEST_F(RecordOperations, FactoryReadThroughTheRecord)
{
    uint8_t factory[512] = {};
    ASSERT_EQ(m_Dev.vFactoryConfigure_Read(1, factory), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(factory), 12), "FACTORY-0002");
}

TEST(RecordPath, DiskOrCdrom)
{
    DeviceInfo record;
    record.m_ucPhysicalAddress = 3;
    EXPECT_EQ(RecordDevicePath(record), "\\\\.\\PHYSICALDRIVE3");
    record.m_bCDROM = 1;
    record.m_ucCDROMAddress = 1;
    EXPECT_EQ(RecordDevicePath(record), "\\\\.\\CDROM1");
}

TEST(ShaKey, WireFormIsMostSignificantByteFirst)
{
    const auto wire = CSHA256::KeyWireForm();
    EXPECT_EQ(wire[4], 0xbb);
    EXPECT_EQ(wire[7], 0x85);
    EXPECT_EQ(wire[16], 0x51);
}

}  // namespace
