// The MBR repair after partitioning: LBA 63 to 64, sizes beyond 2 TiB, and no
// write after a failed read.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../common/TestSupport.h"
#include "disk/MbrPostProcess.h"

namespace {

using disk::MbrChange;
constexpr uint64_t TiB = uint64_t{1} << 40;

uint32_t Le32(const std::vector<uint8_t>& s, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, &s[at], 4);
    return v;
}

std::vector<uint8_t> Mbr(uint8_t status, uint32_t start, uint32_t count, uint8_t type = 0x07, size_t size = 512)
{
    std::vector<uint8_t> s(size, 0);
    s[446] = status;
    s[450] = type;
    std::memcpy(&s[454], &start, 4);
    std::memcpy(&s[458], &count, 4);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(MbrPostProcess, ActiveEntryAtLba63MovesTo64InWhole64SectorUnits)
{
    auto s = Mbr(0x80, 63, 1000000);
    EXPECT_EQ(disk::PostProcessMbrSector(s.data(), 512, TiB), MbrChange::kMovedTo64);
    EXPECT_EQ(s[454], 0x40);
    EXPECT_EQ(Le32(s, 454), 64u);
    EXPECT_EQ(Le32(s, 458), 999936u);  // (1,000,000 - 1) rounded down to 64
    EXPECT_EQ(Le32(s, 458) % 64, 0u);
}

TEST(MbrPostProcess, EntryNotActiveOrNotAt63IsLeftOnSmallDisks)
{
    for (auto s : {Mbr(0x00, 63, 1000000), Mbr(0x80, 2048, 1000000), Mbr(0x80, 319, 1000000)}) {
        const auto before = s;
        EXPECT_EQ(disk::PostProcessMbrSector(s.data(), 512, 2 * TiB), MbrChange::kNone);
        EXPECT_EQ(s, before);
    }
}

TEST(MbrPostProcess, NoSignatureOrNoEntryOrProtectiveMbrIsLeft)
{
    auto unsigned_ = Mbr(0x80, 63, 1000);
    unsigned_[511] = 0;
    auto empty = Mbr(0x80, 63, 1000, 0x00);
    auto protective = Mbr(0x00, 1, 0xFFFFFFFF, 0xEE);
    for (auto* s : {&unsigned_, &empty, &protective}) {
        const auto before = *s;
        EXPECT_EQ(disk::PostProcessMbrSector(s->data(), 512, 8 * TiB), MbrChange::kNone);
        EXPECT_EQ(*s, before);
    }
}

TEST(MbrPostProcess, DiskAbove2TiBRunsToTheLast64SectorBoundaryWithoutWrapping)
{
    // 2 TiB + 1 MiB from sector 65,536: the count fits in 32 bits.
    const uint64_t justAbove = 2 * TiB + (1 << 20);
    auto s = Mbr(0x00, 65536, 0xFFFFFFFF - 65536, 0x06);
    EXPECT_EQ(disk::PostProcessMbrSector(s.data(), 512, justAbove), MbrChange::kSizedToDisk);
    EXPECT_EQ(Le32(s, 458), (justAbove / 512 - 65536) / 64 * 64);
    // From sector 2048 the same disk leaves exactly 2^32 sectors, which a 32-bit
    // field would wrap to 0.
    auto wraps = Mbr(0x00, 2048, 0xFFFFFFFF - 2048, 0x06);
    EXPECT_EQ(disk::PostProcessMbrSector(wraps.data(), 512, justAbove), MbrChange::kSizedToDisk);
    EXPECT_EQ(Le32(wraps, 458), disk::kMaxMbrSectorCount64);
    // 3 TiB: the remaining sectors exceed 32 bits; the count stays the largest multiple of 64 that fits.
    auto big = Mbr(0x00, 2048, 0xFFFFFFFF, 0x06);
    EXPECT_EQ(disk::PostProcessMbrSector(big.data(), 512, 3 * TiB), MbrChange::kSizedToDisk);
    EXPECT_EQ(Le32(big, 458), disk::kMaxMbrSectorCount64);
    EXPECT_EQ(disk::kMaxMbrSectorCount64 % 64, 0u);
    EXPECT_GT(uint64_t{disk::kMaxMbrSectorCount64} + 64, uint64_t{0xFFFFFFFF});
    // A 4096-byte-sector disk of 12 TiB still fits in 32 bits.
    auto fourK = Mbr(0x00, 256, 1000, 0x06, 4096);
    EXPECT_EQ(disk::PostProcessMbrSector(fourK.data(), 4096, 12 * TiB), MbrChange::kSizedToDisk);
    EXPECT_EQ(Le32(fourK, 458), (12 * TiB / 4096 - 256) / 64 * 64);
}

// The whole disk in memory, with scripted failures.
class MemoryDisk final : public disk::ISectorDevice {
public:
    explicit MemoryDisk(std::vector<uint8_t> sector0) : sector(std::move(sector0)) {}
    bool GetGeometry(disk::VolumeGeometry&) override { return false; }
    bool ReadSectors(uint64_t, uint32_t, uint8_t* buffer) override
    {
        if (failRead) return false;
        std::memcpy(buffer, sector.data(), sector.size());
        return true;
    }
    bool WriteSectors(uint64_t lba, uint32_t, const uint8_t* buffer) override
    {
        ++writes;
        if (lba == 0 && !failWrite) std::memcpy(sector.data(), buffer, sector.size());
        return !failWrite;
    }
    bool Lock() override { return ++lockAttempts > failedLocks; }
    bool Dismount() override { return true; }
    bool Unlock() override
    {
        ++unlocks;
        return true;
    }
    bool SetPartitionType(uint8_t) override { return true; }
    bool UpdateProperties() override { return true; }

    std::vector<uint8_t> sector;
    bool failRead = false;
    bool failWrite = false;
    int failedLocks = 0;
    int lockAttempts = 0;
    int writes = 0;
    int unlocks = 0;
};

TEST(MbrPostProcessDisk, FailedReadNeverWritesSectorZero)
{
    testsupport::FakeClockScope clock;
    MemoryDisk d(Mbr(0x80, 63, 1000000));
    d.failRead = true;
    EXPECT_FALSE(disk::vPostProcessMbr(d, 512, TiB, 3, 'E'));
    EXPECT_EQ(d.writes, 0);
}

TEST(MbrPostProcessDisk, RepairIsWrittenAfterLockAttempts200MsApart)
{
    testsupport::FakeClockScope clock;
    MemoryDisk d(Mbr(0x80, 63, 1000000));
    d.failedLocks = 2;
    EXPECT_TRUE(disk::vPostProcessMbr(d, 512, TiB, 3, 'E'));
    EXPECT_EQ(d.lockAttempts, 3);
    EXPECT_EQ(clock.Now(), 600);
    EXPECT_EQ(Le32(d.sector, 454), 64u);
    EXPECT_EQ(d.unlocks, 1);
}

TEST(MbrPostProcessDisk, WithoutLockTheWriteStillGoesAndAFailedWriteFails)
{
    testsupport::FakeClockScope clock;
    MemoryDisk d(Mbr(0x80, 63, 1000000));
    d.failedLocks = 5;
    d.failWrite = true;
    EXPECT_FALSE(disk::vPostProcessMbr(d, 512, TiB, 3, 'E'));
    EXPECT_EQ(d.lockAttempts, 5);
    EXPECT_EQ(d.writes, 1);
    EXPECT_EQ(d.unlocks, 0);
}

TEST(MbrPostProcessDisk, UnchangedSectorIsNotRewritten)
{
    testsupport::FakeClockScope clock;
    MemoryDisk d(Mbr(0x00, 2048, 1000000));
    EXPECT_TRUE(disk::vPostProcessMbr(d, 512, TiB, 3, 'E'));
    EXPECT_EQ(d.writes, 0);
}

}  // namespace
