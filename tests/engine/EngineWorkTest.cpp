// Work that a front end hands to the engine thread (the engineering dialogs'
// device operations), and the barcode serial-number request after a scan.
#include <thread>

#include "MPRunFixture.h"

namespace {

using enginetest::MPRun;

constexpr int64_t kLongWaitMs = 120000;  // a bound for failures, never reached by a passing test

using EngineWork = MPRun;

TEST_F(EngineWork, RunsOnTheEngineThreadWithTheScannedDeviceList)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    const std::thread::id engineThread = m_Observer.LastCallingThread();
    auto answer = mp->RunOnEngine([](engine::EngineAccess& access) {
        return std::pair{std::this_thread::get_id(), access.devices.DevNums};
    });
    ASSERT_EQ(answer.wait_for(std::chrono::milliseconds(kLongWaitMs)), std::future_status::ready);
    const auto [thread, devices] = answer.get();
    EXPECT_EQ(thread, engineThread);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(devices, 3u);
}

TEST_F(EngineWork, WaitsForAScanThatIsGoingOnAndSeesItsList)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine();
    ASSERT_TRUE(m_Station.SetBridgePlugged(2, false));
    mp->OnUSBDeviceChange(platform::DeviceChange::kRemoveComplete);
    // Posted right behind the change: the scan it starts must end before the work runs.
    auto answer = mp->RunOnEngine([](engine::EngineAccess& access) { return access.devices.DevNums; });
    ASSERT_EQ(answer.wait_for(std::chrono::milliseconds(kLongWaitMs)), std::future_status::ready);
    EXPECT_EQ(answer.get(), 1u);
}

TEST_F(EngineWork, WaitsForARunAndReadsTheBridgeAfterIt)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine();
    ASSERT_EQ(mp->OnBnClickedButtonStart(mp->Snapshot()->settings.serial_number).get().outcome,
              engine::StartOutcome::kStarted);
    // The counters of the evaluation reach the observer (on the engine thread) before the work runs.
    auto passed = mp->RunOnEngine([&](engine::EngineAccess&) {
        return m_Observer.counters.empty() ? 0u : m_Observer.counters.back().pass;
    });
    ASSERT_EQ(passed.wait_for(std::chrono::milliseconds(kLongWaitMs)), std::future_status::ready);
    EXPECT_EQ(passed.get(), 2u);
}

TEST_F(EngineWork, AFailingWorkHandsItsExceptionToTheCallerAndTheEngineGoesOn)
{
    ASSERT_TRUE(m_Station.World().Init(1));
    auto mp = MakeEngine();
    auto failed = mp->RunOnEngine([](engine::EngineAccess&) -> int { throw std::runtime_error("device gone"); });
    EXPECT_THROW(failed.get(), std::runtime_error);
    auto next = mp->RunOnEngine([](engine::EngineAccess& access) { return access.devices.DevNums; });
    EXPECT_EQ(next.get(), 1u);
}

TEST_F(EngineWork, WorkLeftWhenTheEngineEndsBreaksItsPromise)
{
    ASSERT_TRUE(m_Station.World().Init(1));
    auto mp = MakeEngine();
    ASSERT_TRUE(m_Station.SetBridgePlugged(1, false));
    // A scan is going on when the work arrives, and the engine may end before it is over.
    mp->TriggerScanThread();
    auto answer = mp->RunOnEngine([](engine::EngineAccess&) { return 1; });
    mp.reset();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    // Either the scan ended first and the work ran, or the promise is broken: never a hang.
    try {
        EXPECT_EQ(answer.get(), 1);
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

TEST_F(EngineWork, SettingsChangesCarryTicketsAndTheRevisionCountsTheEnginesOwnToo)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine();
    const uint64_t first = mp->UpdateSettings([](IniSettings& s) { SetIniString(s.serial_number, "AAAA00000001"); });
    const uint64_t second = mp->UpdateSettings([](IniSettings& s) { s.SN_EditType = kSnIncreaseHex; });
    EXPECT_GT(second, first);
    mp->WaitUntilIdle();
    auto state = mp->Snapshot();
    EXPECT_EQ(state->settingsTicket, second);
    const uint64_t revision = state->settingsRevision;
    // A run moves the serial number on by itself: a new revision, no new ticket.
    ASSERT_EQ(mp->OnBnClickedButtonStart("AAAA00000001").get().outcome, engine::StartOutcome::kStarted);
    mp->WaitUntilIdle();
    state = mp->Snapshot();
    EXPECT_GT(state->settingsRevision, revision);
    EXPECT_EQ(state->settingsTicket, second);
    EXPECT_STREQ(state->settings.serial_number, "AAAA00000003");
}

TEST_F(EngineWork, ABarcodeScanThatFoundBridgesAsksForTheSerialNumber)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    EXPECT_TRUE(m_Observer.serialEntries.empty());  // edit type 1: nothing to ask
    mp->UpdateSettings([](IniSettings& s) { s.SN_EditType = kSnFromBarcode; });
    mp->TriggerScanThread();
    mp->WaitUntilIdle();
    ASSERT_EQ(m_Observer.serialEntries.size(), 1u);
    EXPECT_EQ(m_Observer.serialEntries[0], 3u);
}

TEST_F(EngineWork, ABarcodeScanThatFoundNothingAsksNothing)
{
    ASSERT_TRUE(m_Station.World().Init(1));
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) { s.SN_EditType = kSnFromBarcode; });
    ASSERT_TRUE(m_Station.SetBridgePlugged(1, false));
    mp->TriggerScanThread();
    mp->WaitUntilIdle();
    EXPECT_TRUE(m_Observer.serialEntries.empty());
}

}  // namespace
