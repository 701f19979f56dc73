// Serial numbers are reserved before any bridge is written, and one tool folder
// serves one run at a time: no serial number ever reaches two bridges.
#include <set>

#include "MPRunFixture.h"
#include "platform/FileLock.h"
#include "platform/FileStore.h"

namespace {

using engine::EngineSnapshot;
using engine::StartOutcome;

class SerialSafety : public enginetest::MPRun {
protected:
    std::string IniPath() const { return (m_Folder.Path() / "br_mp_Toolv0.6.ini").string(); }
    std::string StoredSerial() const
    {
        Ini stored;
        return stored.vLoadINIFile(IniPath()) ? stored.m_pINI.serial_number : "";
    }
    static StartOutcome Press(engine::CMPEngine& mp)
    {
        return mp.OnBnClickedButtonStart(mp.Snapshot()->settings.serial_number).get().outcome;
    }
    static std::set<std::string> Serials(platform::EmuStation& station, int bridges)
    {
        std::set<std::string> serials;
        for (int id = 1; id <= bridges; ++id)
            serials.insert(emu::Bridge(station.World().BridgeFolder(id)).TableIdentity().serial);
        return serials;
    }
};

TEST_F(SerialSafety, AStoreThatFailsRefusesTheRunBeforeAnyBridgeIsWritten)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    // The store's temporary file cannot be made: as good as a full disk.
    std::filesystem::create_directories(platform::StoreTempPath(IniPath()));
    auto mp = MakeEngine(false);
    EXPECT_EQ(Press(*mp), StartOutcome::kRefused);
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->exitCode, -3);
    for (int id = 1; id <= 2; ++id) EXPECT_EQ(Bridge(id).ImageVersion(0), "240612000105") << id;
    EXPECT_NE(emu::ReadBlob("ProgramMSG.txt").find("Serial numbers could not be reserved"), std::string::npos);
}

TEST_F(SerialSafety, TheCounterIsStoredBeforeTheRunAndNeverGivenBack)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) {
        s.fw_reload = 1;
        s.USB4_U4Mode = 1;
        s.check_config = 0;
    });
    m_Station.ModifyBridge(1, [](emu::Bridge& b) { b.Set("return_delay_ms", "600000"); });
    ASSERT_EQ(Press(*mp), StartOutcome::kStarted);
    // Before the run ends, the file already holds the counter past its range.
    EXPECT_EQ(StoredSerial(), "AAAABBBB0004");
    mp->StopRun();
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->runResult, engine::kRunFail);
    EXPECT_EQ(StoredSerial(), "AAAABBBB0004");
    EXPECT_STREQ(mp->Snapshot()->settings.serial_number, "AAAABBBB0004");
}

TEST_F(SerialSafety, TwoStationsOnOneToolFolderNeverShareASerialNumber)
{
    ASSERT_TRUE(m_Station.World().Init(4));
    platform::EmuStation other(m_Folder.Path() / "station2");
    ASSERT_TRUE(other.World().Init(4));
    auto first = MakeEngine(false);
    first->UpdateSettings([](IniSettings& s) { s.config_format = 4; });  // tables composed from the settings
    enginetest::RecordingObserver otherObserver;
    auto second = std::make_unique<engine::CMPEngine>(otherObserver, other);
    second->SetSettings(first->Snapshot()->settings);  // the same counter, as both loaded it
    second->SetInteractive(false);
    second->TriggerScanThread();
    second->WaitUntilIdle();

    // At once: the tool folder serves one run; the other is refused, naming the holder.
    ASSERT_EQ(Press(*first), StartOutcome::kStarted);
    EXPECT_EQ(Press(*second), StartOutcome::kRefused);
    second->WaitUntilIdle();
    EXPECT_EQ(second->Snapshot()->exitCode, -3);
    EXPECT_NE(emu::ReadBlob("ProgramMSG.txt").find("Another MP run uses this tool folder: process"), std::string::npos);
    first->WaitUntilIdle();

    // One after the other, the second still holding the old counter in memory:
    // it takes its range from the stored counter.
    auto third = std::make_unique<engine::CMPEngine>(otherObserver, other);
    IniSettings stale = first->Snapshot()->settings;
    SetIniString(stale.serial_number, "AAAABBBB0001");
    third->SetSettings(stale);
    third->SetInteractive(false);
    third->TriggerScanThread();
    third->WaitUntilIdle();
    ASSERT_EQ(third->OnBnClickedButtonStart("AAAABBBB0001").get().outcome, StartOutcome::kStarted);
    third->WaitUntilIdle();
    EXPECT_EQ(third->Snapshot()->runResult, engine::kRunPass);
    std::set<std::string> all = Serials(m_Station, 4);
    for (const auto& serial : Serials(other, 4)) EXPECT_TRUE(all.insert(serial).second) << serial << " twice";
    EXPECT_EQ(StoredSerial(), "AAAABBBB0009");
}

TEST_F(SerialSafety, AStationInUseByAnotherToolFolderRefusesTheRunBeforeAnyBridgeIsWritten)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine(false);
    // Another process runs on the same bridges from its own tool folder.
    std::string holder;
    auto other = platform::FileLock::Acquire(m_Station.RunLockPath(), false, holder);
    ASSERT_TRUE(other) << holder;
    m_Station.ClearJournal();
    EXPECT_EQ(Press(*mp), StartOutcome::kRefused);
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->exitCode, -3);
    EXPECT_NE(emu::ReadBlob("ProgramMSG.txt").find("Another MP run uses this station: process"), std::string::npos);
    EXPECT_TRUE(m_Station.Journal().empty()) << "a refused run sent commands";
    EXPECT_FALSE(std::filesystem::exists(IniPath())) << "a refused run reserved serial numbers";

    // Once the other run ends, the station serves this one; the tool folder's
    // lock was given back with the refusal.
    other.reset();
    auto next = MakeEngine();
    EXPECT_EQ(Press(*next), StartOutcome::kStarted);
    next->WaitUntilIdle();
    EXPECT_EQ(next->Snapshot()->runResult, engine::kRunPass);
}

}  // namespace

namespace {

// The serial-number edit is bound to the settings: what the operator typed is
// judged against the stored counter, and it is what the bridges receive.
TEST_F(SerialSafety, ATypedSerialNumberIsTheOneWritten)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine(false);
    mp->UpdateSettings([](IniSettings& s) { s.config_format = 4; });  // tables composed from the settings
    EXPECT_EQ(Press(*mp), StartOutcome::kStarted);  // the file now holds the counter
    mp->WaitUntilIdle();
    ASSERT_EQ(StoredSerial(), "AAAABBBB0003");
    mp->UpdateSettings([](IniSettings& s) { SetIniString(s.serial_number, "AAAABBBB0200"); });  // the edit
    EXPECT_EQ(mp->OnBnClickedButtonStart("AAAABBBB0200").get().outcome, StartOutcome::kStarted);
    mp->WaitUntilIdle();
    EXPECT_EQ(Serials(m_Station, 2), (std::set<std::string>{"AAAABBBB0200", "AAAABBBB0201"}));
    EXPECT_EQ(StoredSerial(), "AAAABBBB0202");
    // The next Start with the advanced edit is no typed serial: the counter goes on.
    EXPECT_EQ(Press(*mp), StartOutcome::kStarted);
    mp->WaitUntilIdle();
    EXPECT_EQ(StoredSerial(), "AAAABBBB0204");
}

// One barcode scanned for several bridges would give them all one serial
// number: the run is refused, with the reason, before anything is written.
TEST_F(SerialSafety, ARunThatWouldRepeatASerialNumberIsRefusedBeforeAnythingIsWritten)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    auto mp = MakeEngine(false);
    mp->UpdateSettings([](IniSettings& s) {
        s.config_format = 4;
        s.SN_EditType = 3;  // from the barcode: taken unchanged for every bridge
        SetIniString(s.serial_number, "000SN-00AB12");
    });
    EXPECT_EQ(mp->OnBnClickedButtonStart("000SN-00AB12").get().outcome, StartOutcome::kRefused);
    mp->WaitUntilIdle();
    EXPECT_EQ(mp->Snapshot()->exitCode, -3);
    for (int id = 1; id <= 2; ++id) EXPECT_EQ(Bridge(id).ImageVersion(0), "240612000105") << id;
    const auto refusals = m_Observer.StartRefusals();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find("\"000SN-00AB12\" would be written to ports 0 and 1"), std::string::npos)
        << refusals[0];
}

// Serial numbers from the disk: a typed serial shorter than the minimum digits
// refuses the run with the described line.
TEST_F(SerialSafety, ADiskSerialShorterThanTheMinimumDigitsRefusesTheRun)
{
    ASSERT_TRUE(m_Station.World().Init(1));
    auto mp = MakeEngine(false);
    mp->UpdateSettings([](IniSettings& s) {
        s.SN_EditType = 4;
        s.SN_Numbers = 14;
    });
    EXPECT_EQ(mp->OnBnClickedButtonStart("1234").get().outcome, StartOutcome::kRefused);
    mp->WaitUntilIdle();
    EXPECT_EQ(emu::ReadBlob("ProgramMSG.txt"), "Serial Number Invalid, at least 14 digits\r\n\r\n");
    EXPECT_EQ(Bridge(1).ImageVersion(0), "240612000105");
}

}  // namespace
