// Firmware download, configuration transfer, reset and relink on the emulated
// station, on a fake clock.
#include <gtest/gtest.h>

#include <fstream>

#include "StationFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FirmwareDownload : public testsupport::EmulatedStationTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_Dev.Open(m_List, "0", 2), 0);
        m_Dev.SetDeviceList(&m_List);
    }
    std::string WriteImage(uint32_t size, uint8_t versionByte)
    {
        auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x15, 0x00, 0x02, versionByte}, size, 0x5A,
                                            emu::StandardKey(), size);
        const std::string path = (m_Folder.Path() / ("fw" + std::to_string(size) + ".bin")).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        m_Image = image;
        return path;
    }
    std::vector<platform::EmuRequest> FirmwareWrites() const
    {
        std::vector<platform::EmuRequest> writes;
        for (const auto& r : m_Emu.Journal())
            if (!r.cdb.empty() && r.cdb[0] == 0xE3) writes.push_back(r);
        return writes;
    }
    // Stamps the USB4 block of image 0 as the worker does before a reset.
    void Stamp(uint8_t target, uint8_t signature)
    {
        uint8_t u4[128];
        ASSERT_EQ(m_Dev.b7951WrRdConfiguration(target, kReadFromDevice, u4, 0, 1), 1);
        u4[124] = signature;
        u4[125] = target;
        ASSERT_EQ(m_Dev.b7951WrRdConfiguration(target, kWriteToDevice, u4, 0, 1), 1);
    }
    DeviceList m_List;
    Bytes m_Image;
};

TEST_F(FirmwareDownload, ImageOf65536BytesGoesAsOneSegment)
{
    ASSERT_EQ(m_Dev.v7951UpdateFirmware(0, 1, 1, WriteImage(65536, 1)), 1);
    const auto writes = FirmwareWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].cdb, (Bytes{0xE3, 0x51, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Bridge(1).FirmwareImage(1), m_Image);
}

TEST_F(FirmwareDownload, ImageOf65537BytesGoesAs65280Plus257WithPauses)
{
    const int64_t start = m_Clock.Now();
    ASSERT_EQ(m_Dev.v7951UpdateFirmware(1, 0, 0, WriteImage(65537, 2)), 1);
    const auto writes = FirmwareWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].cdb, (Bytes{0xE3, 0x50, 0x00, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(writes[1].cdb, (Bytes{0xE3, 0xD0, 0x00, 0x00, 0x01, 0x01}));
    EXPECT_EQ(m_Clock.Now() - start, 2000);
    EXPECT_EQ(Bridge(2).FirmwareImage(0), m_Image);
}

TEST_F(FirmwareDownload, SuccessOnTheThirdAttemptStillFails)
{
    Fault(1, 0xE3, emu::FaultMode::CheckCondition, 2);
    EXPECT_EQ(m_Dev.v7951UpdateFirmware(0, 0, 0, WriteImage(4096, 3)), 0);
    EXPECT_EQ(FirmwareWrites().size(), 3u);
    EXPECT_EQ(Bridge(1).FirmwareImage(0), m_Image);  // the image did arrive
}

TEST_F(FirmwareDownload, VerifyCatchesADifferenceAndTenFailedAttemptsStop)
{
    Fault(1, 0xE2, emu::FaultMode::CheckCondition, 1);  // the read-back of the first pass fails
    EXPECT_EQ(m_Dev.v7951UpdateFirmware(0, 0, 1, WriteImage(4096, 4)), 0);
    Fault(2, 0xE3, emu::FaultMode::CallFails, 100);
    m_Emu.ClearJournal();
    EXPECT_EQ(m_Dev.v7951UpdateFirmware(1, 0, 0, WriteImage(4096, 5)), 0);
    EXPECT_EQ(FirmwareWrites().size(), 10u);
    EXPECT_EQ(m_Dev.v7951UpdateFirmware(0, 0, 0, (m_Folder.Path() / "missing.bin").string()), 0);
}

TEST_F(FirmwareDownload, ResetFindsTheBridgeUnderItsNewDiskNumberWithItsNewFirmware)
{
    ASSERT_EQ(m_Dev.v7951UpdateFirmware(1, 0, 1, WriteImage(0x1B000, 7)), 1);
    Stamp(1, 4);
    const int64_t start = m_Clock.Now();
    ASSERT_EQ(m_Dev.v7951CPURST(1, 4, static_cast<int>(m_Dev.Usb().GetDiskCount()) - 1, 0x50, 2), 1);
    EXPECT_GE(m_Clock.Now() - start, 2000);  // the bridge stayed away for its delay
    EXPECT_EQ(m_List.Devs[1].m_ucPhysicalAddress, 5);
    EXPECT_EQ(m_List.Devs[1].m_strFWVersion, "250115000207");
    EXPECT_EQ(Bridge(2).DiskNumber(), 5);
    EXPECT_EQ(m_Dev.m_iResetCount.load(), 1);
    EXPECT_EQ(m_Emu.OpenHandleCount(), 0u);
}

TEST_F(FirmwareDownload, RelinkThatNeverComesGivesUpAfter480Seconds)
{
    m_Emu.ModifyBridge(3, [](emu::Bridge& b) { b.Set("reset_fault", "never"); });
    Stamp(2, 4);
    const int64_t start = m_Clock.Now();
    EXPECT_EQ(m_Dev.v7951CPURST(2, 4, 4, 0x50, 2), 0);
    const int64_t waited = m_Clock.Now() - start;
    EXPECT_GE(waited, 480000);
    EXPECT_LT(waited, 490000);
    EXPECT_EQ(m_List.Devs[2].m_ucPhysicalAddress, 3);  // the record keeps its old address
}

TEST_F(FirmwareDownload, WrongStampIsNotTakenForTheBridge)
{
    Stamp(0, 4);
    // The search looks for signature 5: the returned bridge carries 4.
    EXPECT_EQ(m_Dev.v7951CPURST(0, 5, 4, 0x50, 2), 0);
}

TEST_F(FirmwareDownload, CorruptImageZeroBootsImageOne)
{
    ASSERT_EQ(m_Dev.v7951UpdateFirmware(3, 1, 0, WriteImage(8192, 9)), 1);
    m_Emu.ModifyBridge(4, [](emu::Bridge& b) { b.Set("reset_fault", "corrupt"); });
    Stamp(3, 4);
    ASSERT_EQ(m_Dev.v7951CPURST(3, 4, 4, 0x50, 2), 1);
    EXPECT_EQ(m_List.Devs[3].m_strFWVersion, "250115000209");
    EXPECT_EQ(Bridge(4).RunningImage(), 1);
}

TEST_F(FirmwareDownload, BridgeThatReturnsAsCdromIsNotFoundAmongTheDisks)
{
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.Set("reset_fault", "cdrom"); });
    Stamp(0, 4);
    EXPECT_EQ(m_Dev.v7951CPURST(0, 4, 4, 0x50, 2), 0);
    EXPECT_EQ(Bridge(1).CdromNumber(), 0);
}

TEST_F(FirmwareDownload, ConfigurationTransferOfARecord)
{
    uint8_t table[128];
    for (int i = 0; i < 128; ++i) table[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(m_Dev.b7951WrRdConfiguration(2, kWriteToDevice, table, 1, 0), 1);
    EXPECT_EQ(Bridge(3).ConfigTable(1, 0)[77], 77);
    Fault(3, 0xE0, emu::FaultMode::CheckCondition, 1);
    EXPECT_EQ(m_Dev.b7951WrRdConfiguration(2, kReadFromDevice, table, 1, 0), 0);
}

TEST(PowerConfiguration, TextBecomesTheBlock)
{
    std::array<uint8_t, kPowerConfigSize> block{};
    std::string error;
    ASSERT_TRUE(bBuildPowerConfigBlock("0x12,0x34,5,", block, error)) << error;
    const Bytes head{0x60, 0x01, 0x00, 0x00, 0x12, 0x34, 0x05};
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 7), head);
    EXPECT_TRUE(std::all_of(block.begin() + 7, block.end(), [](uint8_t b) { return b == 0xFF; }));
    // Empty fields keep 0xFF; lower case and line ends are fine.
    ASSERT_TRUE(bBuildPowerConfigBlock("0xab,,0x0c,\r\n", block, error)) << error;
    EXPECT_EQ(block[4], 0xAB);
    EXPECT_EQ(block[5], 0xFF);
    EXPECT_EQ(block[6], 0x0C);
    // A value after the last comma would be lost; a field that is no byte is refused.
    EXPECT_FALSE(bBuildPowerConfigBlock("0x12,0x34", block, error));
    EXPECT_NE(error.find("\"34\""), std::string::npos);
    EXPECT_FALSE(bBuildPowerConfigBlock("0x12,zz,", block, error));
    EXPECT_NE(error.find("value 2"), std::string::npos);
    EXPECT_FALSE(bBuildPowerConfigBlock("0x123,", block, error));
    std::string full;
    for (int i = 0; i < 300; ++i) full += "1,";
    EXPECT_TRUE(bBuildPowerConfigBlock(full, block, error)) << error;
    EXPECT_EQ(block[303], 0x01);
    EXPECT_FALSE(bBuildPowerConfigBlock(full + "2,", block, error));
}

TEST_F(FirmwareDownload, PowerConfigurationFileIsWritten)
{
    const std::string path = (m_Folder.Path() / "PowerConfiguration.bin").string();
    std::ofstream(path) << "0x12,0x34,5,";
    ASSERT_EQ(m_Dev.vFactoryConfigure_PowerConfigWrite(0, path), 0);
    const std::string stored = emu::ReadBlob(Bridge(1).Folder() / "power.bin");
    ASSERT_EQ(stored.size(), 304u);
    EXPECT_EQ(static_cast<uint8_t>(stored[4]), 0x12);
    EXPECT_EQ(static_cast<uint8_t>(stored[7]), 0xFF);
    EXPECT_EQ(m_Dev.vFactoryConfigure_PowerConfigWrite(0, path + ".missing"), -1);
}

}  // namespace
