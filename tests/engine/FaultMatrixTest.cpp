// The fault matrix: every opcode a run sends, failing as a failed call or as a
// CHECK CONDITION, once or always; a bridge pulled out at several moments; a
// bridge that never returns from its reset. After each faulty run and after a
// clean run that follows it, the data-safety invariants must hold:
// - no port PASS unless its images and tables read back equal what was written,
// - no serial number on two bridges, and none at or past the stored counter,
// - the settings file loads,
// - no half-written line in the result log.
// The outcome of every scenario is printed as a table at the end of the suite.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "MPRunFixture.h"

namespace {

constexpr int kBridges = 3;
constexpr int kFaulty = 2;  // the bridge each scenario harms
constexpr int kAlways = 1000000;
constexpr int kNoMoment = -1;

// The opcodes a run with firmware update, configuration write and reload sends.
const uint8_t kRunOpcodes[] = {0x12, 0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE8};

struct Scenario {
    std::string name;
    int opcode = kNoMoment;  // the faulty opcode, when the scenario injects a fault
    emu::FaultMode mode = emu::FaultMode::CallFails;
    int count = 0;
    int unplugWhen = kNoMoment;  // pulled out once the run first sends this opcode (0: before Start)
    bool neverReturns = false;
};

std::string Hex2(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

std::vector<Scenario> AllScenarios()
{
    std::vector<Scenario> all;
    for (uint8_t opcode : kRunOpcodes)
        for (auto mode : {emu::FaultMode::CallFails, emu::FaultMode::CheckCondition})
            for (int count : {1, kAlways}) {
                const std::string how = mode == emu::FaultMode::CallFails ? "call" : "check";
                all.push_back({"op" + Hex2(opcode) + "_" + how + "_" + (count == 1 ? "once" : "always"), opcode, mode,
                               count, kNoMoment, false});
            }
    all.push_back({"unplug_before_start", kNoMoment, {}, 0, 0, false});
    for (int moment : {0xE1, 0xE3, 0xE2, 0xE8})
        all.push_back({"unplug_at_op" + Hex2(moment), kNoMoment, {}, 0, moment, false});
    all.push_back({"never_returns", kNoMoment, {}, 0, kNoMoment, true});
    return all;
}

struct MatrixRow {
    std::string name, faultyRun, nextRun;
    bool invariants = false;
};
std::vector<MatrixRow>& Rows()
{
    static std::vector<MatrixRow> rows;
    return rows;
}

class FaultMatrix : public enginetest::MPRun, public ::testing::WithParamInterface<Scenario> {
protected:
    static void TearDownTestSuite()
    {
        std::printf("\n%-24s | %-22s | %-22s | %s\n", "scenario", "faulty run", "next clean run", "invariants");
        std::printf("%s\n", std::string(24 + 3 + 22 + 3 + 22 + 3 + 10, '-').c_str());
        for (const auto& row : Rows())
            std::printf("%-24s | %-22s | %-22s | %s\n", row.name.c_str(), row.faultyRun.c_str(), row.nextRun.c_str(),
                        row.invariants ? "hold" : "BROKEN");
        std::fflush(stdout);
    }

    std::unique_ptr<engine::CMPEngine> MakeRunEngine()
    {
        auto mp = MakeEngine();
        mp->UpdateSettings([](IniSettings& s) {
            s.fw_reload = 1;
            s.USB4_U4Mode = 1;      // a mode that lets USB bridges reload
            s.config_format = 4;    // tables composed from the settings, serial number included
        });
        mp->WaitUntilIdle();
        return mp;
    }
    // Bridge id of each row of the device list, by USB serial number.
    std::map<int, int> BridgeOfRow(engine::CMPEngine& mp)
    {
        std::map<int, int> ids;
        const auto state = mp.Snapshot();
        for (int id = 1; id <= kBridges; ++id)
            for (uint32_t row = 0; row < state->devices.DevNums; ++row)
                if (state->devices.Devs[row].m_strSerialNumber == Bridge(id).Identity().serial)
                    ids[static_cast<int>(row)] = id;
        return ids;
    }
    static std::string Outcome(const engine::EngineSnapshot& state, uint32_t passBefore, uint32_t failBefore)
    {
        const char* result = state.runResult == engine::kRunPass   ? "PASS"
                             : state.runResult == engine::kRunFail ? "FAIL"
                                                                   : "none";
        return std::string(result) + " (" + std::to_string(state.table.passCount - passBefore) + " pass, " +
               std::to_string(state.table.failCount - failBefore) + " fail)";
    }
    // Starts a run; with `unplugWhen` set, pulls the faulty bridge out once the
    // run first sends that opcode. Returns the outcome text.
    std::string RunOnce(engine::CMPEngine& mp, int unplugWhen, std::map<int, int>& rows)
    {
        mp.WaitUntilIdle();  // a scan after a device change settles the device list first
        rows = BridgeOfRow(mp);
        const auto before = mp.Snapshot();
        m_Station.ClearJournal();
        // The bridge goes the moment the opcode first arrives, before it is
        // answered: the same moment of the run in every round.
        std::atomic<bool> pulled{false};
        if (unplugWhen > 0)
            m_Station.SetRequestWatcher([&](const platform::EmuRequest& r) {
                if (!r.cdb.empty() && r.cdb[0] == unplugWhen && !pulled.exchange(true))
                    m_Station.SetBridgePlugged(kFaulty, false);
            });
        const auto outcome = mp.OnBnClickedButtonStart(mp.Snapshot()->settings.serial_number).get().outcome;
        mp.WaitUntilIdle();
        m_Station.SetRequestWatcher({});
        if (unplugWhen > 0) {
            EXPECT_TRUE(pulled) << "the run never sent opcode " << Hex2(unplugWhen);
        }
        if (outcome != engine::StartOutcome::kStarted) return "not started";
        return Outcome(*mp.Snapshot(), before->table.passCount, before->table.failCount);
    }

    // Every invariant, each failing the test with its own message.
    void CheckInvariants(engine::CMPEngine& mp, const std::map<int, int>& rows)
    {
        const auto state = mp.Snapshot();
        const std::string image = emu::ReadBlob(m_Firmware);
        for (const auto& [row, id] : rows) {
            if (state->table.cells[row][engine::kColUpdate].text != engine::PassText ||
                state->results[row].UpdateFWResult == 0)
                continue;
            const emu::Bridge bridge = Bridge(id);
            for (int n = 0; n < 2; ++n) {
                if (!(n == 0 ? state->settings.image0 : state->settings.image1)) continue;
                const auto written = bridge.FirmwareImage(n);
                EXPECT_TRUE(std::string(written.begin(), written.end()) == image) << "PASS port " << row << " image " << n;
            }
            EXPECT_EQ(bridge.TableIdentity().serial, state->ports[row].serialWritten) << "PASS port " << row;
        }
        Ini stored;
        EXPECT_TRUE(stored.vLoadINIFile((m_Folder.Path() / "br_mp_Toolv0.6.ini").string())) << "settings file loads";
        std::set<std::string> serials;
        for (int id = 1; id <= kBridges; ++id) {
            const std::string serial = Bridge(id).TableIdentity().serial;
            if (serial.rfind("AAAABBBB", 0) != 0) continue;  // never written by the tool
            EXPECT_TRUE(serials.insert(serial).second) << serial << " on two bridges";
            EXPECT_LT(serial, std::string(stored.m_pINI.serial_number)) << serial << " would be handed out again";
        }
        // Every record starts with CR LF after the header and has as many fields as
        // the first record: a record cut short would have fewer.
        const std::string log = ResultLog(mp);
        size_t tabs = std::string::npos;
        for (size_t start = log.find("\r\n") + 2; start > 1 && start <= log.size();) {
            const size_t end = std::min(log.find("\r\n", start), log.size());
            const std::string line = log.substr(start, end - start);
            const auto lineTabs = static_cast<size_t>(std::count(line.begin(), line.end(), '\t'));
            if (tabs == std::string::npos) tabs = lineTabs;
            EXPECT_EQ(lineTabs, tabs) << "half-written line: " << line;
            EXPECT_EQ(line.find('\n'), std::string::npos) << "broken line: " << line;
            start = end + 2;
        }
    }
};

TEST_P(FaultMatrix, InvariantsHoldAfterTheFaultAndAfterTheNextRun)
{
    const Scenario& scenario = GetParam();
    ASSERT_TRUE(m_Station.World().Init(kBridges));
    if (scenario.neverReturns) m_Station.ModifyBridge(kFaulty, [](emu::Bridge& b) { b.Set("reset_fault", "never"); });
    auto mp = MakeRunEngine();
    ASSERT_EQ(mp->Snapshot()->devices.DevNums, static_cast<uint32_t>(kBridges));
    if (scenario.opcode != kNoMoment)
        m_Station.ModifyBridge(kFaulty, [&](emu::Bridge& b) {
            b.SetFault(static_cast<uint8_t>(scenario.opcode), scenario.mode, scenario.count);
        });
    if (scenario.unplugWhen == 0) {
        // The rows are mapped to bridges before Start: the removal must have
        // reached the device list by then, or a row would name the wrong bridge.
        m_Station.SetBridgePlugged(kFaulty, false);
        ASSERT_TRUE(mp->WaitUntil([](const engine::EngineSnapshot& s) { return s.devices.DevNums == kBridges - 1; },
                                  10000));
    }

    MatrixRow row{scenario.name, "", "", false};
    std::map<int, int> rows;
    row.faultyRun = RunOnce(*mp, scenario.unplugWhen, rows);
    CheckInvariants(*mp, rows);

    // The station mended: the bridge back, no fault; a new scan and a clean run.
    m_Station.ModifyBridge(kFaulty, [](emu::Bridge& b) {
        b.ClearFaults();
        b.Set("reset_fault", "none");
    });
    m_Station.SetBridgePlugged(kFaulty, true);
    mp->TriggerScanThread();
    mp->WaitUntilIdle();
    row.nextRun = RunOnce(*mp, kNoMoment, rows);
    CheckInvariants(*mp, rows);
    row.invariants = !HasFailure();
    Rows().push_back(row);
}

INSTANTIATE_TEST_SUITE_P(AllFaults, FaultMatrix, ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& param) { return param.param.name; });

// The matrix names every opcode a clean run sends, so a new step cannot escape it.
class FaultMatrixCoverage : public enginetest::MPRun {};

TEST_F(FaultMatrixCoverage, EveryOpcodeARunSendsIsInTheMatrix)
{
    ASSERT_TRUE(m_Station.World().Init(kBridges));
    auto mp = MakeEngine();
    mp->UpdateSettings([](IniSettings& s) {
        s.fw_reload = 1;
        s.USB4_U4Mode = 1;
        s.config_format = 4;
    });
    m_Station.ClearJournal();
    ASSERT_EQ(Start(*mp), engine::StartOutcome::kStarted);
    ASSERT_EQ(mp->Snapshot()->runResult, engine::kRunPass);
    std::set<int> sent;
    for (const auto& request : m_Station.Journal())
        if (!request.cdb.empty()) sent.insert(request.cdb[0]);
    ASSERT_FALSE(sent.empty());
    for (int opcode : sent)
        EXPECT_NE(std::find(std::begin(kRunOpcodes), std::end(kRunOpcodes), opcode), std::end(kRunOpcodes))
            << "opcode " << Hex2(opcode) << " is sent by a run but not in the fault matrix";
}

}  // namespace
