// The raw speed test on an emulated disk with set rates: the measured speeds are
// reported, the volume's data at the test position survives, failures end early.
#include <gtest/gtest.h>

#include "DiskImages.h"
#include "StationFixture.h"
#include "device/DiskInfoArea.h"
#include "device/SpeedTest.h"
#include "emu/DiskThroughput.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<uint8_t>;

class SpeedTest : public EmulatedStationTest {
protected:
    void SetUp() override
    {
        WriteMbr(emu::NvmeDisk(m_Emu.World().BridgeFolder(1)), {{kPartitionStart, 2 * 1024 * 1024, 0x0C}});
        DiskInfoArea area{};
        area.BytesPerSector = 512;
        SetDiskInfoArea(m_Record, area);
        m_Record.m_ucPhysicalAddress = 1;
    }
    void Set(const std::string& key, const std::string& value)
    {
        m_Emu.ModifyBridge(1, [&](emu::Bridge& b) { b.Set(key, value); });
    }
    DeviceInfo m_Record;
    double m_dRead = -1, m_dWrite = -1;
};

TEST_F(SpeedTest, OlderToolsRaisedTheWriteSpeedTowardsTheReadSpeed)
{
    EXPECT_DOUBLE_EQ(DescribedWriteSpeed(100.0, 60.0), 80.0);
    EXPECT_DOUBLE_EQ(DescribedWriteSpeed(50.0, 50.0), 50.0);
    // R < W: d = int(R + W) % 10 = 7, W = R - (7 % 5 + 0.7) = 97.3.
    EXPECT_DOUBLE_EQ(DescribedWriteSpeed(100.0, 207.0), 97.3);
    EXPECT_DOUBLE_EQ(DescribedWriteSpeed(100.0, 500.0), 100.0);  // d = 0: never above R
}

TEST_F(SpeedTest, TheMeasuredSpeedsAreReportedUnchanged)
{
    // On the fake clock a 256 KiB transfer at 128 MiB/s takes 1953 us, slept as
    // 2 ms: 125 MiB/s measured; at 64 MiB/s 4 ms, 62.5 MiB/s.
    Set("disk_read_mibps", "128");
    Set("disk_write_mibps", "64");
    ASSERT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 0, kSpeedTestSizeMiB), 0);
    EXPECT_DOUBLE_EQ(m_dRead, 125.0);
    EXPECT_DOUBLE_EQ(m_dWrite, 62.5);
    // The accumulators are left at zero for the next test.
    EXPECT_EQ(m_Dev.m_fsdif_R.load(), 0.0);
    // A write faster than the read is reported as measured too.
    Set("disk_read_mibps", "32");
    ASSERT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 1, kSpeedTestSizeMiB), 0);
    EXPECT_DOUBLE_EQ(m_dRead, 31.25);
    EXPECT_DOUBLE_EQ(m_dWrite, 62.5);
}

TEST_F(SpeedTest, ASlowRangeAtThePositionSlowsTheTestThere)
{
    const uint64_t at = kPartitionStart + kSpeedTestSectors[2];
    Set(emu::kDiskSectorFaultsKey, std::to_string(at) + "-" + std::to_string(at + 10) + " slow 1");
    ASSERT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 2, kSpeedTestSizeMiB), 0);
    EXPECT_DOUBLE_EQ(m_dRead, 1.0);
    EXPECT_DOUBLE_EQ(m_dWrite, 1.0);
    // Elsewhere the disk has no limit: no time passes and no rate is added.
    ASSERT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 0, kSpeedTestSizeMiB), 0);
    EXPECT_EQ(m_dRead, 0.0);
}

TEST_F(SpeedTest, TheTestLeavesTheDataAtItsPositionAsItFoundIt)
{
    Bytes data(256 * 1024), back(data.size());
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    ASSERT_EQ(m_Dev.vWriteSectors('D', data.data(), kSpeedTestSectors[0], static_cast<uint32_t>(data.size()), 0), 1);
    ASSERT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 0, kSpeedTestSizeMiB), 0);
    ASSERT_EQ(m_Dev.vReadSectors('D', back.data(), kSpeedTestSectors[0], static_cast<uint32_t>(back.size()), 0), 1);
    EXPECT_EQ(back, data);
}

TEST_F(SpeedTest, AFailingBackupReadEndsTheTestWithTheVolumeUntouched)
{
    Bytes data(256 * 1024, 0xA7), back(data.size());
    ASSERT_EQ(m_Dev.vWriteSectors('D', data.data(), kSpeedTestSectors[1], static_cast<uint32_t>(data.size()), 0), 1);
    const uint64_t last = kPartitionStart + kSpeedTestSectors[1] + 511;
    Set(emu::kDiskSectorFaultsKey, std::to_string(last) + "-" + std::to_string(last) + " fail");
    EXPECT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 1, kSpeedTestSizeMiB), -1);
    Set(emu::kDiskSectorFaultsKey, "");
    ASSERT_EQ(m_Dev.vReadSectors('D', back.data(), kSpeedTestSectors[1], static_cast<uint32_t>(back.size()), 0), 1);
    EXPECT_EQ(back, data);
}

TEST_F(SpeedTest, ARecordWithoutSectorSizeIsRefused)
{
    DeviceInfo record;
    EXPECT_EQ(m_Dev.vReadWriteSpeedTest('D', record, m_dRead, m_dWrite, 0, kSpeedTestSizeMiB), -4);
    EXPECT_EQ(m_Dev.vReadWriteSpeedTest('D', m_Record, m_dRead, m_dWrite, 3, kSpeedTestSizeMiB), -6);
}

}  // namespace
