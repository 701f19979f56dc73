// CFat32Format on sparse image files, judged by fsck.fat and mtools, and on a
// recording device that shows what was written where.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>

#include "../common/TestSupport.h"
#include "../common/DiskTools.h"
#include "disk/Fat32Format.h"
#include "disk/ImageSectorDevice.h"

namespace {

using disktest::RunTool;
constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t GiB = 1024 * MiB;

// The number after `key` in mtools' minfo output, -1 when missing.
long long MinfoValue(const std::string& output, const std::string& key)
{
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(key + "\\s*([0-9]+)"))) return -1;
    return std::stoll(match[1]);
}

class Fat32FormatTest : public ::testing::Test {
protected:
    std::string Image() const { return (m_Folder.Path() / "volume.img").string(); }

    bool Format(uint64_t size, uint32_t bytesPerSector, int clusterSize, const std::string& label,
                char letter = 'E')
    {
        disktest::MakeSparseImage(Image(), size);
        disk::CImageSectorDevice volume(Image(), 0, 0, bytesPerSector);
        if (!volume.Open()) return false;
        if (!m_Format.bSetFormatParam(letter, clusterSize, 0)) return false;
        return m_Format.bFormatVolume(volume, label);
    }

    // fsck.fat -n reports nothing but the label note (when there is a label) and
    // its summary with our cluster count.
    void ExpectFsckClean(const std::string& label)
    {
        const auto result = RunTool("fsck.fat -n " + Image());
        std::vector<std::string> lines = disktest::Lines(result.output);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().rfind("fsck.fat ", 0), 0u) << result.output;
        const std::string summary = Image() + ": " + (label.empty() ? "0" : "1") + " files, 1/" +
                                    std::to_string(m_Format.Layout().clusterCount) + " clusters";
        EXPECT_EQ(lines.back(), summary) << result.output;
        if (label.empty()) {
            EXPECT_EQ(lines.size(), 2u) << result.output;
            EXPECT_EQ(result.status, 0) << result.output;
            return;
        }
        ASSERT_EQ(lines.size(), 5u) << result.output;
        EXPECT_EQ(lines[1], "There is no label in boot sector, but there is volume label '" + label +
                                "' stored in root directory");
        EXPECT_EQ(lines[2], "  Auto-copying volume label from root directory to boot sector.");
        EXPECT_EQ(lines[3], "Leaving filesystem unchanged.");
    }

    // minfo reads the geometry we wrote; mdir reads the label.
    void ExpectMtoolsReads(uint32_t bytesPerSector, uint32_t sectorsPerCluster, uint64_t totalSectors,
                           const std::string& label)
    {
        ExpectMinfoReads(bytesPerSector, sectorsPerCluster, totalSectors);
        ExpectMdirLabel(label);
    }

    void ExpectMinfoReads(uint32_t bytesPerSector, uint32_t sectorsPerCluster, uint64_t totalSectors)
    {
        const auto info = RunTool("minfo -i " + Image() + " ::");
        ASSERT_EQ(info.status, 0) << info.output;
        EXPECT_EQ(MinfoValue(info.output, "sector size:"), bytesPerSector);
        EXPECT_EQ(MinfoValue(info.output, "cluster size:"), sectorsPerCluster);
        EXPECT_EQ(MinfoValue(info.output, "big size:"), static_cast<long long>(totalSectors));
        EXPECT_EQ(MinfoValue(info.output, "reserved \\(boot\\) sectors:"), 32);
        EXPECT_EQ(MinfoValue(info.output, "fats:"), 2);
        EXPECT_EQ(MinfoValue(info.output, "rootCluster="), 2);
        EXPECT_EQ(MinfoValue(info.output, "free clusters="),
                  static_cast<long long>(m_Format.Layout().clusterCount - 1));
        EXPECT_NE(info.output.find("disk label=\"NO NAME    \""), std::string::npos) << info.output;
    }

    void ExpectMdirLabel(const std::string& label)
    {
        const auto dir = RunTool("mdir -i " + Image() + " ::");
        ASSERT_EQ(dir.status, 0) << dir.output;
        if (label.empty())
            EXPECT_NE(dir.output.find("Volume in drive : has no label"), std::string::npos) << dir.output;
        else
            EXPECT_NE(dir.output.find("Volume in drive : is " + label), std::string::npos) << dir.output;
    }

    void FormatAndJudge(uint64_t size, uint32_t bytesPerSector, int clusterSize, uint32_t expectedCluster,
                        const std::string& label)
    {
        SCOPED_TRACE(testing::Message() << size << " bytes, " << bytesPerSector << "-byte sectors, cluster "
                                        << clusterSize);
        ASSERT_TRUE(Format(size, bytesPerSector, clusterSize, label));
        EXPECT_EQ(m_Format.Layout().sectorsPerCluster, expectedCluster);
        ExpectFsckClean(label);
        ExpectMtoolsReads(bytesPerSector, expectedCluster, size / bytesPerSector, label);
    }

    uint64_t AllocatedBytes() const { return disktest::AllocatedBytes(Image()); }

    testsupport::TempFolder m_Folder;
    disk::CFat32Format m_Format;
};

TEST_F(Fat32FormatTest, EveryDefaultClusterBandIsCleanFor512ByteSectors)
{
    FormatAndJudge(300 * MiB, 512, 0, 1, "BAND1");
    FormatAndJudge(8 * GiB, 512, 0, 8, "BAND4K");
    FormatAndJudge(16 * GiB, 512, 0, 16, "BAND8K");
    FormatAndJudge(32 * GiB, 512, 0, 32, "BAND16K");
    FormatAndJudge(40 * GiB, 512, 0, 64, "BAND32K");
}

TEST_F(Fat32FormatTest, EveryPartitionStepClusterSizeIsClean)
{
    for (int sectors : {16, 32, 64, 128}) FormatAndJudge(64 * GiB, 512, sectors, sectors, "DEVEDA");
}

TEST_F(Fat32FormatTest, FourKilobyteSectorsAreClean)
{
    FormatAndJudge(4 * GiB, 4096, 0, 1, "FOURK");
    FormatAndJudge(64 * GiB, 4096, 0, 8, "FOURK");
    FormatAndJudge(64 * GiB, 4096, 16, 16, "FOURK");
}

TEST_F(Fat32FormatTest, LargestVolumeOfThePreCheckIsClean)
{
    // minfo's own 32-bit sums overflow this close to 2^32 sectors (it aborts on
    // an assertion whatever the volume holds), so fsck.fat and mdir judge it.
    ASSERT_TRUE(Format(uint64_t{0xFFFFFFFE} * 512, 512, 128, "EDGE"));
    ExpectFsckClean("EDGE");
    ExpectMdirLabel("EDGE");
    // Only the system area reached the disk: reserved sectors, two FATs and the root cluster.
    EXPECT_LE(AllocatedBytes(), uint64_t{m_Format.Layout().systemAreaSize} * 512 + MiB);
}

TEST_F(Fat32FormatTest, LargestVolumeOf4096ByteSectorsIsClean)
{
    ASSERT_TRUE(Format(uint64_t{0xFFFFFFFE} * 4096, 4096, 128, "EDGE4K"));
    ExpectFsckClean("EDGE4K");
    ExpectMdirLabel("EDGE4K");
}

TEST_F(Fat32FormatTest, LowercaseAndLongLabelsReadBackAsWritten)
{
    FormatAndJudge(1 * GiB, 512, 8, 8, "line7");
    FormatAndJudge(1 * GiB, 512, 8, 8, "A-B_C~1 #!");
    ASSERT_TRUE(Format(1 * GiB, 512, 8, "PRODUCTIONDISK"));
    ExpectMtoolsReads(512, 8, 2 * 1024 * 1024, "PRODUCTIOND");
}

TEST_F(Fat32FormatTest, EmptyLabelLeavesTheRootDirectoryEmptyAndFsckSilent)
{
    FormatAndJudge(1 * GiB, 512, 8, 8, "");
}

TEST_F(Fat32FormatTest, PreCheckRefusesTooSmallAndTooLargeVolumes)
{
    for (uint64_t sectors : {uint64_t{65535}, uint64_t{0xFFFFFFFF}}) {
        disktest::MakeSparseImage(Image(), sectors * 512);
        disk::CImageSectorDevice volume(Image(), 0, 0, 512);
        ASSERT_TRUE(volume.Open());
        EXPECT_FALSE(m_Format.bPreCheckFat32FormatParam(volume)) << sectors;
        ASSERT_TRUE(m_Format.bSetFormatParam('E', 0, 0));
        EXPECT_FALSE(m_Format.bFormatVolume(volume, "X")) << sectors;
        EXPECT_EQ(AllocatedBytes(), 0u) << sectors;
    }
    for (uint64_t sectors : {uint64_t{65535}, uint64_t{0xFFFFFFFF}}) {
        disktest::MakeSparseImage(Image(), sectors * 4096);
        disk::CImageSectorDevice volume(Image(), 0, 0, 4096);
        ASSERT_TRUE(volume.Open());
        EXPECT_FALSE(m_Format.bPreCheckFat32FormatParam(volume)) << sectors;
        ASSERT_TRUE(m_Format.bSetFormatParam('E', 0, 0));
        EXPECT_FALSE(m_Format.bFormatVolume(volume, "X")) << sectors;
        EXPECT_EQ(AllocatedBytes(), 0u) << sectors;
    }
    for (uint64_t sectors : {uint64_t{65536}, uint64_t{0xFFFFFFFE}}) {
        disktest::MakeSparseImage(Image(), sectors * 512);
        disk::CImageSectorDevice volume(Image(), 0, 0, 512);
        ASSERT_TRUE(volume.Open());
        EXPECT_TRUE(m_Format.bPreCheckFat32FormatParam(volume)) << sectors;
    }
}

TEST_F(Fat32FormatTest, TooFewClustersForFat32WritesNothing)
{
    // 65,536 sectors pass the size check but hold fewer than 65,525 clusters,
    // which every reader takes for FAT16.
    EXPECT_FALSE(Format(65536 * 512, 512, 1, "SMALL"));
    EXPECT_LT(m_Format.Layout().clusterCount, disk::kFat32MinClusters);
    EXPECT_EQ(AllocatedBytes(), 0u);
}

TEST_F(Fat32FormatTest, LabelAFatEntryCannotHoldWritesNothing)
{
    EXPECT_FALSE(Format(1 * GiB, 512, 8, "A*B?"));
    EXPECT_EQ(AllocatedBytes(), 0u);
}

TEST_F(Fat32FormatTest, DriveCIsNeverFormatted)
{
    EXPECT_FALSE(Format(1 * GiB, 512, 8, "SYSTEM", 'C'));
    EXPECT_FALSE(Format(1 * GiB, 512, 8, "SYSTEM", 'c'));
    EXPECT_EQ(AllocatedBytes(), 0u);
}

TEST_F(Fat32FormatTest, ClusterSizeAbove128IsRefused)
{
    EXPECT_FALSE(m_Format.bSetFormatParam('E', 129, 1));
    EXPECT_EQ(m_Format.DriveLetter(), disk::CFat32Format::kNoDriveLetter);
    EXPECT_EQ(m_Format.ClusterSize(), 0x7FFFFFFF);
    EXPECT_EQ(m_Format.GptPartition(), 0);
    disktest::MakeSparseImage(Image(), 1 * GiB);
    disk::CImageSectorDevice volume(Image(), 0, 0, 512);
    ASSERT_TRUE(volume.Open());
    EXPECT_FALSE(m_Format.bFormatVolume(volume, "X"));
    EXPECT_EQ(AllocatedBytes(), 0u);
    EXPECT_TRUE(m_Format.bSetFormatParam('E', 128, 1));
    EXPECT_EQ(m_Format.ClusterSize(), 128);
    EXPECT_EQ(m_Format.GptPartition(), 1);
}

TEST_F(Fat32FormatTest, ClusterSizeThatIsNoPowerOfTwoIsRefused)
{
    for (int sectors : {3, 12, 100, -8}) {
        EXPECT_FALSE(m_Format.bSetFormatParam('E', sectors, 0)) << sectors;
        EXPECT_EQ(m_Format.ClusterSize(), 0x7FFFFFFF);
    }
    for (int sectors : {0, 1, 2, 4, 8, 16, 32, 64}) EXPECT_TRUE(m_Format.bSetFormatParam('E', sectors, 0)) << sectors;
}

TEST_F(Fat32FormatTest, PartitionInsideADiskImageGetsTypeFat32Lba)
{
    // A disk image with one MBR entry at 1 MiB (type 0x07 as the partitioning tool leaves it).
    const uint64_t diskSize = 2 * GiB;
    disktest::MakeSparseImage(Image(), diskSize);
    std::vector<uint8_t> mbr(512, 0);
    const uint32_t start = 2048, count = static_cast<uint32_t>(diskSize / 512 - start);
    mbr[446 + 4] = 0x07;
    std::memcpy(&mbr[446 + 8], &start, 4);
    std::memcpy(&mbr[446 + 12], &count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    {
        std::fstream file(Image(), std::ios::in | std::ios::out | std::ios::binary);
        file.write(reinterpret_cast<const char*>(mbr.data()), 512);
    }
    disk::CImageSectorDevice volume(Image(), MiB, diskSize - MiB, 512);
    ASSERT_TRUE(volume.Open());
    ASSERT_TRUE(m_Format.bSetFormatParam('F', 0, 0));
    ASSERT_TRUE(m_Format.bFormatVolume(volume, "PART1"));
    const auto table = RunTool("sfdisk --dump " + Image());
    EXPECT_NE(table.output.find("start=        2048, size=     4192256, type=c"), std::string::npos) << table.output;
    const auto info = RunTool("minfo -i " + Image() + "@@1M ::");
    EXPECT_EQ(MinfoValue(info.output, "hidden sectors:"), 2048) << info.output;
    const auto dir = RunTool("mdir -i " + Image() + "@@1M ::");
    EXPECT_NE(dir.output.find("Volume in drive : is PART1"), std::string::npos) << dir.output;
}

// A volume in memory that records every write.
class RecordingDevice final : public disk::ISectorDevice {
public:
    RecordingDevice(uint32_t bytesPerSector, uint64_t sectorCount) : m_Bps(bytesPerSector), m_Sectors(sectorCount) {}
    bool GetGeometry(disk::VolumeGeometry& g) override
    {
        g = {m_Bps, 63, 255, 2048 * uint64_t{512}, m_Sectors * m_Bps, 2048};
        return true;
    }
    bool ReadSectors(uint64_t, uint32_t, uint8_t*) override { return false; }
    bool WriteSectors(uint64_t lba, uint32_t count, const uint8_t* buffer) override
    {
        writes.push_back({lba, count, reinterpret_cast<uintptr_t>(buffer) % 4096 == 0});
        for (uint32_t i = 0; i < count; ++i)
            sectors[lba + i].assign(buffer + size_t{i} * m_Bps, buffer + size_t{i + 1} * m_Bps);
        return lba != failAt;
    }
    bool Lock() override { return lockResult; }
    bool Dismount() override { return true; }
    bool Unlock() override
    {
        ++unlocks;
        return true;
    }
    bool SetPartitionType(uint8_t type) override
    {
        partitionType = type;
        return true;
    }
    bool UpdateProperties() override { return true; }

    struct Write {
        uint64_t lba;
        uint32_t count;
        bool aligned;
    };
    std::vector<Write> writes;
    std::map<uint64_t, std::vector<uint8_t>> sectors;
    uint64_t failAt = UINT64_MAX;
    bool lockResult = true;
    int unlocks = 0;
    int partitionType = -1;

private:
    uint32_t m_Bps;
    uint64_t m_Sectors;
};

TEST(Fat32FormatWrites, OnlyTheSystemAreaInBurstsOf128AlignedSectors)
{
    for (uint32_t bps : {512u, 4096u}) {
        RecordingDevice device(bps, 16 * GiB / bps);
        disk::CFat32Format format;
        ASSERT_TRUE(format.bSetFormatParam('E', 16, 0));
        ASSERT_TRUE(format.bFormatVolume(device, "LBL"));
        const disk::Fat32Layout& layout = format.Layout();
        ASSERT_FALSE(device.writes.empty());
        for (const auto& w : device.writes) {
            EXPECT_LE(w.count, 128u);
            EXPECT_TRUE(w.aligned);
            EXPECT_LE(w.lba + w.count, layout.systemAreaSize) << w.lba;
        }
        // Every system-area sector was written (zeroed at least once).
        EXPECT_EQ(device.sectors.size(), layout.systemAreaSize);
        // Boot sector and its copy, FSInfo and its copy, both FATs, the label.
        EXPECT_EQ(device.sectors[0], device.sectors[6]);
        EXPECT_EQ(device.sectors[1], device.sectors[7]);
        EXPECT_EQ(device.sectors[1][0], 0x52);
        EXPECT_EQ(device.sectors[32], device.sectors[32 + layout.fatSize]);
        EXPECT_EQ(device.sectors[32][0], 0xF8);
        EXPECT_EQ(std::string(device.sectors[layout.RootSector()].begin(),
                              device.sectors[layout.RootSector()].begin() + 11),
                  "LBL        ");
        EXPECT_EQ(device.partitionType, 0x0C);
        // Hidden sectors of an MBR partition: the partition information's count.
        uint32_t hidden = 0;
        std::memcpy(&hidden, &device.sectors[0][28], 4);
        EXPECT_EQ(hidden, 2048u);
    }
}

TEST(Fat32FormatWrites, GptPartitionTakesHiddenSectorsFromTheOffsetAndKeepsItsType)
{
    RecordingDevice device(4096, 16 * GiB / 4096);
    disk::CFat32Format format;
    ASSERT_TRUE(format.bSetFormatParam('E', 8, 1));
    ASSERT_TRUE(format.bFormatVolume(device, "G"));
    uint32_t hidden = 0;
    std::memcpy(&hidden, &device.sectors[0][28], 4);
    EXPECT_EQ(hidden, 2048u * 512 / 4096);
    EXPECT_EQ(device.partitionType, -1);
}

TEST(Fat32FormatWrites, AFailedWriteFailsTheFormat)
{
    RecordingDevice device(512, 16 * GiB / 512);
    device.failAt = 6;  // the backup boot sector
    disk::CFat32Format format;
    ASSERT_TRUE(format.bSetFormatParam('E', 16, 0));
    EXPECT_FALSE(format.bFormatVolume(device, "LBL"));
    EXPECT_EQ(device.unlocks, 1);
}

TEST(Fat32FormatWrites, AFailedLockWritesNothing)
{
    RecordingDevice device(512, 16 * GiB / 512);
    device.lockResult = false;
    disk::CFat32Format format;
    ASSERT_TRUE(format.bSetFormatParam('E', 16, 0));
    EXPECT_FALSE(format.bFormatVolume(device, "LBL"));
    EXPECT_TRUE(device.writes.empty());
}

}  // namespace
