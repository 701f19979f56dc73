// Whole PD and MCU updates on an emulated station with a scaled clock: every
// controller kind, the faults with their result codes while other ports pass,
// and many MCU ports at once.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "emu/PdTunnel.h"
#include "pd/PDPorts.h"
#include "pd/PDUpdate.h"
#include "platform/emu/EmuStation.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace pd;

std::string Fixture(const std::string& name) { return std::string(PD_FIXTURES) + "/" + name; }

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Records what the model reports; calls come from the test's own thread.
class RecordingView final : public IPDUpdateObserver {
public:
    explicit RecordingView(platform::IStation& station) : m_Station(station) {}
    void OnStatus(int port, int code) override { status[port] = code; }
    void OnProgress(int port, int percent, uint32_t rgb) override
    {
        progress[port] = percent;
        bar[port] = rgb;
    }
    void OnVersion(int port, const std::string& text) override { version[port] = text; }
    void OnMessage(int port, const std::string& text) override { messages[port].push_back(text); }
    void OnPowerCycleRequest(int, int drive) override { m_Station.OperatorPowerCycle(static_cast<uint32_t>(drive)); }
    void OnFinished(int port, int result) override { finished[port] = result; }
    bool Said(int port, const std::string& part) const
    {
        const auto it = messages.find(port);
        if (it == messages.end()) return false;
        for (const auto& m : it->second)
            if (m.find(part) != std::string::npos) return true;
        return false;
    }

    std::map<int, int> status, progress, finished;
    std::map<int, uint32_t> bar;
    std::map<int, std::string> version;
    std::map<int, std::vector<std::string>> messages;

private:
    platform::IStation& m_Station;
};

class PDUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Ten times real speed: the emulated commands still take real time, and
        // the 40 s relink limit must outlast eight ports searching one after another.
        util::SetClock(std::make_shared<util::ScaledClock>(10.0));
        std::string image(kRichtekImageSize, '\0');
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 5 + 1);
        m_RichtekPath = (m_Folder.Path() / "pd.bin").string();
        std::ofstream(m_RichtekPath, std::ios::binary) << image;
    }
    void TearDown() override { util::SetClock(std::make_shared<util::RealClock>()); }

    void Station(int bridges)
    {
        m_Emu = std::make_unique<platform::EmuStation>(m_Folder.Path() / "station");
        ASSERT_TRUE(m_Emu->World().Init(bridges));
        m_View = std::make_unique<RecordingView>(*m_Emu);
    }
    void Fit(int bridge, const std::string& settings)
    {
        std::istringstream words(settings);
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            std::string error;
            ASSERT_TRUE(emu::PdTunnel::ApplySetting(m_Emu->World().BridgeFolder(bridge), word.substr(0, eq),
                                                    word.substr(eq + 1), error))
                << error;
        }
    }
    emu::PdTunnel Tunnel(int bridge) { return emu::PdTunnel(m_Emu->World().BridgeFolder(bridge)); }
    std::vector<PDPortOutcome> Run(PDUpdateSettings settings)
    {
        CPDUpdateDlg dialog(*m_Emu, std::move(settings), RelinkBySerial(*m_Emu), *m_View);
        EXPECT_TRUE(dialog.LoadFiles());
        const auto ports = FindPDPorts(*m_Emu);
        return dialog.OnBnClickedButtonPdStart(ports);
    }

    testsupport::TempFolder m_Folder;
    std::string m_RichtekPath;
    std::unique_ptr<platform::EmuStation> m_Emu;
    std::unique_ptr<RecordingView> m_View;
};

TEST_F(PDUpdate, MixedControllersAllTakeTheirImagesByteForByte)
{
    Station(4);
    Fit(1, "vendor=richtek mcu=stm replug_ms=1500");
    Fit(2, "vendor=ccg3 mcu=stm replug_ms=1500");
    Fit(3, "vendor=ccg3 mode=2 mcu=stm replug_ms=1500");
    Fit(4, "vendor=richtek mcu=stm replug_ms=1500");
    const auto outcomes = Run({{m_RichtekPath, Fixture("ccg3_mode1.cyacd")}, Fixture("mcu_srec.hex"), true, true});
    ASSERT_EQ(outcomes.size(), 4u);
    const auto richtek = ReadAll(m_RichtekPath);
    const auto cyacd = LoadPDFirmwareFile(Fixture("ccg3_mode1.cyacd"));
    const auto mcu = ReadAll(Fixture("mcu_srec.bin"));
    for (int port = 0; port < 4; ++port) {
        EXPECT_EQ(outcomes[port].result, 0) << "port " << port;
        EXPECT_TRUE(outcomes[port].pdPass && outcomes[port].mcuPass);
        EXPECT_EQ(m_View->status[port], kPDStatusPass);
        EXPECT_EQ(m_View->progress[port], 100);
        EXPECT_TRUE(m_View->Said(port, "Please power cycling Your [" + std::to_string(port) + " ]device!!!"));
        EXPECT_TRUE(Tunnel(port + 1).McuFlash(0, static_cast<uint32_t>(mcu.size())) == mcu) << "port " << port;
    }
    EXPECT_TRUE(Tunnel(1).PdMemory(0, kRichtekImageSize) == richtek);
    EXPECT_TRUE(Tunnel(4).PdMemory(0, kRichtekImageSize) == richtek);
    for (int bridge : {2, 3}) {
        for (const auto& row : cyacd.cypress.rows) {
            if (row.wRowNum >= 1022) continue;  // the controller's own rows
            EXPECT_TRUE(Tunnel(bridge).PdMemory(row.wRowNum * 128u, 128) ==
                        std::string(row.ucData.begin(), row.ucData.end()));
        }
    }
    // The versions after the update: Richtek from 0x1001/0x1000, the CCG3s on their new banks.
    char richtekVersion[8];
    std::snprintf(richtekVersion, sizeof richtekVersion, "%02X%02X", static_cast<uint8_t>(richtek[0x1001]),
                  static_cast<uint8_t>(richtek[0x1000]));
    EXPECT_EQ(m_View->version[0], std::string(richtekVersion) + "/FFFF");
    EXPECT_EQ(m_View->version[1], cyacd.version + "/FFFF \nBank 2");
    EXPECT_EQ(m_View->version[2], cyacd.version + "/FFFF \nBank 1");
}

TEST_F(PDUpdate, EachFaultGivesItsResultWhileTheOthersPass)
{
    Station(6);
    Fit(1, "vendor=ccg3 replug_ms=1000 corrupt_row=0x101");  // a row reads back different
    Fit(2, "vendor=richtek replug_ms=1000 replug=never");    // does not come back
    Fit(3, "vendor=richtek replug_ms=1000 corrupt_row=5");   // a word reads back different
    Fit(4, "vendor=ccg3 replug_ms=1000 fail=2D");            // the flash mode always fails
    Fit(5, "vendor=ccg3 replug_ms=1000 no_answer=1");        // never answers 0x5A
    Fit(6, "vendor=ccg3 replug_ms=1000");
    const auto outcomes = Run({{m_RichtekPath, Fixture("ccg3_mode1.cyacd")}, "", true, false});
    ASSERT_EQ(outcomes.size(), 6u);
    EXPECT_EQ(outcomes[0].result, kPDResultCompare);
    EXPECT_EQ(outcomes[1].result, kPDResultRelinkTimeOut);
    EXPECT_EQ(m_View->status[1], kPDStatusTimeOut);
    EXPECT_TRUE(m_View->Said(1, "PO[1] Wait relink failed, Timeout"));
    EXPECT_EQ(outcomes[2].result, kPDResultCompare);
    EXPECT_EQ(m_View->bar[2], kPDBarFailed);
    EXPECT_EQ(outcomes[3].result, -1);
    EXPECT_TRUE(m_View->Said(3, "Config PD[3] Flash Failed!!"));
    EXPECT_EQ(outcomes[4].result, kPDResultNotRecognised);
    EXPECT_EQ(outcomes[5].result, kPDResultPass);
    EXPECT_EQ(m_View->status[5], kPDStatusPass);
    for (int port = 0; port < 5; ++port) EXPECT_EQ(m_View->bar[port], kPDBarFailed) << port;
}

TEST_F(PDUpdate, EveryMCUPortEntersItsOwnBootloader)
{
    // With one flag for all ports, the first port's entry would make the others
    // skip theirs, and their flash-mode entry would fail.
    Station(8);
    for (int bridge = 1; bridge <= 8; ++bridge) Fit(bridge, "mcu=stm replug_ms=500");
    const auto outcomes = Run({{}, Fixture("mcu_intelhex.hex"), false, true});
    ASSERT_EQ(outcomes.size(), 8u);
    const auto mcu = ReadAll(Fixture("mcu_intelhex.bin"));
    for (int port = 0; port < 8; ++port) {
        EXPECT_EQ(outcomes[port].result, 0) << port;
        EXPECT_TRUE(outcomes[port].mcuPass);
        EXPECT_EQ(m_View->version[port], "FFFF");
        EXPECT_TRUE(Tunnel(port + 1).McuFlash(0, static_cast<uint32_t>(mcu.size())) == mcu) << port;
    }
}

TEST_F(PDUpdate, EightPortsWithMCUAndPDAtOnce)
{
    Station(8);
    for (int bridge = 1; bridge <= 8; ++bridge)
        Fit(bridge, std::string(bridge % 2 ? "vendor=ccg3" : "vendor=cypress version_row=0x40") +
                        " mcu=stm replug_ms=500");
    const auto outcomes = Run({{Fixture("cypress_low.cyacd")}, Fixture("mcu_srec.hex"), true, true});
    ASSERT_EQ(outcomes.size(), 8u);
    for (int port = 0; port < 8; ++port) EXPECT_EQ(outcomes[port].result, 0) << port;
}

TEST_F(PDUpdate, FileForAnotherChipIsAMisMatch)
{
    Station(1);
    Fit(1, "vendor=richtek replug_ms=500");
    const auto outcomes = Run({{Fixture("ccg3_mode1.cyacd")}, "", true, false});
    EXPECT_EQ(outcomes[0].result, kPDResultNotRecognised);
    EXPECT_EQ(m_View->status[0], kPDStatusMisMatch);
    EXPECT_TRUE(m_View->Said(0, "PD File is not suitable PD Chip!!!"));
    EXPECT_TRUE(Tunnel(1).PdMemory(0, 16) == std::string(16, '\0'));
}

TEST(PDStatus, TextsAndColours)
{
    EXPECT_STREQ(Show_Message(kPDStatusMisMatch).text, "Mis-Match");
    EXPECT_EQ(Show_Message(kPDStatusMisMatch).rgb, 0xFFA500u);
    EXPECT_STREQ(Show_Message(kPDStatusReady).text, "Ready");
    EXPECT_EQ(Show_Message(kPDStatusReady).rgb, 0x14FA14u);
    EXPECT_STREQ(Show_Message(kPDStatusComparing).text, "Comparing");
    EXPECT_STREQ(Show_Message(kPDStatusEmpty).text, "");
    EXPECT_EQ(Show_Message(kPDStatusEmpty).rgb, 0xFFFFFFu);
}

}  // namespace
