// The PCIe access path on the emulated station: scan, mailbox transfers, poll
// limits on the fake clock, reset and relink.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>

#include "StationFixture.h"
#include "device/pcie/Brv795xPcieCtrl.h"

namespace {

using testsupport::EmulatedStationTest;

class PcieTest : public EmulatedStationTest {
protected:
    PcieTest() : m_Pcie(m_Station) {}

    // Puts bridges in PCIe-tunnel mode, loads the driver and scans.
    int ScanWith(std::initializer_list<int> bridges)
    {
        for (int id : bridges) m_Emu.ModifyBridge(id, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::PcieTunnel); });
        EXPECT_EQ(m_Pcie.InitPcie(), 1);
        return m_Pcie.ScanPcie(0x2C7A, 0x7953);
    }
    void SetKey(int id, const char* key, const std::string& value)
    {
        m_Emu.ModifyBridge(id, [&](emu::Bridge& b) { b.Set(key, value); });
    }
    int64_t Now() const { return m_Clock.Now(); }

    CBrv795xPcieCtrl m_Pcie;
};

TEST_F(PcieTest, ScanFindsTheTunnelledBridgesAndNoDecoy)
{
    ASSERT_EQ(ScanWith({1, 3}), 2);
    PcieTarget t;
    ASSERT_TRUE(m_Pcie.GetTarget(0, t));
    EXPECT_EQ(t.bus, platform::EmuPcie::BridgeBus(1));
    EXPECT_EQ(t.device, 0);
    EXPECT_EQ(t.function, 0);
    EXPECT_EQ(t.chipId, 0x7956);
    const auto bridge = Bridge(1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(t.firmwareVersion[i], bridge.ReadRegister(0x07F0 + i));
    EXPECT_EQ(t.configTable, bridge.ConfigTable(0, 0));
    EXPECT_EQ(t.u4ConfigTable, bridge.ConfigTable(0, 1));
    EXPECT_EQ(std::string(t.serialNumber.begin(), t.serialNumber.end()), "DV240600000000000001");
    EXPECT_EQ(t.vid, 0x2B9D);
    EXPECT_EQ(t.pid, 0x7951);
    EXPECT_EQ(t.ccOrientation, 0);
    EXPECT_EQ(t.chipVariant, 3);
    EXPECT_EQ(t.u4Mode, 2);   // PCIe tunnel
    EXPECT_EQ(t.u4Speed, 7);  // Gen3x2
    EXPECT_EQ(t.deviceType, 8);
    ASSERT_TRUE(m_Pcie.GetTarget(1, t));
    EXPECT_EQ(t.bus, platform::EmuPcie::BridgeBus(3));
    EXPECT_FALSE(m_Pcie.GetTarget(2, t));
}

TEST_F(PcieTest, BridgesOutOfTunnelModeOrOffTheBusAreNotFound)
{
    m_Emu.ModifyBridge(2, [](emu::Bridge& b) {
        b.SetMode(emu::U4Mode::PcieTunnel);
        b.SetPresent(false);
    });
    EXPECT_EQ(ScanWith({}), 0);
}

TEST_F(PcieTest, DecoyOfAnotherVendorWithMatchingIdsHasNoMailbox)
{
    // Asked for 1ABC:7953, the other vendor's switch port is a candidate with a
    // family chip ID, but its firmware version cannot be read: it is skipped.
    ASSERT_EQ(m_Pcie.InitPcie(), 1);
    EXPECT_EQ(m_Pcie.ScanPcie(0x1ABC, 0x7953), 0);
}

TEST_F(PcieTest, DeviceIdOutsideTheFamilyMatchesOnlyWhenAskedFor)
{
    // 2C7A:7900 on bus 6 is an upstream port with a family chip ID but no mailbox.
    ASSERT_EQ(m_Pcie.InitPcie(), 1);
    m_Emu.Pcie().ClearRings();
    EXPECT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7900), 0);
    EXPECT_TRUE(m_Emu.Pcie().Rings().empty());  // no bridge mailbox was rung
}

TEST_F(PcieTest, StationWithoutPcieFailsInitAndFindsNothing)
{
    m_Emu.ModifyBridge(1, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::PcieTunnel); });
    m_Emu.Pcie().SetReachable(false);
    EXPECT_EQ(m_Pcie.InitPcie(), 0);
    EXPECT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953), 0);
    EXPECT_EQ(m_Station.m_ConfigReads.load(), 0);
    m_Emu.Pcie().SetReachable(true);
    EXPECT_EQ(m_Pcie.InitPcie(), 1);
    EXPECT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953), 1);
}

TEST_F(PcieTest, OnlyCandidateFunctionsAreLookedInto)
{
    // Asked for IDs nobody has, with no bridge tunnelled: only the maker's
    // family decoys (02, 03 and 04) are candidates; every other function is
    // passed over on its listed IDs.
    ASSERT_EQ(m_Pcie.InitPcie(), 1);
    const int listings = m_Station.m_PcieListings;
    EXPECT_EQ(m_Pcie.ScanPcie(0x1111, 0x2222), 0);
    EXPECT_EQ(m_Station.m_PcieListings.load(), listings + 1);
    // IDs, status, capability walk and chip ID of three functions at most.
    EXPECT_GT(m_Station.m_ConfigReads.load(), 0);
    EXPECT_LE(m_Station.m_ConfigReads.load(), 3 * 8);
    EXPECT_EQ(m_Station.m_ConfigWrites.load(), 0);
}

TEST_F(PcieTest, TargetOutOfRangeTouchesNoHardware)
{
    ASSERT_EQ(ScanWith({1, 2, 3}), 3);
    const int reads = m_Station.m_ConfigReads, writes = m_Station.m_ConfigWrites;
    const uint8_t command[8] = {0xE4, 0x01, 0x50, 0x07, 0xF0, 0, 0, 0};
    uint8_t data[4] = {};
    EXPECT_EQ(m_Pcie.pcie_R(5, command, data, 1), -10);
    EXPECT_EQ(m_Pcie.pcie_R(3, command, data, 1), -10);
    int count = 0;
    EXPECT_EQ(m_Pcie.nGet7951PCIeErrorRecoveryCount(3, count), -10);
    EXPECT_EQ(m_Station.m_ConfigReads.load(), reads);
    EXPECT_EQ(m_Station.m_ConfigWrites.load(), writes);
}

TEST_F(PcieTest, ReadOf300BytesRingsThreeTimes)
{
    ASSERT_EQ(ScanWith({1}), 1);
    m_Emu.Pcie().ClearRings();
    const uint8_t command[8] = {0xE2, 0x50, 0x00, 0x00, 0x01, 0x2C, 0, 0};
    std::vector<uint8_t> data(300);
    ASSERT_EQ(m_Pcie.pcie_R(0, command, data.data(), 300), 0);
    const auto rings = m_Emu.Pcie().Rings();
    ASSERT_EQ(rings.size(), 3u);
    for (const auto& ring : rings) EXPECT_EQ(ring.command[0], 0xE2);
    const auto image = Bridge(1).FirmwareImage(0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin()));
}

TEST_F(PcieTest, MailboxThatNeverAnswersEndsAtThePollLimit)
{
    ASSERT_EQ(ScanWith({1}), 1);
    SetKey(1, emu::kKeyMailboxStuck, "1");
    const uint8_t command[8] = {0xE1, 0x50, 0x01, 0, 0, 0, 0, 0};
    uint8_t table[128] = {};

    int64_t start = Now();
    EXPECT_EQ(m_Pcie.pcie_Wdw(0, command, table, 128), -9);
    EXPECT_EQ(Now() - start, 500);  // 5000 polls, 1 ms after every 10th

    start = Now();
    EXPECT_EQ(m_Pcie.pcie_W(0, command, table, 128), -9);
    EXPECT_EQ(Now() - start, 300);

    const uint8_t read[8] = {0xE0, 0x50, 0x01, 0, 0, 0, 0, 0};
    start = Now();
    EXPECT_EQ(m_Pcie.pcie_R(0, read, table, 128), -9);
    EXPECT_EQ(Now() - start, 3000);

    start = Now();
    EXPECT_EQ(m_Pcie.pcie_Rdw(0, read, table, 128), -9);
    EXPECT_EQ(Now() - start, 5000);

    start = Now();
    EXPECT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, table, 128, 0, 1), -9);
    EXPECT_EQ(Now() - start, 500);
}

TEST_F(PcieTest, DwordTransfersMoveTheDataWindowInWords)
{
    ASSERT_EQ(ScanWith({1}), 1);
    const uint8_t command[8] = {0xE1, 0x50, 0x01, 0, 0, 0, 0, 0};
    std::array<uint8_t, 128> table{};
    int before = m_Station.m_ConfigWrites;
    ASSERT_EQ(m_Pcie.pcie_W(0, command, table.data(), 128), 0);
    EXPECT_EQ(m_Station.m_ConfigWrites.load() - before, 8 + 128 + 1);  // command, bytes, doorbell
    before = m_Station.m_ConfigWrites;
    ASSERT_EQ(m_Pcie.pcie_Wdw(0, command, table.data(), 128), 0);
    EXPECT_EQ(m_Station.m_ConfigWrites.load() - before, 8 + 32 + 1);  // command, words, doorbell
    EXPECT_EQ(Bridge(1).ConfigTable(0, 1), table);
}

TEST_F(PcieTest, RefusedCommandIsNotReportedAsSuccess)
{
    ASSERT_EQ(ScanWith({1}), 1);
    Fault(1, 0xE0, emu::FaultMode::CheckCondition, 1);
    uint8_t table[128];
    EXPECT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kReadFromDevice, table, 128, 0, 0), -9);
    EXPECT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kReadFromDevice, table, 128, 0, 0), 0);
}

TEST_F(PcieTest, RegisterRoundTripInBothBanks)
{
    ASSERT_EQ(ScanWith({2}), 1);
    uint8_t value = 0x5A;
    ASSERT_EQ(m_Pcie.pcie_AccessRegister(0, kWriteToDevice, 0x1234, &value, 1), 0);
    value = 0x77;
    ASSERT_EQ(m_Pcie.pcie_AccessRegister(0, kWriteToDevice, 0x2601A, &value, 1), 0);
    EXPECT_EQ(Bridge(2).ReadRegister(0x1234), 0x5A);
    EXPECT_EQ(Bridge(2).ReadRegister(0x2601A), 0x77);
    EXPECT_EQ(Bridge(2).ReadRegister(0x601A), 0x00);  // the lower bank is untouched
    uint8_t back = 0;
    ASSERT_EQ(m_Pcie.pcie_AccessRegister(0, kReadFromDevice, 0x1234, &back, 1), 0);
    EXPECT_EQ(back, 0x5A);
    int count = -1;
    ASSERT_EQ(m_Pcie.nGet7951PCIeErrorRecoveryCount(0, count), 0);
    EXPECT_EQ(count, 0x77);
    std::vector<uint8_t> many(257);
    EXPECT_EQ(m_Pcie.pcie_AccessRegister(0, kReadFromDevice, 0x1000, many.data(), 257), -10);
    EXPECT_EQ(m_Pcie.pcie_AccessRegister(0, kReadFromDevice, 0x1000, many.data(), 256), 0);
}

TEST_F(PcieTest, ConfigTableRoundTrip)
{
    ASSERT_EQ(ScanWith({1}), 1);
    std::array<uint8_t, 128> table;
    std::iota(table.begin(), table.end(), 0x40);
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, table.data(), 128, 1, 1), 0);
    EXPECT_EQ(Bridge(1).ConfigTable(1, 1), table);
    std::array<uint8_t, 128> back{};
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kReadFromDevice, back.data(), 128, 1, 1), 0);
    EXPECT_EQ(back, table);
    EXPECT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, table.data(), 127, 1, 1), -10);
    EXPECT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, table.data(), 128, 2, 1), -10);
}

TEST_F(PcieTest, FirmwareBeyond64KiBRoundTrip)
{
    ASSERT_EQ(ScanWith({1}), 1);
    const auto image = emu::MakeFirmwareImage({0x25, 0x01, 0x02, 0x03, 0x04, 0x05}, 0x10000 + 301, 0x5A,
                                              emu::StandardKey(), 99);
    std::vector<uint8_t> buffer = image;
    ASSERT_EQ(m_Pcie.pcie_AccessFirmwareEEPROM2(0, kWriteToDevice, buffer.data(),
                                                static_cast<uint32_t>(buffer.size()), 1),
              0);
    EXPECT_EQ(Bridge(1).FirmwareImage(1), image);
    std::vector<uint8_t> back(image.size());
    ASSERT_EQ(m_Pcie.pcie_AccessFirmwareEEPROM2(0, kReadFromDevice, back.data(), static_cast<uint32_t>(back.size()),
                                                1),
              0);
    EXPECT_EQ(back, image);
}

TEST_F(PcieTest, ConcurrentCommandsToOneTargetDoNotInterleave)
{
    ASSERT_EQ(ScanWith({1}), 1);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const uint8_t image = static_cast<uint8_t>(t / 2), type = static_cast<uint8_t>(t % 2);
            for (int round = 0; round < 15; ++round) {
                std::array<uint8_t, 128> table;
                table.fill(static_cast<uint8_t>(t * 50 + round));
                std::array<uint8_t, 128> back{};
                if (m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, table.data(), 128, image, type) != 0 ||
                    m_Pcie.pcie_AccessConfigEEPROM2(0, kReadFromDevice, back.data(), 128, image, type) != 0 ||
                    back != table)
                    ++failures;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(PcieTest, ScanFillsRecordsAfterTheUsbOnes)
{
    m_Emu.ModifyBridge(4, [](emu::Bridge& b) { b.WriteRegister(emu::reg::kCcOrientation, 0x01); });
    for (int id : {3, 4}) m_Emu.ModifyBridge(id, [](emu::Bridge& b) { b.SetMode(emu::U4Mode::PcieTunnel); });
    ASSERT_EQ(m_Pcie.InitPcie(), 1);
    DeviceList list;
    list.DevNums = 2;
    list.Devs[0].m_strSerialNumber = "USB0";
    ASSERT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953, list, list.DevNums), 2);
    EXPECT_EQ(list.DevNums, 2u);
    EXPECT_EQ(list.Devs[0].m_strSerialNumber, "USB0");
    EXPECT_EQ(list.Devs[0].IsPcie, 0);
    const DeviceInfo& r = list.Devs[3];
    EXPECT_EQ(r.IsPcie, 1);
    EXPECT_EQ(r.m_ucDevIdx, 3);
    EXPECT_EQ(r.m_strDevTypeName, "7951");
    EXPECT_EQ(r.m_strSerialNumber, "DV240600000000000004");
    EXPECT_EQ(r.m_strVID, "2B9D");
    EXPECT_EQ(r.m_strPID, "7951");
    EXPECT_EQ(r.m_ucCCOrientation, 1);
    EXPECT_EQ(r.m_ucU4Mode, 2);
    EXPECT_EQ(r.m_ucLinkSpeed, 7);
    EXPECT_EQ(r.m_strUsbConnectionStatus, "Gen3x2");
    EXPECT_EQ(r.m_strFWVersion, Bridge(4).ImageVersion(0));
    EXPECT_EQ(r.U4ConfigImage, Bridge(4).ConfigTable(0, 1));
    // A list that is nearly full takes only what fits.
    DeviceList full;
    EXPECT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953, full, 15), 2);
    EXPECT_EQ(full.Devs[15].IsPcie, 1);
}

TEST_F(PcieTest, SerialBytesThatAreNotPrintableAreDropped)
{
    ASSERT_EQ(ScanWith({1}), 1);
    std::array<uint8_t, 128> table{};
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kReadFromDevice, table.data(), 128, 0, 0), 0);
    table[4] = 0x01;
    table[5] = 0xFF;
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, table.data(), 128, 0, 0), 0);
    ASSERT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953), 1);
    DeviceInfo record;
    ASSERT_TRUE(m_Pcie.vFillPcieRecord(0, 0, record));
    EXPECT_EQ(record.m_strSerialNumber, "240600000000000001");
}

TEST_F(PcieTest, CpuResetRelinksWhenTheBridgeReturns)
{
    ASSERT_EQ(ScanWith({1, 2}), 2);
    SetKey(2, emu::kKeyPcieRelinkMs, "4000");
    // The worker stamps the relink signature and its target number.
    std::array<uint8_t, 128> block{};
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(1, kReadFromDevice, block.data(), 128, 0, 1), 0);
    block[124] = 9;
    block[125] = 1;
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(1, kWriteToDevice, block.data(), 128, 0, 1), 0);
    m_Emu.Pcie().ClearRings();
    const int64_t start = Now();
    EXPECT_EQ(m_Pcie.CPURST(1, 9, 0x50, 0x2C7A, 0x7953, 1, 0), 0);
    EXPECT_GE(Now() - start, 4000);
    EXPECT_LT(Now() - start, 10000);
    const auto rings = m_Emu.Pcie().Rings();
    ASSERT_FALSE(rings.empty());
    EXPECT_EQ(rings.front().bridgeId, 2);
    EXPECT_EQ(rings.front().command[0], 0xE8);
    EXPECT_EQ(rings.front().command[1], 0x50);
    EXPECT_EQ(m_Pcie.TargetCount(), 2);
    PcieTarget t;
    ASSERT_TRUE(m_Pcie.GetTarget(1, t));
    EXPECT_EQ(t.bus, platform::EmuPcie::BridgeBus(2));
    EXPECT_EQ(t.u4ConfigTable[124], 9);
    // The bridge is back: its mailbox answers again.
    uint8_t value = 0;
    EXPECT_EQ(m_Pcie.pcie_AccessRegister(1, kReadFromDevice, 0x07F0, &value, 1), 0);
}

TEST_F(PcieTest, RelinkMatchesImageOneWhenImageZeroIsOff)
{
    ASSERT_EQ(ScanWith({1}), 1);
    std::array<uint8_t, 128> block{};
    block[124] = 4;
    block[125] = 0;
    ASSERT_EQ(m_Pcie.pcie_AccessConfigEEPROM2(0, kWriteToDevice, block.data(), 128, 1, 1), 0);
    EXPECT_EQ(m_Pcie.CPURST(0, 4, 0x50, 0x2C7A, 0x7953, 0, 1), 0);
}

TEST_F(PcieTest, RelinkGivesUpAfter60Seconds)
{
    ASSERT_EQ(ScanWith({1, 2}), 2);
    const int64_t start = Now();
    EXPECT_EQ(m_Pcie.CPURST(0, 0x33, 0x50, 0x2C7A, 0x7953, 1, 0), -9);
    EXPECT_GE(Now() - start, 1500 + 60000);
    EXPECT_LT(Now() - start, 1500 + 60000 + 1500 + 1);
    // The other target kept its place in the table.
    PcieTarget t;
    ASSERT_TRUE(m_Pcie.GetTarget(1, t));
    EXPECT_EQ(t.bus, platform::EmuPcie::BridgeBus(2));
}

TEST_F(PcieTest, FunctionAwayDuringResetReadsAllOnes)
{
    ASSERT_EQ(ScanWith({1}), 1);
    SetKey(1, emu::kKeyPcieRelinkMs, "10000");
    ASSERT_EQ(m_Pcie.pcie_CPURST(0, 0x50), 0);
    // The old target is away: its mailbox never answers.
    uint8_t value = 0;
    EXPECT_EQ(m_Pcie.pcie_AccessRegister(0, kReadFromDevice, 0x07F0, &value, 1), -9);
    EXPECT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953), 0);
    util::SleepMs(10000);
    EXPECT_EQ(m_Pcie.ScanPcie(0x2C7A, 0x7953), 1);
}

}  // namespace
