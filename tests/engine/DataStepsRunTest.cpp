// MP runs with partition, format, write/read test, speed test and preload on:
// every bridge's volume ends up holding the preload tree byte for byte, as
// mtools (a tool we did not write) reads it back; faults fail their port alone.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>

#include "MPRunFixture.h"
#include "device/SpeedTest.h"
#include "disk/Fat32Format.h"
#include "disk/Preload.h"
#include "emu/DiskThroughput.h"
#include "emu/NvmeDisk.h"

namespace {

using enginetest::MPRun;
namespace fs = std::filesystem;

constexpr int kDiskMiB = 640;

using testsupport::Shell;

void WriteText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class DataStepsRun : public MPRun {
protected:
    void Init(int bridges, int diskMiB = kDiskMiB)
    {
        ASSERT_TRUE(m_Station.World().Init(bridges));
        for (int id = 1; id <= bridges; ++id)
            m_Station.ModifyBridge(id, [&](emu::Bridge& b) { b.Set("disk_size_mib", std::to_string(diskMiB)); });
        m_Preload = m_Folder.Path() / "preload";
        fs::create_directories(m_Preload / "empty");
        fs::create_directories(m_Preload / "docs" / "deeper" / "empty too");
        WriteText(m_Preload / "readme.txt", "shipped with every drive\n");
        WriteText(m_Preload / "docs" / "Manual.PDF", std::string(100000, 'm'));
        WriteText(m_Preload / "docs" / "deeper" / "zero.bin", "");
        std::string test(300 * 1024, '\0');
        for (size_t i = 0; i < test.size(); ++i) test[i] = static_cast<char>(i * 7 + i / 251);
        WriteText(m_Folder.Path() / "rwtest.bin", test);
    }
    std::unique_ptr<engine::CMPEngine> Engine(bool speed = true, const char* readSpeed = "0",
                                              const char* writeSpeed = "0")
    {
        auto mp = MakeEngine();
        const std::string preload = m_Preload.string();
        mp->UpdateSettings([=](IniSettings& s) {
            s.fw_enable = 0;
            DiskStepsOn(s, preload, 2, speed, readSpeed, writeSpeed);
        });
        return mp;
    }
    std::string Image(int id) { return emu::NvmeDisk(m_Station.World().BridgeFolder(id)).ImagePath().string(); }
    // mtools' "-i IMAGE@@OFFSET" of partition 1 of bridge `id`, found by sfdisk.
    std::string Volume(int id)
    {
        int status = 0;
        const std::string dump = Shell("sfdisk --dump " + Image(id), status);
        const std::string name = Image(id) + "1 : start=";
        const size_t at = dump.find(name);
        EXPECT_NE(at, std::string::npos) << dump;
        if (at == std::string::npos) return Image(id);
        return Image(id) + "@@" + std::to_string(std::stoull(dump.substr(at + name.size())) * 512);
    }
    // The volume of bridge `id` read out whole by mtools into a fresh folder.
    fs::path ReadOut(int id)
    {
        int status = 0;
        const fs::path out = m_Folder.Path() / ("out" + std::to_string(id));
        fs::create_directories(out);
        const std::string copied =
            Shell("MTOOLS_SKIP_CHECK=1 mcopy -s -n -i " + Volume(id) + " '::/*' " + out.string(), status);
        EXPECT_EQ(status, 0) << copied;
        return out;
    }
    void ExpectPreloaded(int id)
    {
        const fs::path out = ReadOut(id);
        int status = 0;
        const std::string diff = Shell("diff -r " + m_Preload.string() + " " + out.string(), status);
        EXPECT_EQ(status, 0) << "bridge " << id << ": " << diff;
        // The write/read test leaves no file behind.
        EXPECT_FALSE(fs::exists(out / "rwtest.bin")) << id;
    }

    fs::path m_Preload;
};

TEST_F(DataStepsRun, EveryStepPassesAndEveryVolumeHoldsThePreloadTree)
{
    Init(3);
    auto mp = Engine();
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 1);
    EXPECT_EQ(mp->Snapshot()->table.passCount, 3u);
    for (int id = 1; id <= 3; ++id) {
        EXPECT_EQ(Cell(*mp, id - 1, engine::kColRWTest).text, engine::PassText) << id;
        EXPECT_EQ(Cell(*mp, id - 1, engine::kColPreload).text, engine::PassText) << id;
        ExpectPreloaded(id);
    }
    EXPECT_EQ(mp->Snapshot()->ports[0].phase, "done");
}

TEST_F(DataStepsRun, AFileAboveSixtyFourMiBLandsWhole)
{
    Init(1);
    // Sparse on the host, but every byte of it is read and copied; a marker
    // sits on each side of the 64 MiB chunk boundary and at the end.
    const fs::path big = m_Preload / "big" / "image.bin";
    fs::create_directories(big.parent_path());
    {
        std::ofstream out(big, std::ios::binary);
        out.seekp(disk::kCopyChunkBytes - 3);
        out << "ABCDEF";
        out.seekp(disk::kCopyChunkBytes + (1 << 20));
        out << "end";
    }
    ASSERT_GT(fs::file_size(big), disk::kCopyChunkBytes);
    auto mp = Engine(false);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 1);
    ExpectPreloaded(1);
}

TEST_F(DataStepsRun, ADiskThatCorruptsWritesFailsTheCompareWhileTheOthersPass)
{
    Init(3);
    m_Station.ModifyBridge(2, [](emu::Bridge& b) { b.Set("disk_corrupt_writes", "1"); });
    auto mp = Engine(false);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, engine::kRunFail);
    EXPECT_EQ(Cell(*mp, 1, engine::kColPartition).text, engine::PassText);
    EXPECT_EQ(Cell(*mp, 1, engine::kColRWTest).text, engine::FailText);
    // A failed write/read test leaves the preload out: the port is done.
    EXPECT_EQ(Cell(*mp, 1, engine::kColPreload).text, engine::FailText);
    for (int id : {1, 3}) {
        EXPECT_EQ(Cell(*mp, id - 1, engine::kColRWTest).text, engine::PassText) << id;
        ExpectPreloaded(id);
    }
}

TEST_F(DataStepsRun, ASpeedTestFailingAtTwoPositionsPassesAtTheThird)
{
    Init(1);
    // Sectors of the volume's first two test positions fail; the partition
    // starts at sector 2048 of the disk.
    m_Station.ModifyBridge(1, [](emu::Bridge& b) {
        const uint64_t p0 = 2048 + kSpeedTestSectors[0], p1 = 2048 + kSpeedTestSectors[1];
        b.Set(emu::kDiskSectorFaultsKey, std::to_string(p0) + "-" + std::to_string(p0) + " fail;" +
                                             std::to_string(p1) + "-" + std::to_string(p1) + " fail");
    });
    auto mp = Engine(true, "0", "0");
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 1);
    EXPECT_EQ(Cell(*mp, 0, engine::kColRWTest).text, engine::PassText);

    // A third failing position fails the step.
    m_Station.ModifyBridge(1, [](emu::Bridge& b) {
        const uint64_t p2 = 2048 + kSpeedTestSectors[2];
        b.Set(emu::kDiskSectorFaultsKey,
              b.Get(emu::kDiskSectorFaultsKey) + ";" + std::to_string(p2) + "-" + std::to_string(p2) + " fail");
    });
    mp->TriggerScanThread();
    mp->WaitUntilIdle();
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(Cell(*mp, 0, engine::kColRWTest).text, engine::FailText);
    EXPECT_EQ(Cell(*mp, 0, engine::kColPreload).text, engine::FailText);
}

TEST_F(DataStepsRun, APreloadLargerThanTheFreeSpaceFailsBeforeCopying)
{
    Init(1);
    std::ofstream(m_Preload / "huge.bin", std::ios::binary).seekp(1ll << 30) << 'x';
    auto mp = Engine(false);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(Cell(*mp, 0, engine::kColRWTest).text, engine::PassText);
    EXPECT_EQ(Cell(*mp, 0, engine::kColPreload).text, engine::FailText);
    // Nothing was copied: the volume's root holds nothing but its label.
    int status = 0;
    const std::string listing = Shell("MTOOLS_SKIP_CHECK=1 mdir -b -i " + Volume(1) + " ::/", status);
    EXPECT_EQ(listing, "") << listing;
}

TEST_F(DataStepsRun, DisabledStepsLeaveTheirColumnsEmptyAfterAnEarlierFailure)
{
    Init(1);
    auto mp = Engine(false);
    mp->UpdateSettings([](IniSettings& s) {
        s.wr_test_enable = 0;
        s.preload_enable = 0;
    });
    m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.SetFault(0x2A, emu::FaultMode::CallFails, 100000); });
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(Cell(*mp, 0, engine::kColPartition).text, engine::FailText);
    EXPECT_EQ(Cell(*mp, 0, engine::kColRWTest).text, "");
    EXPECT_EQ(Cell(*mp, 0, engine::kColPreload).text, "");
}

TEST_F(DataStepsRun, AnUnreadablePreloadFolderFailsTheStepNamingIt)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    Init(1);
    fs::permissions(m_Preload / "docs", fs::perms::none);
    auto mp = Engine(false);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    fs::permissions(m_Preload / "docs", fs::perms::owner_all);
    EXPECT_EQ(Cell(*mp, 0, engine::kColPreload).text, engine::FailText);
    bool named = false;
    for (const auto& reason : m_Observer.StepFailures())
        named = named || reason.find((m_Preload / "docs").string()) != std::string::npos;
    EXPECT_TRUE(named);
}

}  // namespace
