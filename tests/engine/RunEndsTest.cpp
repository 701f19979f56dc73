// A run always ends, and says why a port failed. Every step is on (key,
// configuration and firmware, reload, partition, format, write/read, speed test,
// preload); one bridge of two meets a fault at one step. Each run must end within
// its bound, the harmed port must fail with its own reason (on the observer, in
// the results the JSON carries, in the trace's step line), the other must pass
// every step it shows, and the result log must hold a record of each. The table
// of cases and outcomes is printed at the end of the suite.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "MPRunFixture.h"
#include "device/SpeedTest.h"
#include "emu/DiskThroughput.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDiskMiB = 640;
constexpr int kHarmed = 2;        // the bridge each case harms; bridge 1 stays sound
constexpr int kAlways = 1000000;
constexpr int64_t kRunBoundMs = 60000;  // real time; the station's clock runs 1000 times faster
constexpr uint64_t kPartitionStart = 2048;  // sector of the first partition

struct Case {
    std::string name;
    std::function<void(platform::EmuStation&)> beforeScan;   // harms bridge 2 before the scan
    std::function<void(platform::EmuStation&)> beforeStart;  // or between the scan and Start
    std::string cause;  // a piece of the reason the harmed port must show; empty: the port is not taken
};

void SectorFault(platform::EmuStation& station, uint64_t first, uint64_t last)
{
    station.ModifyBridge(kHarmed, [&](emu::Bridge& b) {
        b.Set(emu::kDiskSectorFaultsKey, std::to_string(first) + "-" + std::to_string(last) + " fail");
    });
}

void OpFault(platform::EmuStation& station, uint8_t opcode, emu::FaultMode mode, int count)
{
    station.ModifyBridge(kHarmed, [&](emu::Bridge& b) { b.SetFault(opcode, mode, count); });
}

std::vector<Case> AllCases()
{
    using emu::FaultMode;
    return {
        {"identification: INQUIRY fails", [](auto& s) { OpFault(s, 0x12, FaultMode::CheckCondition, kAlways); }, {},
         "INQUIRY FAIL"},
        {"identification: a CD-ROM", [](auto& s) { s.ModifyBridge(kHarmed, [](emu::Bridge& b) { b.SetCdrom(3); }); },
         {}, "Disk not found"},
        {"gone between scan and Start", {}, [](auto& s) { s.SetBridgePlugged(kHarmed, false); }, ""},
        {"update: table write fails", {}, [](auto& s) { OpFault(s, 0xE1, FaultMode::CallFails, kAlways); },
         "configuration tables could not be written"},
        {"update: firmware write fails", {}, [](auto& s) { OpFault(s, 0xE3, FaultMode::CheckCondition, kAlways); },
         "firmware could not be written"},
        {"update: firmware write unanswered", {}, [](auto& s) { OpFault(s, 0xE3, FaultMode::NoAnswer, kAlways); },
         "firmware could not be written"},
        {"update: unplugged during the firmware write", {},
         [](auto& s) { OpFault(s, 0xE3, FaultMode::Unplug, 1); }, "firmware could not be written"},
        {"reload: never returns", {}, [](auto& s) {
             s.ModifyBridge(kHarmed, [](emu::Bridge& b) { b.Set("reset_fault", "never"); });
         }, "not found again after its reset"},
        {"partition: table sectors fail", {}, [](auto& s) { SectorFault(s, 0, 0); }, "partition"},
        {"format: FAT sectors fail", {}, [](auto& s) { SectorFault(s, kPartitionStart + 40, kPartitionStart + 40); },
         "FAT32 system area"},
        {"write/read: data corrupted", {}, [](auto& s) {
             s.ModifyBridge(kHarmed, [](emu::Bridge& b) { b.Set("disk_corrupt_writes", "1"); });
         }, "did not read back as written"},
        {"speed: every position fails", {}, [](auto& s) {
             std::string ranges;
             for (uint64_t at : kSpeedTestSectors)
                 ranges += (ranges.empty() ? "" : ";") + std::to_string(kPartitionStart + at) + "-" +
                           std::to_string(kPartitionStart + at) + " fail";
             s.ModifyBridge(kHarmed, [&](emu::Bridge& b) { b.Set(emu::kDiskSectorFaultsKey, ranges); });
         }, "slower than the speed thresholds"},
        {"write/read and preload: file sectors fail", {}, [](auto& s) {
             SectorFault(s, kPartitionStart + 1400, kPartitionStart + 60000);  // the data clusters
         }, "test file cannot be written"},
    };
}

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

struct TableRow {
    std::string name, outcome, reason;
};
std::vector<TableRow>& Table()
{
    static std::vector<TableRow> rows;
    return rows;
}

class RunEnds : public enginetest::MPRun, public ::testing::WithParamInterface<Case> {
protected:
    static void TearDownTestSuite()
    {
        if (Table().empty()) return;
        std::printf("\n%-46s | %-20s | %s\n", "case", "outcome", "reason of the harmed port");
        for (const auto& row : Table())
            std::printf("%-46s | %-20s | %s\n", row.name.c_str(), row.outcome.c_str(), row.reason.c_str());
        std::fflush(stdout);
    }

    void Prepare()
    {
        ASSERT_TRUE(m_Station.World().Init(2));
        for (int id = 1; id <= 2; ++id)
            m_Station.ModifyBridge(id, [](emu::Bridge& b) { b.Set("disk_size_mib", std::to_string(kDiskMiB)); });
        m_Preload = m_Folder.Path() / "preload";
        fs::create_directories(m_Preload / "docs");
        std::ofstream(m_Preload / "readme.txt", std::ios::binary) << "shipped with every drive\n";
        std::ofstream(m_Preload / "docs" / "manual.bin", std::ios::binary) << std::string(400000, 'm');
        std::ofstream(m_Folder.Path() / "rwtest.bin", std::ios::binary) << std::string(300 * 1024, 'w');
    }
    std::unique_ptr<engine::CMPEngine> EveryStepEngine()
    {
        auto mp = MakeEngine(false);
        const std::string preload = m_Preload.string();
        mp->UpdateSettings([&](IniSettings& s) {
            s.fw_reload = 1;
            s.USB4_U4Mode = 1;    // a mode that lets USB bridges reload
            s.config_format = 4;  // tables composed from the settings
            DiskStepsOn(s, preload, 1, true);
        });
        mp->WaitUntilIdle();
        return mp;
    }
    // The row of the device list holding bridge `id`, or -1.
    int RowOf(const engine::EngineSnapshot& state, int id)
    {
        for (uint32_t row = 0; row < MAX_DEVICES; ++row)
            if (state.devices.Devs[row].m_ucDevIdx != 255 &&
                state.devices.Devs[row].m_strSerialNumber == Bridge(id).Identity().serial)
                return static_cast<int>(row);
        return -1;
    }

    fs::path m_Preload;
};

TEST_P(RunEnds, TheRunEndsTheHarmedPortFailsWithItsReasonAndTheOtherPasses)
{
    const Case& c = GetParam();
    Prepare();
    if (c.beforeScan) c.beforeScan(m_Station);
    auto mp = EveryStepEngine();
    const auto scanned = mp->Snapshot();
    const int sound = RowOf(*scanned, 1);
    const int harmed = RowOf(*scanned, kHarmed);
    ASSERT_GE(sound, 0);
    if (c.beforeStart) {
        c.beforeStart(m_Station);
        mp->WaitUntilIdle();  // a scan after the change settles the list first
    }

    auto started = mp->OnBnClickedButtonStart(mp->Snapshot()->settings.serial_number);
    ASSERT_TRUE(mp->WaitUntilIdleFor(kRunBoundMs)) << c.name << ": the run did not end in time";
    ASSERT_EQ(started.get().outcome, engine::StartOutcome::kStarted);
    const auto state = mp->Snapshot();
    const engine::StepResults& sound_ = state->results[sound];
    EXPECT_TRUE(sound_.FailCause.empty()) << "sound port failed: " << sound_.FailCause;
    for (int column : {engine::kColUpdate, engine::kColReLink, engine::kColPartition, engine::kColRWTest,
                       engine::kColPreload})
        EXPECT_EQ(state->table.cells[sound][column].text, engine::PassText) << engine::kResultColumns[column].title;
    if (!c.cause.empty()) {
        EXPECT_EQ(state->exitCode, -1) << "a harmed port fails the run";
    }

    TableRow row{c.name, "", ""};
    const int taken = harmed >= 0 && state->ports[harmed].taking ? harmed : -1;
    if (c.cause.empty() || taken < 0) {
        // Not taken at all: allowed only where the case says so (a bridge gone
        // before Start); the run goes on with the bridges that are there.
        EXPECT_TRUE(c.cause.empty()) << c.name << ": the harmed bridge was not taken";
        row.outcome = "not taken";
        row.reason = "gone before Start: the run went on without it";
    } else {
        const engine::StepResults& failed = state->results[taken];
        EXPECT_NE(failed.FailCause.find(c.cause), std::string::npos) << failed.FailCause;
        EXPECT_NE(failed.FailCause, engine::kEarlierStepFailed);
        ASSERT_GE(failed.FailColumn, 0);
        EXPECT_EQ(state->table.cells[taken][failed.FailColumn].text, engine::FailText);
        const auto reasons = m_Observer.StepFailures();
        EXPECT_NE(std::find(reasons.begin(), reasons.end(), failed.FailCause), reasons.end())
            << "the screen never showed the reason";
        // Nothing reached a bridge that failed identification: no firmware is claimed for it.
        if (c.name.rfind("identification", 0) == 0) {
            EXPECT_EQ(state->ports[taken].firmwareWritten, "");
        }
        row.outcome = std::string("FAIL at ") + engine::kResultColumns[failed.FailColumn].title;
        row.reason = failed.FailCause;
    }
    // One record per port that took part, after the header.
    const std::string log = ResultLog(*mp);
    const auto ports = std::count_if(state->ports.begin(), state->ports.end(), [](const auto& p) { return p.taking; });
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), ports);
    Table().push_back(row);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, RunEnds, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             std::string name;
                             for (char ch : param.param.name)
                                 if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                             return name;
                         });

// A result log that cannot take the run's records fails a run whose ports all
// passed, and the failure names the log.
TEST_F(RunEnds, ARecordTheResultLogCannotTakeFailsTheRun)
{
    Prepare();
    auto mp = EveryStepEngine();
    const std::string log = mp->MPResultLogPath();
    fs::create_directories(log);  // a folder where the log should be: every append fails
    auto started = mp->OnBnClickedButtonStart(mp->Snapshot()->settings.serial_number);
    ASSERT_TRUE(mp->WaitUntilIdleFor(kRunBoundMs));
    ASSERT_EQ(started.get().outcome, engine::StartOutcome::kStarted);
    const auto state = mp->Snapshot();
    for (int row = 0; row < 2; ++row) EXPECT_TRUE(state->results[row].FailCause.empty()) << row;
    EXPECT_NE(state->recordFailure.find(log), std::string::npos) << state->recordFailure;
    EXPECT_EQ(state->runResult, engine::kRunFail);
    EXPECT_EQ(state->exitCode, -1);
}

// A stop request ends a run in any phase: every port fails, "the run was
// stopped" where a step was cut short, and nothing waits for ever.
TEST_F(RunEnds, AStopDuringTheDiskStepsEndsTheRun)
{
    Prepare();
    // The harmed bridge's disk writes crawl: the stop comes while it formats.
    auto mp = EveryStepEngine();
    m_Station.ModifyBridge(kHarmed, [](emu::Bridge& b) { b.Set("disk_write_mibps", "0.001"); });
    const int harmed = RowOf(*mp->Snapshot(), kHarmed);
    ASSERT_GE(harmed, 0);
    auto started = mp->OnBnClickedButtonStart(mp->Snapshot()->settings.serial_number);
    ASSERT_TRUE(mp->WaitUntil([harmed](const engine::EngineSnapshot& s) { return s.ports[harmed].phase == "format"; },
                              kRunBoundMs));
    mp->StopRun();
    ASSERT_TRUE(mp->WaitUntilIdleFor(kRunBoundMs)) << "the stopped run did not end";
    EXPECT_EQ(started.get().outcome, engine::StartOutcome::kStarted);
    const auto state = mp->Snapshot();
    EXPECT_EQ(state->runResult, engine::kRunFail);
    for (int row = 0; row < 2; ++row) {
        EXPECT_FALSE(state->results[row].FailCause.empty()) << row;
        EXPECT_NE(state->results[row].FailCause, engine::kEarlierStepFailed) << row;
    }
}

}  // namespace
