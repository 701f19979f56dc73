// The FAT32 sector images and sizes, byte by byte against the on-disk format.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "disk/Fat32Layout.h"

namespace {

using disk::Fat32Layout;

uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8; }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }
std::string Text(const std::vector<uint8_t>& b, size_t at, size_t n)
{
    return std::string(b.begin() + at, b.begin() + at + n);
}

std::vector<uint8_t> BootSector(const Fat32Layout& layout, const disk::BootSectorFields& fields)
{
    std::vector<uint8_t> sector(layout.bytesPerSector, 0);
    disk::FillBootSector(sector.data(), layout, fields);
    return sector;
}

TEST(Fat32Layout, BootSectorFieldsOf512ByteSectors)
{
    const Fat32Layout layout = disk::ComputeFat32Layout(2097152, 512, 8);
    const auto b = BootSector(layout, {63, 255, 2048, 0x12345678});
    EXPECT_EQ(b[0], 0xEB);
    EXPECT_EQ(b[1], 0x5A);
    EXPECT_EQ(b[2], 0x90);
    EXPECT_EQ(Text(b, 3, 8), "MSWIN4.1");
    EXPECT_EQ(Le16(b, 11), 512u);
    EXPECT_EQ(b[13], 8);
    EXPECT_EQ(Le16(b, 14), 32u);
    EXPECT_EQ(b[16], 2);
    EXPECT_EQ(Le16(b, 17), 0u);
    EXPECT_EQ(Le16(b, 19), 0u);
    EXPECT_EQ(b[21], 0xF8);
    EXPECT_EQ(Le16(b, 22), 0u);
    EXPECT_EQ(Le16(b, 24), 63u);
    EXPECT_EQ(Le16(b, 26), 255u);
    EXPECT_EQ(Le32(b, 28), 2048u);
    EXPECT_EQ(Le32(b, 32), 2097152u);
    EXPECT_EQ(Le32(b, 36), layout.fatSize);
    EXPECT_EQ(Le16(b, 40), 0u);
    EXPECT_EQ(Le16(b, 42), 0u);
    EXPECT_EQ(Le32(b, 44), 2u);
    EXPECT_EQ(Le16(b, 48), 1u);
    EXPECT_EQ(Le16(b, 50), 6u);
    for (size_t i = 52; i < 64; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[64], 0x80);
    EXPECT_EQ(b[65], 0);
    EXPECT_EQ(b[66], 0x29);
    EXPECT_EQ(Le32(b, 67), 0x12345678u);
    EXPECT_EQ(Text(b, 71, 11), "NO NAME    ");
    EXPECT_EQ(Text(b, 82, 8), "FAT32   ");
    for (size_t i = 90; i < 510; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
}

TEST(Fat32Layout, FourKilobyteSectorCarriesTheSignatureAt510And4094)
{
    const Fat32Layout layout = disk::ComputeFat32Layout(1048576, 4096, 1);
    const auto b = BootSector(layout, {63, 255, 256, 1});
    EXPECT_EQ(Le16(b, 11), 4096u);
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
    EXPECT_EQ(b[4094], 0x55);
    EXPECT_EQ(b[4095], 0xAA);
    for (size_t i = 512; i < 4094; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(Fat32Layout, FatSizeCoversTheReservedEntriesAndEveryCluster)
{
    for (uint32_t bps : {512u, 4096u}) {
        for (uint32_t spc : {1u, 8u, 16u, 64u, 128u}) {
            for (uint32_t total : {70000u, 1000003u, 0x7FFFFFFFu, 0xFFFFFFFEu}) {
                const Fat32Layout l = disk::ComputeFat32Layout(total, bps, spc);
                const uint64_t expected = (uint64_t{total} - 32) * 4 / (uint64_t{spc} * bps + 8) + 1;
                // The estimate, one sector more only where it would leave clusters without an entry.
                const uint64_t estimateClusters = (total - 2 * expected - 32) / spc;
                EXPECT_EQ(l.fatSize, (estimateClusters + 2) * 4 > expected * bps ? expected + 1 : expected);
                EXPECT_EQ(l.userAreaSize, total - 2 * l.fatSize - 32);
                EXPECT_EQ(l.clusterCount, l.userAreaSize / spc);
                EXPECT_LE(l.fatNeeded, l.fatSize) << bps << " " << spc << " " << total;
                // Entries 0 and 1 are reserved: clusters 2 .. count + 1 must fit the FAT.
                EXPECT_LE((l.clusterCount + 2) * 4, uint64_t{l.fatSize} * bps);
                EXPECT_EQ(l.systemAreaSize, 32 + 2 * l.fatSize + spc);
                EXPECT_EQ(l.RootSector(), 32 + 2 * l.fatSize);
                EXPECT_EQ(l.FirstFatSector(1), 32 + l.fatSize);
            }
        }
    }
}

TEST(Fat32Layout, FatEstimateOneSectorShortIsGrown)
{
    // 32 GiB at 16 KiB clusters: the estimate gives 16,376 sectors, room for
    // 2,096,128 entries, but 2,096,127 clusters need 2,096,129.
    const Fat32Layout l = disk::ComputeFat32Layout(67108864, 512, 32);
    EXPECT_EQ(l.fatSize, 16377u);
    EXPECT_EQ(l.clusterCount, 2096127u);
    EXPECT_EQ(l.fatNeeded, 16377u);
}

TEST(Fat32Layout, FsInfoFreeCountIsClusterCountMinusTheRootCluster)
{
    const Fat32Layout layout = disk::ComputeFat32Layout(2097152, 512, 8);
    EXPECT_EQ(layout.FreeClusters(), layout.clusterCount - 1);
    std::vector<uint8_t> s(512, 0);
    disk::FillFsInfoSector(s.data(), layout.FreeClusters());
    EXPECT_EQ(Le32(s, 0), 0x41615252u);
    EXPECT_EQ(Le32(s, 484), 0x61417272u);
    EXPECT_EQ(Le32(s, 488), layout.clusterCount - 1);
    EXPECT_EQ(Le32(s, 492), 3u);
    EXPECT_EQ(s[508], 0x00);
    EXPECT_EQ(s[509], 0x00);
    EXPECT_EQ(s[510], 0x55);
    EXPECT_EQ(s[511], 0xAA);
    for (size_t i = 4; i < 484; ++i) ASSERT_EQ(s[i], 0) << i;
    for (size_t i = 496; i < 508; ++i) ASSERT_EQ(s[i], 0) << i;
}

TEST(Fat32Layout, FirstFatSectorReservesTwoEntriesAndEndsTheRootChain)
{
    std::vector<uint8_t> s(512, 0);
    disk::FillFirstFatSector(s.data());
    EXPECT_EQ(Le32(s, 0), 0x0FFFFFF8u);
    EXPECT_EQ(Le32(s, 4), 0x0FFFFFFFu);
    EXPECT_EQ(Le32(s, 8), 0x0FFFFFFFu);
    for (size_t i = 12; i < 512; ++i) ASSERT_EQ(s[i], 0) << i;
}

TEST(Fat32Layout, RootDirectoryHoldsOneLabelEntryWithTheFormatTime)
{
    const disk::FatStamp stamp{2026, 12, 9, 14, 37, 59, 500};
    std::vector<uint8_t> block(4096, 0);
    disk::FillRootDirectory(block.data(), "DEVEDA", stamp);
    EXPECT_EQ(Text(block, 0, 11), "DEVEDA     ");
    EXPECT_EQ(block[11], 0x08);
    for (size_t i = 12; i < 22; ++i) EXPECT_EQ(block[i], 0) << i;
    EXPECT_EQ(Le16(block, 22), 14u * 2048 + 37 * 32 + 29);
    EXPECT_EQ(Le16(block, 24), (2026u - 1980) * 512 + 12 * 32 + 9);
    for (size_t i = 26; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
}

TEST(Fat32Layout, LabelLongerThanElevenCharactersIsCut)
{
    std::vector<uint8_t> block(512, 0);
    disk::FillRootDirectory(block.data(), "PRODUCTIONDISK", disk::FatStamp{});
    EXPECT_EQ(Text(block, 0, 11), "PRODUCTIOND");
    EXPECT_EQ(block[11], 0x08);
}

TEST(Fat32Layout, BlankLabelWritesNoEntry)
{
    for (const std::string label : {"", " ", "           ", "            X"}) {
        std::vector<uint8_t> block(512, 0);
        disk::FillRootDirectory(block.data(), label, disk::FatStamp{2026, 1, 1, 0, 0, 0, 0});
        for (size_t i = 0; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << "'" << label << "' " << i;
    }
}

TEST(Fat32Layout, LabelCharactersAFatEntryCannotHold)
{
    for (const std::string label : {"DEVEDA", "line 7", "A-B_C~1", "", "PRODUCTIONDISK?"})
        EXPECT_TRUE(disk::IsValidFatLabel(label)) << label;  // the last one is cut before the '?'
    for (const std::string label : {"A*B", "X?", "A.B", "A/B", "A\\B", "A:B", "A|B", "A\"B", "A+B", "A,B", "A;B",
                                    "A<B", "A=B", "A>B", "A[B", "A]B", "A\tB", "A\x7F"})
        EXPECT_FALSE(disk::IsValidFatLabel(label)) << label;
}

TEST(Fat32Layout, VolumeIdFromTheLocalClock)
{
    // 2026-12-09 02:30:54.123: low half 9 + 12*256 + 12 + 54*256, high half 30 + 2*256 + 2026.
    EXPECT_EQ(disk::Fat32VolumeId({2026, 12, 9, 2, 30, 54, 123}), 0x0A084215u);
    // Each half wraps at 65536 on its own.
    EXPECT_EQ(disk::Fat32VolumeId({65535, 1, 1, 0, 1, 0, 0}) >> 16, 0u);
}

TEST(Fat32Layout, DefaultClusterSizeBands)
{
    constexpr uint64_t MiB = 1024 * 1024;
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(512 * MiB, 512), 1);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(513 * MiB, 512), 8);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(8192 * MiB, 512), 8);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(8193 * MiB, 512), 16);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(16384 * MiB, 512), 16);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(16385 * MiB, 512), 32);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(32768 * MiB, 512), 32);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(32769 * MiB, 512), 64);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(513 * MiB, 4096), 1);
    EXPECT_EQ(disk::Fat32DefaultSectorsPerCluster(32769 * MiB, 4096), 8);
}

TEST(Fat32Layout, PartitionStepClusterSizeBands)
{
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(140288), 16);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(140289), 32);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(280576), 32);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(280577), 64);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(562176), 64);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(562177), 128);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(0), 128);
    EXPECT_EQ(disk::Fat32ClusterSizeForDisk(-1), 128);
}

TEST(Fat32Layout, RootBlockIs4096BytesWithinTheRootCluster)
{
    EXPECT_EQ(disk::ComputeFat32Layout(2097152, 512, 8).RootBlockSectors(), 8u);
    EXPECT_EQ(disk::ComputeFat32Layout(2097152, 512, 64).RootBlockSectors(), 8u);
    EXPECT_EQ(disk::ComputeFat32Layout(2097152, 512, 1).RootBlockSectors(), 1u);
    EXPECT_EQ(disk::ComputeFat32Layout(2097152, 4096, 1).RootBlockSectors(), 1u);
}

// A 512 MiB disk at the size rule's cluster would give a volume of too few
// clusters for FAT32: the cluster is halved until the count fits, and a
// volume that fits keeps the rule's cluster.
TEST(Fat32Layout, SmallVolumesGetAClusterThatKeepsThemFat32)
{
    const uint32_t sectors512MiB = 1046528;  // 512 MiB less the first MiB
    const uint32_t fitted = disk::Fat32FittingSectorsPerCluster(sectors512MiB, 512, 64);
    EXPECT_LT(fitted, 64u);
    EXPECT_GE(disk::ComputeFat32Layout(sectors512MiB, 512, fitted).clusterCount, disk::kFat32MinClusters);
    EXPECT_LT(disk::ComputeFat32Layout(sectors512MiB, 512, fitted * 2).clusterCount, disk::kFat32MinClusters);
    EXPECT_EQ(disk::Fat32FittingSectorsPerCluster(2097152 * 32, 512, 64), 64u);
    EXPECT_EQ(disk::Fat32FittingSectorsPerCluster(1000, 512, 8), 1u);  // never below one sector
}

}  // namespace
