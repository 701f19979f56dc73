// Rates and sector faults of an emulated disk, as read from its bridge.ini.
#include <gtest/gtest.h>

#include "../common/TestSupport.h"
#include "emu/Bridge.h"
#include "emu/DiskThroughput.h"

namespace {

TEST(DiskThroughput, SectorRangesReadAndWriteBack)
{
    const auto fail = emu::ParseSectorRange("10-20 fail");
    ASSERT_TRUE(fail);
    EXPECT_TRUE(fail->fails);
    EXPECT_EQ(fail->first, 10u);
    EXPECT_EQ(fail->last, 20u);
    const auto slow = emu::ParseSectorRange("5-5 slow 2.5");
    ASSERT_TRUE(slow);
    EXPECT_FALSE(slow->fails);
    EXPECT_DOUBLE_EQ(slow->mibps, 2.5);
    EXPECT_EQ(emu::ParseSectorRange(emu::SectorRangeText(*slow))->mibps, 2.5);
    for (const char* bad : {"", "20-10 fail", "1-2 slow", "1-2 slow 0", "1-2 fail 3", "1-2 slow 3 x", "1 fail", "1-2 burn"})
        EXPECT_FALSE(emu::ParseSectorRange(bad)) << bad;
}

class DiskThroughputOfBridge : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(emu::Bridge::Create(m_Folder.Path() / "bridge1", {})); }
    emu::DiskThroughput Of(const std::string& key, const std::string& value)
    {
        emu::Bridge bridge(m_Folder.Path() / "bridge1");
        bridge.Set(key, value);
        return emu::DiskThroughput::Of(bridge);
    }
    testsupport::TempFolder m_Folder;
};

TEST_F(DiskThroughputOfBridge, DurationFollowsTheDiskRateAndTheSlowestRangeTouched)
{
    const auto disk = Of("disk_write_mibps", "100");
    EXPECT_EQ(disk.DurationUs(true, 0, 1 << 20), 10000);
    EXPECT_EQ(disk.DurationUs(false, 0, 1 << 20), 0);  // reads have no limit
    const auto ranged = Of(emu::kDiskSectorFaultsKey, "8-15 slow 1;100-100 fail");
    // Sectors 8..15 are bytes 4096..8191: a transfer touching them runs at 1 MiB/s.
    EXPECT_EQ(ranged.DurationUs(false, 8192, 1 << 20), 0);
    EXPECT_EQ(ranged.DurationUs(false, 7680, 1024), 976);
    EXPECT_TRUE(ranged.Fails(100 * 512, 512));
    EXPECT_TRUE(ranged.Fails(99 * 512, 1024));
    EXPECT_FALSE(ranged.Fails(101 * 512, 512));
    EXPECT_FALSE(ranged.Fails(100 * 512, 0));
}

TEST_F(DiskThroughputOfBridge, OnlyACorruptingDiskDamagesData)
{
    uint8_t data[2] = {0x12, 0x34};
    Of("disk_corrupt_writes", "0").Damage(data, 2);
    EXPECT_EQ(data[0], 0x12);
    Of("disk_corrupt_writes", "1").Damage(data, 2);
    EXPECT_EQ(data[0], 0xED);
    EXPECT_EQ(data[1], 0x34);
}

}  // namespace
