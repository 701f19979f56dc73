// Discovery's link reads: every SuperSpeed bridge's two link reads are at least
// the pause apart, and the pause is taken once for the whole walk. Fake clock.
#include <gtest/gtest.h>

#include <map>

#include "StationFixture.h"

namespace {

class ScanLinkReads : public testsupport::EmulatedStationTest {};

TEST_F(ScanLinkReads, TwoReadsPerBridgeHalfASecondApartBehindOnePause)
{
    m_Emu.ClearJournal();
    DeviceList list;
    const int64_t start = m_Clock.Now();
    ASSERT_EQ(m_Dev.Open(list, "0", 2), 0);
    const int64_t took = m_Clock.Now() - start;
    ASSERT_EQ(list.DevNums, 4u);
    std::map<int, int64_t> first, second;  // disk -> station time of the read
    for (const auto& request : m_Emu.Journal()) {
        if (request.cdb.size() < 5 || request.cdb[0] != 0xE4 || request.cdb[2] != 0x50) continue;
        const uint32_t address = uint32_t{request.cdb[3]} << 8 | request.cdb[4];
        if (address == 0x9100) first[request.disk] = request.atMs;
        if (address == 0x92F8) second[request.disk] = request.atMs;
    }
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    for (const auto& [disk, at] : first) EXPECT_GE(second[disk] - at, kLinkReadPauseMs) << "disk " << disk;
    EXPECT_LT(took, 2 * kLinkReadPauseMs);  // one pause for the four bridges
    for (uint32_t i = 0; i < list.DevNums; ++i) {
        EXPECT_EQ(list.Devs[i].m_strUsbConnectionStatus, "PLUSx2");
        EXPECT_EQ(list.Devs[i].m_ucLinkSpeed, 5);
    }
}

TEST_F(ScanLinkReads, BridgeWithoutSuperSpeedNeedsNoSecondRead)
{
    m_Emu.ModifyBridge(2, [](emu::Bridge& b) { b.SetUsb3Link("high"); });
    m_Emu.ClearJournal();
    DeviceList list;
    ASSERT_EQ(m_Dev.Open(list, "0", 2), 0);
    int laneReads = 0;
    for (const auto& request : m_Emu.Journal())
        if (request.cdb.size() >= 5 && request.cdb[0] == 0xE4 && request.disk == 2 && request.cdb[3] == 0x92 &&
            request.cdb[4] == 0xF8)
            ++laneReads;
    EXPECT_EQ(laneReads, 0);
    EXPECT_EQ(list.Devs[1].m_strUsbConnectionStatus, "HIGH");
    EXPECT_EQ(list.Devs[0].m_strUsbConnectionStatus, "PLUSx2");
}

}  // namespace
