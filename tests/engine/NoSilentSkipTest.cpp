// A bridge on the station that fails identification is listed, counted and fails
// the run; fewer bridges than expected is a failure: a run never passes while a
// bridge on the station was left out.
#include "MPRunFixture.h"

namespace {

using engine::StartOutcome;

constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpRegisterRead = 0xE4;
constexpr int kAlways = 1000000;
const char* const kOldVersion = "240612000105";
const char* const kNewVersion = "250115000207";

class NoSilentSkip : public enginetest::MPRun {
protected:
    // The row of the bridge with this USB serial number, or -1.
    static int RowOf(engine::CMPEngine& mp, const std::string& serial)
    {
        const auto state = mp.Snapshot();
        for (uint32_t i = 0; i < state->devices.DevNums; ++i)
            if (state->devices.Devs[i].m_strSerialNumber == serial) return static_cast<int>(i);
        return -1;
    }
    std::string UsbSerial(int id) { return Bridge(id).Identity().serial; }
    // Runs unattended with bridge 1 failing `opcode` `count` times from the scan
    // on; checks that the scan listed it with `failure` and that the run failed
    // it alone.
    void ExpectListedAndFailed(uint8_t opcode, int count, const std::string& failure)
    {
        ASSERT_TRUE(m_Station.World().Init(4));
        Fault(1, opcode, count);
        auto mp = MakeEngine(false);
        ASSERT_EQ(mp->Snapshot()->devices.DevNums, 4u);
        const int row = RowOf(*mp, UsbSerial(1));
        ASSERT_GE(row, 0);
        EXPECT_EQ(mp->Snapshot()->devices.Devs[row].m_strIdentifyFailure, failure);
        EXPECT_EQ(Cell(*mp, row, engine::kColStatus).text, failure);

        ASSERT_EQ(Start(*mp), StartOutcome::kStarted);
        const auto state = mp->Snapshot();
        EXPECT_EQ(state->runResult, engine::kRunFail);
        EXPECT_EQ(state->exitCode, -1);
        EXPECT_EQ(state->table.failCount, 1u);
        EXPECT_EQ(state->table.passCount, 3u);
        EXPECT_EQ(Cell(*mp, row, engine::kColUpdate).text, engine::FailText);
        EXPECT_EQ(Cell(*mp, row, engine::kColStatus).text, failure);
        EXPECT_EQ(Bridge(1).ImageVersion(0), kOldVersion);  // nothing was sent to it
        EXPECT_EQ(state->ports[row].serialWritten, "");
        for (int id = 2; id <= 4; ++id) EXPECT_EQ(Bridge(id).ImageVersion(0), kNewVersion) << id;
        // The result log has a line for it too: one per bridge after the header.
        const std::string log = ResultLog(*mp);
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
    }
};

TEST_F(NoSilentSkip, ABridgeWhoseInquiryFailsOnceIsListedAndFailsTheRun)
{
    ExpectListedAndFailed(kOpInquiry, 1, "INQUIRY FAIL");
}

TEST_F(NoSilentSkip, ABridgeWhoseInquiryAlwaysFailsIsListedAndFailsTheRun)
{
    ExpectListedAndFailed(kOpInquiry, kAlways, "INQUIRY FAIL");
}

TEST_F(NoSilentSkip, ABridgeWhoseRegisterReadsAlwaysFailIsListedAndFailsTheRun)
{
    ExpectListedAndFailed(kOpRegisterRead, kAlways, "FW version read FAIL");
}

TEST_F(NoSilentSkip, ARegisterReadFailingOnceStillIdentifiesTheBridge)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    Fault(1, kOpRegisterRead, 1);
    auto mp = MakeEngine(false);
    ASSERT_EQ(mp->Snapshot()->devices.DevNums, 2u);
    for (uint32_t i = 0; i < 2; ++i) EXPECT_EQ(mp->Snapshot()->devices.Devs[i].m_strIdentifyFailure, "") << i;
}

TEST_F(NoSilentSkip, ADeviceWithAnotherIdentityThatFailsInquiryIsNotABridge)
{
    ASSERT_TRUE(m_Station.World().Init(2));
    m_Station.ModifyBridge(1, [](emu::Bridge& b) {
        b.Set("usb_vid", std::to_string(0x1234));
        b.SetFault(kOpInquiry, emu::FaultMode::CallFails, kAlways);
    });
    auto mp = MakeEngine(false);
    ASSERT_EQ(mp->Snapshot()->devices.DevNums, 1u);
    EXPECT_EQ(mp->Snapshot()->devices.Devs[0].m_strIdentifyFailure, "");
}

TEST_F(NoSilentSkip, FewerBridgesThanExpectedRefuseTheRunAsAFailure)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine(false);
    mp->UpdateSettings([](IniSettings& s) { s.auto_mp_DevNum = 4; });
    EXPECT_EQ(Start(*mp), StartOutcome::kRefused);
    EXPECT_EQ(mp->Snapshot()->exitCode, -1);
    EXPECT_NE(emu::ReadBlob("ProgramMSG.txt").find("Expected 4 bridges, found 3."), std::string::npos);
    for (int id = 1; id <= 3; ++id) EXPECT_EQ(Bridge(id).ImageVersion(0), kOldVersion) << id;
}

TEST_F(NoSilentSkip, AsManyBridgesAsExpectedRun)
{
    ASSERT_TRUE(m_Station.World().Init(3));
    auto mp = MakeEngine(false);
    mp->UpdateSettings([](IniSettings& s) { s.auto_mp_DevNum = 3; });
    ASSERT_EQ(Start(*mp), StartOutcome::kStarted);
    EXPECT_EQ(mp->Snapshot()->runResult, engine::kRunPass);
    EXPECT_EQ(mp->Snapshot()->exitCode, 0);
}

}  // namespace
