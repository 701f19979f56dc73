// The emulated file-system drivers' view of NTFS and exFAT volumes, judged
// against volumes made, labelled and filled by the system's own tools and the
// figures those tools report.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "../common/TestSupport.h"
#include "../common/DiskTools.h"
#include "platform/emu/VolumeProbe.h"

namespace {

using disktest::RunTool;
constexpr uint64_t MiB = 1024 * 1024;

uint64_t Figure(const std::string& report, const std::string& name)
{
    std::smatch match;
    const std::regex line(name + "\\s*:?\\s*([0-9]+)");
    if (!std::regex_search(report, match, line)) {
        ADD_FAILURE() << name << " not in: " << report;
        return 0;
    }
    return std::stoull(match[1]);
}

class VolumeProbe : public ::testing::Test {
protected:
    std::string Image() const { return (m_Folder.Path() / "volume.img").string(); }
    std::optional<platform::ProbedVolume> Probe() const
    {
        std::ifstream in(Image(), std::ios::binary);
        const uint64_t length = std::filesystem::file_size(Image());
        return platform::ProbeNtfsOrExfat(
            [&](uint64_t at, uint8_t* out, size_t size) {
                in.clear();
                in.seekg(static_cast<std::streamoff>(at));
                return in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size)).good();
            },
            length);
    }
    void Make(const std::string& command)
    {
        disktest::MakeSparseImage(Image(), 512 * MiB);
        const auto made = RunTool(command + " " + Image());
        ASSERT_EQ(made.status, 0) << made.output;
    }

    testsupport::TempFolder m_Folder;
};

TEST_F(VolumeProbe, NtfsLabelGeometryAndFreeClustersAsTheNtfsToolsSeeThem)
{
    Make("mkfs.ntfs --quick --quiet --force");
    ASSERT_EQ(RunTool("ntfslabel " + Image() + " 'Lager Ä'").status, 0);
    auto volume = Probe();
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->fileSystem, "NTFS");
    EXPECT_EQ(volume->label, "Lager Ä");
    const std::string info = RunTool("ntfscluster --info --force " + Image()).output;
    const uint64_t cluster = Figure(info, "bytes per cluster");
    EXPECT_EQ(uint64_t{volume->bytesPerSector} * volume->sectorsPerCluster, cluster);
    EXPECT_EQ(volume->totalClusters, Figure(info, "bytes per volume") / cluster);
    EXPECT_EQ(volume->freeClusters, Figure(info, "bytes of free space") / cluster);

    // A file of 1 MiB takes its clusters (and some for the records that grow
    // with it) from the free count.
    const auto file = m_Folder.Path() / "payload";
    disktest::MakeSparseImage(file, MiB);
    ASSERT_EQ(RunTool("ntfscp --force " + Image() + " " + file.string() + " payload").status, 0);
    const auto filled = Probe();
    ASSERT_TRUE(filled);
    EXPECT_GE(volume->freeClusters - filled->freeClusters, MiB / cluster);
    EXPECT_EQ(filled->freeClusters,
              Figure(RunTool("ntfscluster --info --force " + Image()).output, "bytes of free space") / cluster);
}

TEST_F(VolumeProbe, ExfatLabelGeometryAndFreeClustersAsDumpExfatSeesThem)
{
    Make("mkfs.exfat -L Büro");
    auto volume = Probe();
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->fileSystem, "exFAT");
    EXPECT_EQ(volume->label, "Büro");
    const std::string dump = RunTool("dump.exfat " + Image()).output;
    EXPECT_EQ(uint64_t{volume->bytesPerSector} * volume->sectorsPerCluster, Figure(dump, "Cluster size"));
    EXPECT_EQ(volume->totalClusters, Figure(dump, "Total Clusters"));
    EXPECT_EQ(volume->freeClusters, Figure(dump, "Free Clusters"));
    EXPECT_EQ(volume->serial, std::stoul(RunTool("dump.exfat " + Image() + " | sed -n 's/.*Volume Serial:\\s*//p'")
                                             .output,
                                         nullptr, 16));
}

TEST_F(VolumeProbe, NeitherFileSystemIsFoundOnOtherVolumes)
{
    disktest::MakeSparseImage(Image(), 64 * MiB);
    EXPECT_FALSE(Probe());
    Make("mkfs.fat -F 32");
    EXPECT_FALSE(Probe());
}

TEST_F(VolumeProbe, ATornNtfsRecordIsNoVolume)
{
    Make("mkfs.ntfs --quick --quiet --force");
    ASSERT_TRUE(Probe());
    // The $Volume record's first sector loses its update-sequence stamp.
    std::fstream image(Image(), std::ios::binary | std::ios::in | std::ios::out);
    uint8_t boot[512];
    image.read(reinterpret_cast<char*>(boot), sizeof boot);
    const uint64_t cluster = uint64_t(boot[11] | boot[12] << 8) * boot[13];
    uint64_t mft = 0;
    for (int i = 7; i >= 0; --i) mft = mft << 8 | boot[48 + i];
    image.seekp(static_cast<std::streamoff>(mft * cluster + 3 * 1024 + 510));
    image.write("\xAB\xCD", 2);
    image.close();
    EXPECT_FALSE(Probe());
}

}  // namespace
