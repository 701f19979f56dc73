// The PD tunnel from the host side: command blocks byte for byte as the emulated
// bridge receives them, and whole writes, reads and compares of each chip kind.
#include <gtest/gtest.h>

#include <fstream>

#include "device/host/DiskHost.h"
#include "emu/PdTunnel.h"
#include "pd/PowerDelivery.h"
#include "platform/emu/EmuStation.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace pd;
using Bytes = std::vector<uint8_t>;

std::string Fixture(const std::string& name) { return std::string(PD_FIXTURES) + "/" + name; }

class PDChannel : public ::testing::Test {
protected:
    PDChannel() : m_Emu(m_Folder.Path() / "station"), m_Pd(m_Emu) {}

    void Fit(int bridge, const std::string& key, const std::string& value)
    {
        std::string error;
        ASSERT_TRUE(emu::PdTunnel::ApplySetting(m_Emu.World().BridgeFolder(bridge), key, value, error)) << error;
    }
    emu::PdTunnel Tunnel(int bridge) { return emu::PdTunnel(m_Emu.World().BridgeFolder(bridge)); }
    HANDLE Open(int disk)
    {
        return device::host::CreateFile(
            m_Emu, "\\\\.\\PhysicalDrive" + std::to_string(disk), platform::GENERIC_READ | platform::GENERIC_WRITE,
            platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    }
    platform::EmuRequest Last() const { return m_Emu.Journal().back(); }
    std::string RichtekFile(uint8_t seed)
    {
        const auto path = m_Folder.Path() / ("rt" + std::to_string(seed) + ".bin");
        std::string image(kRichtekImageSize, '\0');
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + seed);
        std::ofstream(path, std::ios::binary) << image;
        return path.string();
    }

    testsupport::FakeClockScope m_Clock;
    testsupport::TempFolder m_Folder;
    platform::EmuStation m_Emu;
    CPowerDelivery m_Pd;
};

TEST_F(PDChannel, DataOutAndDataInBlocks)
{
    Fit(1, "vendor", "richtek");
    const HANDLE h = Open(1);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, PD_BUS_OPEN, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x04, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Last().dataTransferLength, 0u);
    EXPECT_EQ(Last().timeOutValue, 60u);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, PD_MPT_AREA, 0, 0x3FFF, nullptr, 0), 0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x00, 0, 0, 0x3F, 0xFF, 0, 0}));
    // 0x01 carries its four data bytes in the block and has no data phase.
    uint8_t word[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, PD_WRITE_DATA, 0x0400, 0, word, 4), 0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x01, 0x04, 0x00, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(Last().dataTransferLength, 0u);
    EXPECT_TRUE(Last().dataOut.empty());
    // The Richtek version moves exactly 2 bytes whatever the caller asks for.
    uint8_t version[16];
    std::fill(std::begin(version), std::end(version), 0xEE);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kReadFromDevice, PD_FW_VERSION_RICHTEK, 0, 0, version, 16), 0);
    EXPECT_EQ(Last().dataTransferLength, 2u);
    EXPECT_EQ(Last().timeOutValue, 3u);
    EXPECT_EQ(Bytes(version, version + 4), (Bytes{0xA1, 0xB2, 0, 0}));
    // Byte 7 is the length of 0x06.
    uint8_t block[32];
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kReadFromDevice, PD_READ_DATA, 0x1000, 0x1000, block, 32), 0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x06, 0x10, 0x00, 0x10, 0x00, 0, 32}));
    EXPECT_EQ(block[0], 0xA1);
    m_Emu.CloseHandle(h);
}

TEST_F(PDChannel, RowNumbersAndLengthsOfCypressCCG3AndMCU)
{
    EXPECT_EQ(CypressRowParameter(kVendorCCG3, 0x0123), 0x2301);  // CDB bytes 0x23 0x01
    EXPECT_EQ(CypressRowParameter(kVendorCypress, 0x23), 0x2300);  // CDB bytes 0x23 0x00
    Fit(1, "vendor", "ccg3");
    Fit(1, "mcu", "stm");
    const HANDLE h = Open(1);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, PD_BUS_OPEN, 0, 0, nullptr, 0), 0);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, CYPRESS_PD_CCG3_FLASH_MODE, 0, 0, nullptr, 0), 0);
    Bytes row(128, 0x3C);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, CYPRESS_PD_CCG3_WRITE_DATA,
                                        CypressRowParameter(kVendorCCG3, 0x0123), 0, row.data(), 128),
              0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x2B, 0x23, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(Last().dataOut, row);
    EXPECT_EQ(Tunnel(1).PdMemory(0x123 * 128, 128), std::string(128, '\x3C'));
    // MCU pieces: length in byte 6, both directions.
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, ST_MCU_ENTER_BOOTLOADER, 0, 0, nullptr, 0), 0);
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, ST_MCU_ENTER_BOOTLOADER_FLASH, 0, 0, nullptr, 0), 0);
    uint8_t piece[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, ST_MCU_WRITE_DATA, 0x0800, 0x0018, piece, 7), 0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x34, 0x08, 0x00, 0x00, 0x18, 7, 0}));
    uint8_t back[7];
    ASSERT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kReadFromDevice, ST_MCU_READ_DATA, 0x0800, 0x0018, back, 7), 0);
    EXPECT_EQ(Last().cdb, (Bytes{0xEC, 0x35, 0x08, 0x00, 0x00, 0x18, 7, 0}));
    EXPECT_EQ(Bytes(back, back + 7), Bytes(piece, piece + 7));
    m_Emu.CloseHandle(h);
}

TEST_F(PDChannel, OversizeOrBadHandleIsRefusedBeforeAnythingIsSent)
{
    const HANDLE h = Open(1);
    uint8_t big[257] = {};
    const size_t before = m_Emu.Journal().size();
    EXPECT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kWriteToDevice, CYPRESS_PD_WRITE_DATA, 0, 0, big, 257), -10);
    EXPECT_EQ(m_Pd.SCSI8306_PDVendorCmd(nullptr, kReadFromDevice, PD_GET_PD_CONTROL, 0, 0, big, 16), -10);
    EXPECT_EQ(m_Emu.Journal().size(), before);
    // A failed data-in command leaves the buffer zeroed (the bus is closed here).
    std::fill(std::begin(big), std::end(big), 0x77);
    EXPECT_EQ(m_Pd.SCSI8306_PDVendorCmd(h, kReadFromDevice, PD_GET_PD_CONTROL, 0x1000, 0, big, 16), -1);
    EXPECT_TRUE(std::all_of(big, big + 16, [](uint8_t b) { return b == 0; }));
    m_Emu.CloseHandle(h);
}

TEST_F(PDChannel, InitialisationReadsVendorsAndCCG3Mode)
{
    Fit(2, "vendor", "ccg3");
    Fit(2, "mcu", "stm");
    Fit(2, "mode", "2");
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(2), 0);
    EXPECT_EQ(m_Pd.m_nPDChipVendor, 4);
    EXPECT_EQ(m_Pd.m_nMCUChipVendor, 20);
    EXPECT_EQ(m_Pd.m_nCCG3DeviceMode, 2);
    // An answer without 0x5A gives -3 and still records the vendor codes.
    Fit(2, "no_answer", "1");
    CPowerDelivery other(m_Emu);
    EXPECT_EQ(other.nGetPDChipVendor(2), -3);
    EXPECT_EQ(other.m_nPDChipVendor, 4);
    EXPECT_EQ(other.m_nMCUChipVendor, 20);
}

TEST_F(PDChannel, RichtekWriteReadAndVersionTexts)
{
    Fit(1, "vendor", "richtek");
    Fit(1, "mcu", "stm");
    const auto file = LoadPDFirmwareFile(RichtekFile(3));
    ASSERT_TRUE(file.Accepted());
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    ASSERT_EQ(m_Pd.nConfigMTPArea(kVendorRichtek, 1), 0);
    EXPECT_TRUE(m_Pd.m_bBootloaderEntered);  // the MCU's entry came first
    m_Emu.ClearJournal();
    ASSERT_EQ(m_Pd.nPDFWUpdate(kVendorRichtek, 1, file), 0);
    EXPECT_EQ(m_Emu.Journal().size(), 4096u);
    EXPECT_EQ(Tunnel(1).PdMemory(0, kRichtekImageSize), std::string(file.richtek.begin(), file.richtek.end()));
    PDReadBack back;
    ASSERT_EQ(m_Pd.nPDFWRead(kVendorRichtek, 1, file, kRichtekImageSize, back), 0);
    EXPECT_EQ(nCompareRichtek(file, back), 0);
    ASSERT_EQ(m_Pd.nGetPDFWVersion(1, true, true), 0);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02X%02X/FFFF", file.richtek[0x1001], file.richtek[0x1000]);
    EXPECT_EQ(m_Pd.m_strDeviceVersion, expected);
    ASSERT_EQ(m_Pd.nGetPDFWVersion(1, false, true), 0);
    EXPECT_EQ(m_Pd.m_strDeviceVersion, "FFFF");
}

TEST_F(PDChannel, CorruptWordReadsBackDifferent)
{
    Fit(1, "vendor", "richtek");
    Fit(1, "corrupt_row", "17");
    const auto file = LoadPDFirmwareFile(RichtekFile(9));
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    ASSERT_EQ(m_Pd.nConfigMTPArea(kVendorRichtek, 1), 0);
    ASSERT_EQ(m_Pd.nPDFWUpdate(kVendorRichtek, 1, file), 0);
    PDReadBack back;
    ASSERT_EQ(m_Pd.nPDFWRead(kVendorRichtek, 1, file, kRichtekImageSize, back), 0);
    EXPECT_EQ(nCompareRichtek(file, back), -3);
}

TEST_F(PDChannel, CCG3RowsWriteAndCompareLeavingTheBankRowOut)
{
    Fit(1, "vendor", "ccg3");
    const auto file = LoadPDFirmwareFile(Fixture("ccg3_mode1.cyacd"));
    ASSERT_TRUE(file.Accepted());
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    ASSERT_EQ(m_Pd.nConfigMTPArea(kVendorCCG3, 1), 0);
    ASSERT_EQ(m_Pd.nPDFWUpdate(kVendorCCG3, 1, file), 0);
    PDReadBack back;
    ASSERT_EQ(m_Pd.nPDFWRead(kVendorCCG3, 1, file, 0, back), 0);
    // Row 0x3FF (1023) carries the controller's stamp in device mode 1: left out.
    EXPECT_EQ(nCompareCypress(kVendorCCG3, 1, file, back), 0);
    EXPECT_EQ(nCompareCypress(kVendorCCG3, 2, file, back), -3);
    ASSERT_EQ(m_Pd.nGetPDFWVersion(1, true, false), 0);
    EXPECT_EQ(m_Pd.m_strDeviceVersion, file.version);
}

TEST_F(PDChannel, CypressRowsOfOtherArraysAreNeitherWrittenNorCompared)
{
    Fit(1, "vendor", "cypress");
    const auto file = LoadPDFirmwareFile(Fixture("cypress_low.cyacd"));
    ASSERT_TRUE(file.Accepted());
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    ASSERT_EQ(m_Pd.nConfigMTPArea(kVendorCypress, 1), 0);
    m_Emu.ClearJournal();
    ASSERT_EQ(m_Pd.nPDFWUpdate(kVendorCypress, 1, file), 0);
    EXPECT_EQ(m_Emu.Journal().size(), 3u);  // the array 0x01 row stays out
    EXPECT_EQ(Tunnel(1).PdMemory(0x41 * 128, 128), std::string(128, '\0'));
    PDReadBack back;
    ASSERT_EQ(m_Pd.nPDFWRead(kVendorCypress, 1, file, 0, back), 0);
    EXPECT_EQ(nCompareCypress(kVendorCypress, 0, file, back), 0);
}

TEST_F(PDChannel, MCUImageGoesOutInTwelveBytePiecesAndReadsBack)
{
    Fit(1, "mcu", "stm");
    const auto file = LoadPDFirmwareFile(Fixture("mcu_srec.hex"));
    ASSERT_TRUE(file.Accepted());
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    ASSERT_EQ(m_Pd.nConfigMTPArea(kVendorSTM, 1), 0);
    m_Emu.ClearJournal();
    ASSERT_EQ(m_Pd.nPDFWUpdate(kVendorSTM, 1, file), 0);
    const auto journal = m_Emu.Journal();
    ASSERT_EQ(journal.size(), (0x1234u + 11) / 12);
    EXPECT_EQ(journal.back().cdb, (Bytes{0xEC, 0x34, 0x08, 0x00, 0x12, 0x30, 4, 0}));  // the last piece is shorter
    std::ifstream bin(Fixture("mcu_srec.bin"), std::ios::binary);
    const std::string expected((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Tunnel(1).McuFlash(0, 0x1234) == expected);
    PDReadBack back;
    ASSERT_EQ(m_Pd.nPDFWRead(kVendorSTM, 1, file, kMCUImageSize, back), 0);
    EXPECT_EQ(back.bytes.size(), kMCUImageSize);
    EXPECT_EQ(nCompareMCU(file, back), 0);
    back.bytes[0x1000] ^= 1;
    EXPECT_EQ(nCompareMCU(file, back), -3);
}

TEST_F(PDChannel, ConfigRetriesAFailingFlashModeAndGivesUpAfterThree)
{
    Fit(1, "vendor", "cypress");
    Fit(1, "fail", "22");
    Fit(1, "fail_count", "2");
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    EXPECT_EQ(m_Pd.nConfigMTPArea(kVendorCypress, 1), 0);
    Fit(1, "fail_count", "3");
    EXPECT_EQ(m_Pd.nConfigMTPArea(kVendorCypress, 1), -1);
    EXPECT_EQ(m_Pd.nConfigMTPArea(0, 1), -10);
    EXPECT_EQ(m_Pd.nConfigMTPArea(7, 1), -10);
}

TEST_F(PDChannel, RefusedFilesAreNeverWritten)
{
    Fit(1, "mcu", "stm");
    const auto path = m_Folder.Path() / "bad.hex";
    std::ofstream(path) << ":0400000001020304F3\n:00000001FF\n";
    const auto file = LoadPDFirmwareFile(path.string());
    ASSERT_FALSE(file.Accepted());
    ASSERT_EQ(m_Pd.nInitializedPDI2CBus(1), 0);
    m_Emu.ClearJournal();
    EXPECT_EQ(m_Pd.nPDFWUpdate(kVendorSTM, 1, file), -10);
    EXPECT_TRUE(m_Emu.Journal().empty());
}

}  // namespace
