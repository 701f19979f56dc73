// MP runs with partitioning and formatting on: every bridge's disk gets one
// partition and a FAT32 volume that fsck.fat and sfdisk (tools we did not write)
// accept; a failing disk fails its port alone; the system disk is never touched.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <vector>

#include "MPRunFixture.h"
#include "device/host/DiskHost.h"
#include "disk/Fat32Format.h"
#include "emu/NvmeDisk.h"
#include "engine/DiskSteps.h"
#include "util/Text.h"

namespace {

using enginetest::MPRun;

constexpr int kDiskMiB = 640;

using testsupport::Shell;

class PartitionFormatRun : public MPRun {
protected:
    void Init(int bridges)
    {
        ASSERT_TRUE(m_Station.World().Init(bridges));
        for (int id = 1; id <= bridges; ++id)
            m_Station.ModifyBridge(id, [](emu::Bridge& b) { b.Set("disk_size_mib", std::to_string(kDiskMiB)); });
    }
    std::unique_ptr<engine::CMPEngine> Engine(uint8_t gpt, uint8_t formatType = disk::kFormatFat32,
                                              const std::string& label = "SHIPPED")
    {
        auto mp = MakeEngine();
        mp->UpdateSettings([gpt, formatType, label](IniSettings& s) {
            s.fw_enable = 0;
            s.format_enable = 1;
            s.format_drive_type = formatType;
            s.partition_drive_type = gpt;
            SetIniString(s.drive_label_name, label);
        });
        return mp;
    }
    // Partition `partition` of the image cut out for the system's tools; "" when
    // sfdisk finds no such partition.
    std::string CutPartition(int id, int partition)
    {
        int status = 0;
        const std::string dump = Shell("sfdisk --dump " + Image(id), status);
        const std::string name = Image(id) + std::to_string(partition) + " : start=";
        const size_t at = dump.find(name);
        if (at == std::string::npos) return ADD_FAILURE() << dump, "";
        const uint64_t start = std::stoull(dump.substr(at + name.size()));
        const std::string part = Image(id) + ".part";
        Shell("dd if=" + Image(id) + " of=" + part + " bs=1M iflag=skip_bytes skip=" + std::to_string(start * 512) +
                  " conv=sparse status=none",
              status);
        return part;
    }
    std::string Image(int id) { return emu::NvmeDisk(m_Station.World().BridgeFolder(id)).ImagePath().string(); }
    // fsck.fat on the partition sfdisk finds as number `partition` of the image.
    void ExpectClean(int id, int partition)
    {
        int status = 0;
        const std::string part = CutPartition(id, partition);
        ASSERT_FALSE(part.empty());
        const std::string fsck = Shell("fsck.fat -n " + part, status);
        // Nothing but the label note: the boot sector keeps "NO NAME" while the
        // root directory holds the label.
        std::istringstream in(fsck);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
        ASSERT_EQ(lines.size(), 5u) << "[" << fsck << "]";
        EXPECT_EQ(lines[0].rfind("fsck.fat ", 0), 0u) << fsck;
        EXPECT_EQ(lines[1], "There is no label in boot sector, but there is volume label 'SHIPPED' stored in root directory");
        EXPECT_EQ(lines[2], "  Auto-copying volume label from root directory to boot sector.");
        EXPECT_EQ(lines[3], "Leaving filesystem unchanged.");
        EXPECT_EQ(lines[4].rfind(part + ": 1 files, 1/", 0), 0u) << fsck;
        std::filesystem::remove(part);
    }
};

TEST_F(PartitionFormatRun, FourBridgesPartitionedAndFormattedPassAndAreFsckClean)
{
    Init(4);
    auto mp = Engine(0);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 1);
    EXPECT_EQ(mp->Snapshot()->table.passCount, 4u);
    for (int id = 1; id <= 4; ++id) {
        EXPECT_EQ(Cell(*mp, id - 1, engine::kColPartition).text, engine::PassText) << id;
        ExpectClean(id, 1);
    }
    EXPECT_EQ(mp->Snapshot()->ports[3].phase, "done");
    EXPECT_TRUE(engine::FormatIdle());
    // The scripts are gone once the step is over.
    for (int drive = 1; drive <= 4; ++drive)
        EXPECT_FALSE(std::filesystem::exists(m_Folder.Path() / ("DiskPartTarget" + std::to_string(drive) + ".sc")));
    // The emulated station now reports each volume with its label and file system.
    platform::VolumeInformation info;
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Station, "D:\\", info));
    EXPECT_EQ(info.FileSystemName, "FAT32");
    EXPECT_EQ(info.VolumeName, "SHIPPED");
}

TEST_F(PartitionFormatRun, GptDisksGetTheirVolumeOnPartitionTwo)
{
    Init(2);
    auto mp = Engine(1);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 1);
    for (int id = 1; id <= 2; ++id) ExpectClean(id, 2);
}

TEST_F(PartitionFormatRun, ADiskFailingWritesFailsItsPortAloneAndTheOthersStillFormat)
{
    Init(4);
    auto mp = Engine(0);
    // WRITE(10) faults: the raw transfers of bridge 3 fail from the first one on.
    m_Station.ModifyBridge(3, [](emu::Bridge& b) { b.SetFault(0x2A, emu::FaultMode::CallFails, 100000); });
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 2);
    EXPECT_EQ(mp->Snapshot()->table.passCount, 3u);
    EXPECT_EQ(mp->Snapshot()->table.failCount, 1u);
    EXPECT_EQ(Cell(*mp, 2, engine::kColPartition).text, engine::FailText);
    for (int id : {1, 2, 4}) {
        EXPECT_EQ(Cell(*mp, id - 1, engine::kColPartition).text, engine::PassText) << id;
        ExpectClean(id, 1);
    }
}

TEST_F(PartitionFormatRun, NtfsAndExfatRunsPassAndTheSystemToolsReadTheLabel)
{
    Init(2);
    for (const uint8_t type : {disk::kFormatNtfs, disk::kFormatExfat}) {
        auto mp = Engine(type == disk::kFormatNtfs ? 0 : 1, type);
        ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
        EXPECT_EQ(mp->Snapshot()->runResult, 1) << int{type};
        for (int id = 1; id <= 2; ++id) {
            EXPECT_EQ(Cell(*mp, id - 1, engine::kColPartition).text, engine::PassText) << id;
            const std::string part = CutPartition(id, type == disk::kFormatNtfs ? 1 : 2);
            int status = 0;
            if (type == disk::kFormatNtfs) {
                EXPECT_NE(Shell("ntfsinfo -m " + part, status).find("Volume Name: SHIPPED"), std::string::npos);
            } else {
                const std::string fsck = Shell("fsck.exfat -n " + part, status);
                EXPECT_EQ(status, 0) << fsck;
                EXPECT_NE(Shell("exfatlabel " + part, status).find("label: SHIPPED"), std::string::npos);
            }
            std::filesystem::remove(part);
        }
        platform::VolumeInformation info;
        ASSERT_TRUE(device::host::GetVolumeInformation(m_Station, "D:\\", info));
        EXPECT_TRUE(util::EqualNoCase(info.FileSystemName, type == disk::kFormatNtfs ? "NTFS" : "EXFAT"));
    }
}

TEST_F(PartitionFormatRun, ALabelTheVolumeCannotHoldFailsTheFormatAfterTwoAttempts)
{
    Init(1);
    // exFAT labels hold at most 11 characters: the label never reads back.
    auto mp = Engine(0, disk::kFormatExfat, "TWELVE_CHARS");
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 2);
    EXPECT_EQ(Cell(*mp, 0, engine::kColPartition).text, engine::FailText);
    platform::VolumeInformation info;
    ASSERT_TRUE(device::host::GetVolumeInformation(m_Station, "D:\\", info));
    EXPECT_EQ(info.FileSystemName, "exFAT");
    EXPECT_EQ(info.VolumeName, "");
}

TEST_F(PartitionFormatRun, DiskZeroIsNeverPartitionedNorFormatted)
{
    Init(1);
    disk::CFat32Format format(m_Station);
    EXPECT_FALSE(format.vCreatePartition('E', 0, 0, 512, 0));
    EXPECT_FALSE(std::filesystem::exists(m_Folder.Path() / "DiskPartTarget0.sc"));
    // Drive C is the system volume: the format refuses it and the post-check fails.
    EXPECT_FALSE(format.vLowLevelFormatTracks(0, disk::kFormatFat32, 0, "SHIPPED", 'C'));
}

TEST_F(PartitionFormatRun, FreeLetterSkipsTheLettersOfVolumes)
{
    Init(2);
    EXPECT_EQ(engine::FirstFreeDriveLetter(m_Station), 'E');
    auto mp = Engine(0);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    // D: and E: now hold the two bridges' volumes.
    EXPECT_EQ(engine::FirstFreeDriveLetter(m_Station), 'F');
}

TEST_F(PartitionFormatRun, AStepSwitchedOffLeavesColumnElevenEmpty)
{
    Init(1);
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) { s.format_enable = 0; });
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(Cell(*mp, 0, engine::kColPartition).text, "");
}

}  // namespace
