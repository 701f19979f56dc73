// Whole MP runs on the emulated station, on a clock 1000 times faster than real.
#include "MPRunFixture.h"

namespace {

using enginetest::MPRun;

TEST_F(MPRun, SixteenBridgesAllPass)
{
    ASSERT_TRUE(m_Station.World().Init(16));
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) { s.config_format = 4; });  // tables composed from the settings
    ASSERT_EQ(mp->Snapshot()->devices.DevNums, 16u);
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 1);
    EXPECT_EQ(mp->Snapshot()->table.passCount, 16u);
    EXPECT_EQ(mp->Snapshot()->table.failCount, 0u);
    for (int id = 1; id <= 16; ++id) {
        EXPECT_EQ(Bridge(id).ImageVersion(0), "250115000207") << id;
        EXPECT_EQ(Cell(*mp, id - 1, engine::kColUpdate).text, engine::PassText);
    }
    // Every bridge got its own serial number, and the setting moved on by 16.
    EXPECT_EQ(Bridge(1).TableIdentity().serial, "AAAABBBB0001");
    EXPECT_EQ(Bridge(16).TableIdentity().serial, "AAAABBBB0010");
    EXPECT_STREQ(mp->Snapshot()->settings.serial_number, "AAAABBBB0011");
    Ini stored;
    ASSERT_TRUE(stored.vLoadINIFile((m_Folder.Path() / "br_mp_Toolv0.6.ini").string()));
    EXPECT_STREQ(stored.m_pINI.serial_number, "AAAABBBB0011");
    // One record per device after the header, each naming the serial it got.
    const std::string log = ResultLog(*mp);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 16);
    EXPECT_NE(log.find("\tAAAABBBB0001\t"), std::string::npos);
    EXPECT_NE(log.find("\tAAAABBBB0010\t"), std::string::npos);
    // The front end's view of each port: what it got and how far it came.
    const auto state = mp->Snapshot();
    EXPECT_EQ(state->ports[0].serialWritten, "AAAABBBB0001");
    EXPECT_EQ(state->ports[15].serialWritten, "AAAABBBB0010");
    EXPECT_EQ(state->ports[15].firmwareWritten, "250115000207");
    EXPECT_EQ(state->ports[15].phase, "done");
    EXPECT_EQ(state->ports[15].percent, 100);
    EXPECT_GT(state->ports[15].elapsedMs, 0);
}

TEST_F(MPRun, OneBridgeFailingEachUpdateStepFailsAloneWithCountersAndLog)
{
    // Configuration write, firmware write, firmware read-back, configuration read-back.
    const uint8_t failingOpcodes[] = {0xE1, 0xE3, 0xE2, 0xE0};
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    uint32_t expectedFails = 0;
    for (uint8_t opcode : failingOpcodes) {
        Fault(2, opcode, 100);
        ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted)
            << std::hex << int(opcode) << " " << (m_Observer.messages.empty() ? "" : m_Observer.messages.back().first);
        ++expectedFails;
        EXPECT_EQ(mp->Snapshot()->runResult, 2);
        EXPECT_EQ(Cell(*mp, 1, engine::kColUpdate).text, engine::FailText) << std::hex << int(opcode);
        EXPECT_EQ(Cell(*mp, 0, engine::kColUpdate).text, engine::PassText);
        EXPECT_EQ(Cell(*mp, 2, engine::kColUpdate).text, engine::PassText);
        EXPECT_EQ(mp->Snapshot()->table.failCount, expectedFails);
        EXPECT_EQ(mp->Snapshot()->table.passCount, 2 * expectedFails);
        m_Station.ModifyBridge(2, [](emu::Bridge& b) { b.ClearFaults(); });
    }
    EXPECT_EQ(mp->Snapshot()->table.totalCount, 12u);
    const std::string log = ResultLog(*mp);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 12);
}

TEST_F(MPRun, ReloadFindsEveryBridgeAgainAndABridgeThatNeverReturnsFailsAlone)
{
    ASSERT_TRUE(m_Station.World().Init(4));
    m_Station.ModifyBridge(3, [](emu::Bridge& b) { b.Set("reset_fault", "never"); });
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) {
        s.fw_reload = 1;
        s.USB4_U4Mode = 1;  // a mode that lets USB bridges reload
        s.check_config = 0;
    });
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, 2);
    EXPECT_EQ(mp->Snapshot()->results[2].ReloadFWResult, 0);
    for (int port : {0, 1, 3}) {
        EXPECT_EQ(mp->Snapshot()->results[port].ReloadFWResult, 1) << port;
        EXPECT_EQ(Cell(*mp, port, engine::kColReLink).text, engine::PassText);
        // Found again under a new number, running the new firmware.
        EXPECT_EQ(mp->Snapshot()->devices.Devs[port].m_strFWVersion, "250115000207");
    }
    EXPECT_EQ(mp->Snapshot()->table.passCount, 3u);
    EXPECT_EQ(mp->Snapshot()->table.failCount, 1u);
    // Every bridge was reset once, and the searches probed candidate disks.
    EXPECT_EQ(mp->Snapshot()->resetCount, 4);
    EXPECT_GT(mp->Snapshot()->relinkProbes, 0);
}

TEST_F(MPRun, ChipAndFirmwareMismatchRefusesTheRunNamingThePort)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    m_Station.ModifyBridge(2, [](emu::Bridge& b) {
        b.WriteRegister(emu::reg::kVariantRevision, 0x31);  // major revision 1: wants another signature
    });
    auto mp = MakeEngine(false);
    EXPECT_EQ(Start(*mp), engine::StartOutcome::kRefused);
    ASSERT_FALSE(m_Observer.exitCodes.empty());
    EXPECT_EQ(m_Observer.exitCodes.back(), -3);
    EXPECT_EQ(Bridge(1).ImageVersion(0), "240612000105");  // nothing was written
    const std::string messages = emu::ReadBlob("ProgramMSG.txt");
    EXPECT_NE(messages.find("Chip and FW don't match. Port:1 ."), std::string::npos) << messages;
}

TEST_F(MPRun, NothingToTestRefusesAndCommandLineFirmwareCheck)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine(false);
    mp->UpdateSettings([](IniSettings& s) { s.fw_enable = 0; });  // no step at all
    EXPECT_EQ(Start(*mp), engine::StartOutcome::kRefused);
    EXPECT_EQ(m_Observer.exitCodes.back(), -3);

    CmdLineInit check;
    check.CommandIndex = kCmdCheckFirmware;
    check.bInteractive = false;
    check.CheckedFirmware = "240612000105";
    auto checker = std::make_unique<engine::CMPEngine>(m_Observer, m_Station);
    checker->SetCommandLine(check);
    checker->TriggerScanThread();
    checker->WaitUntilIdle();
    EXPECT_EQ(m_Observer.exitCodes.back(), 0);
    check.CheckedFirmware = "24061200010A";
    auto mismatch = std::make_unique<engine::CMPEngine>(m_Observer, m_Station);
    mismatch->SetCommandLine(check);
    mismatch->TriggerScanThread();
    mismatch->WaitUntilIdle();
    EXPECT_EQ(m_Observer.exitCodes.back(), -2);
}

}  // namespace

namespace {

TEST_F(MPRun, ArrivalDuringARunIsIgnoredAndScannedAfterIt)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.Set("return_delay_ms", "60000"); });  // a long run
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) {
        s.fw_reload = 1;
        s.USB4_U4Mode = 1;
    });
    ASSERT_EQ(mp->OnBnClickedButtonStart(mp->Snapshot()->settings.serial_number).get().outcome,
              engine::StartOutcome::kStarted);
    int added = 0;
    m_Station.ModifyWorld([&](emu::World& world) {
        emu::BridgeSetup setup;
        setup.diskNumber = world.TakeDiskNumber();
        setup.location = *world.FreeRootPort();
        added = world.AddBridge(setup);
        world.PostEvent("arrival");
        return added != 0;
    });
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->devices.DevNums, 2u);
    EXPECT_EQ(mp->Snapshot()->table.totalCount, 2u);

    // Pulled out and plugged in again with no run going on: the station's watcher
    // tells the engine, whose scan lists it.
    ASSERT_TRUE(m_Station.SetBridgePlugged(added, false));
    ASSERT_TRUE(m_Station.SetBridgePlugged(added, true));
    EXPECT_TRUE(mp->WaitUntil([](const engine::EngineSnapshot& s) { return s.devices.DevNums == 3; }, 120000));
}

}  // namespace

namespace {

TEST_F(MPRun, SafeRemovalTakesEveryListedBridgeOffTheBus)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    mp->OnBnClickedButtonSafelyRemove();
    mp->WaitUntilIdle();
    EXPECT_FALSE(mp->Snapshot()->activity.removing);
    for (int id = 1; id <= 3; ++id) EXPECT_FALSE(Bridge(id).Present()) << id;
    // The journal shows flush, standby and disconnect for each bridge.
    int disconnects = 0;
    for (const auto& request : m_Station.Journal())
        disconnects += request.cdbLength == 12 && request.cdb[0] == 0xE8 && request.cdb[1] == 0x01;
    EXPECT_EQ(disconnects, 3);
}

}  // namespace

namespace {

TEST_F(MPRun, LimitationTableStopsARunOnAnotherFirmwareVersion)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    std::ofstream(m_Folder.Path() / "LimitationTable.ini")
        << "[chk_item]\r\ncheck_fw_version=1\r\n[chk_value]\r\nfw_version=240612000199\r\n";
    auto mp = MakeEngine(false);
    EXPECT_EQ(Start(*mp), engine::StartOutcome::kRefused);
    EXPECT_EQ(m_Observer.exitCodes.back(), -3);
    EXPECT_EQ(Bridge(1).ImageVersion(0), "240612000105");
    std::filesystem::remove(m_Folder.Path() / "LimitationTable.ini");
    auto again = MakeEngine(false);
    EXPECT_EQ(Start(*again), engine::StartOutcome::kStarted);
}

}  // namespace
