// The engine's threads under stress: device events during scans, Start during and
// right after runs, the engine destroyed mid-scan and mid-run, a front end reading
// snapshots while bridges come and go, stop and time-out with slow workers. Run
// under the thread sanitizer, these are the engine's race and deadlock checks.
#include <thread>

#include "MPRunFixture.h"

namespace {

using enginetest::MPRun;
using engine::EngineSnapshot;
using engine::StartOutcome;

constexpr int64_t kLongWaitMs = 120000;  // a bound for failures, never reached by a passing test

class EngineThreads : public MPRun {
protected:
    // The observer's contract: one calling thread, never two calls at once.
    void ExpectObserverContract() const
    {
        EXPECT_EQ(m_Observer.CallingThreads(), 1u);
        EXPECT_FALSE(m_Observer.CallsOverlapped());
    }
    static StartOutcome Press(engine::CMPEngine& mp)
    {
        return mp.OnBnClickedButtonStart(mp.Snapshot()->settings.serial_number).get().outcome;
    }
    static void SlowReturn(emu::Bridge& b) { b.Set("return_delay_ms", "600000"); }
    void EnableReload(engine::CMPEngine& mp)
    {
        mp.UpdateSettings([](IniSettings& s) {
            s.fw_reload = 1;
            s.USB4_U4Mode = 1;
            s.check_config = 0;
        });
    }
};

TEST_F(EngineThreads, DeviceRemovalDuringTheFirstCommandLineScanEndsWithAnExitCode)
{
    ASSERT_TRUE(m_Station.World().Init(16));
    auto mp = std::make_unique<engine::CMPEngine>(m_Observer, m_Station);
    IniSettings settings = DefaultIniSettings();
    settings.fw_enable = 1;
    settings.fw_reload = 0;
    SetIniString(settings.fw_binary_name, m_Firmware);
    mp->SetSettings(settings);
    CmdLineInit start;
    start.CommandIndex = kCmdStart;
    start.bInteractive = false;
    mp->SetCommandLine(start);
    mp->TriggerScanThread();
    ASSERT_TRUE(m_Station.SetBridgePlugged(16, false));
    mp->OnUSBDeviceChange(platform::DeviceChange::kRemoveComplete);

    ASSERT_TRUE(mp->WaitUntil([](const EngineSnapshot& s) { return s.exitCode.has_value(); }, kLongWaitMs));
    mp->WaitUntilIdle();
    const auto state = mp->Snapshot();
    // Whether the run saw bridge 16 depends on when the removal was heard; either
    // way every listed bridge was evaluated and the exit code says how it went.
    EXPECT_EQ(state->table.totalCount, state->devices.DevNums);
    EXPECT_EQ(*state->exitCode, state->table.failCount == 0 ? 0 : -1);
    EXPECT_EQ(state->table.passCount, 15u);
    ExpectObserverContract();
}

TEST_F(EngineThreads, StartDuringARunIsRefusedAndRightAfterItRuns)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    EXPECT_EQ(Press(*mp), StartOutcome::kRefused);  // the first run is still going
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->table.passCount, 3u);
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->table.passCount, 6u);
    EXPECT_EQ(mp->Snapshot()->runResult, engine::kRunPass);
    ExpectObserverContract();
}

TEST_F(EngineThreads, StartDuringTheAutomaticRemovalDelayCancelsTheRemoval)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) { s.Auto_Safe_Remove = 1; });
    mp->SetRemoveSeconds(3600);  // 3.6 s on the test clock
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    ASSERT_TRUE(mp->WaitUntil(
        [](const EngineSnapshot& s) { return !s.activity.running && s.runResult == engine::kRunPass; }, kLongWaitMs));
    // The run is evaluated and waits for its removal; Start takes the bridges again.
    mp->UpdateSettings([](IniSettings& s) { s.Auto_Safe_Remove = 0; });
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->table.passCount, 6u);
    for (int id = 1; id <= 3; ++id) EXPECT_TRUE(Bridge(id).Present()) << id;

    // Without a Start in between, the removal comes when its delay is over.
    mp->UpdateSettings([](IniSettings& s) { s.Auto_Safe_Remove = 1; });
    mp->SetRemoveSeconds(1);
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->WaitUntilIdle();
    for (int id = 1; id <= 3; ++id) EXPECT_FALSE(Bridge(id).Present()) << id;
    ExpectObserverContract();
}

TEST_F(EngineThreads, EngineDestroyedMidScanAndMidRunJoinsEveryThread)
{
    ASSERT_TRUE(m_Station.World().Init(4));
    for (int round = 0; round < 3; ++round) {
        auto scanning = std::make_unique<engine::CMPEngine>(m_Observer, m_Station);
        scanning->TriggerScanThread();
        scanning.reset();  // mid-scan

        auto running = MakeEngine();
        EnableReload(*running);
        m_Station.ModifyBridge(2, SlowReturn);
        ASSERT_EQ(Press(*running), StartOutcome::kStarted);
        running.reset();  // mid-run: the workers are asked to stop and waited for
        m_Station.ModifyBridge(2, [](emu::Bridge& b) { b.Set("return_delay_ms", ""); });
    }
    EXPECT_FALSE(m_Observer.CallsOverlapped());
}

TEST_F(EngineThreads, FrontEndReadsSnapshotsAndPostsWhileBridgesComeAndGoDuringARun)
{
    ASSERT_TRUE(m_Station.World().Init(4));
    auto mp = MakeEngine();
    EnableReload(*mp);
    std::atomic<bool> done{false};
    std::jthread frontEnd([&] {
        uint32_t seen = 0;
        while (!done) {
            const auto state = mp->Snapshot();
            seen += state->devices.DevNums + state->table.totalCount;
            for (const auto& row : state->table.cells) seen += static_cast<uint32_t>(row[engine::kColUpdate].text.size());
            mp->UpdateSettings([](IniSettings& s) { s.Speed_test_enable = 0; });
            std::this_thread::yield();
        }
        EXPECT_GT(seen, 0u);
    });
    std::jthread hotPlug([&] {
        for (int i = 0; i < 20 && !done; ++i) {
            m_Station.SetBridgePlugged(4, i % 2 == 1);
            mp->OnUSBDeviceChange(i % 2 ? platform::DeviceChange::kArrival : platform::DeviceChange::kRemoveComplete);
            util::SleepMs(200);
        }
        m_Station.SetBridgePlugged(4, true);
    });
    for (int run = 0; run < 2; ++run) {
        if (Press(*mp) == StartOutcome::kStarted) mp->WaitUntilIdle();
    }
    hotPlug.join();
    done = true;
    frontEnd.join();
    mp->TriggerScanThread();
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->devices.DevNums, 4u);
    ExpectObserverContract();
}

TEST_F(EngineThreads, SupervisionTimeOutWaitsForTheWorkersAndFailsTheirDevices)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    EnableReload(*mp);
    m_Station.ModifyBridge(2, SlowReturn);
    mp->SetSupervisionPolls(40);  // 20 s: the slow bridge is still away
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->WaitUntilIdle();
    const auto state = mp->Snapshot();
    EXPECT_EQ(state->runResult, engine::kRunFail);
    // Every worker was still running at the time-out (the others wait at the
    // reload barrier for the slow one): all fail, all are counted and logged.
    EXPECT_EQ(state->table.failCount, 3u);
    EXPECT_EQ(state->table.totalCount, 3u);
    const std::string log = ResultLog(*mp);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
    ExpectObserverContract();
}

TEST_F(EngineThreads, StopEndsTheRunWithItsDevicesFailedAndTheNextRunPasses)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine();
    EnableReload(*mp);
    m_Station.ModifyBridge(1, SlowReturn);
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->StopRun();
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->runResult, engine::kRunFail);
    EXPECT_EQ(mp->Snapshot()->table.failCount, 2u);

    m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.Set("return_delay_ms", ""); });
    mp->TriggerScanThread();
    mp->WaitUntilIdle();
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->runResult, engine::kRunPass);
    ExpectObserverContract();
}

}  // namespace
