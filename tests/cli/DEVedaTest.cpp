// DEVeda as an unattended station runs it: every exit code of the command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>

#include "CtlRunner.h"
#include "config/Ini.h"
#include "emu/Bridge.h"
#include "emu/KeyValueFile.h"
#include "emu/World.h"

#include <filesystem>
#include <fstream>

namespace {

class DEVedaStation : public clitest::StationTest {
protected:
    void SetUp() override
    {
        ::setenv("DEVEDA_HOME", m_Folder.Path().c_str(), 1);
        ASSERT_EQ(clitest::RunCtl(Station() + clitest::kEmuInit + " --bridges 2").status, 0);
        m_Firmware = (m_Folder.Path() / "BR_USB4_25_0115_00_0207.bin").string();
        ASSERT_EQ(clitest::RunCtl("emu image " + m_Firmware + " --version 250115000207 --size 70000").status, 0);
    }
    void TearDown() override { ::unsetenv("DEVEDA_HOME"); }
    void Settings(const std::string& values)
    {
        ASSERT_EQ(clitest::RunCtl("ini write " + (m_Folder.Path() / "br_mp_Toolv0.6.ini").string() + " " + values).status, 0);
    }
    // Runs DEVeda in the test folder; the exit status as the shell sees it.
    clitest::CtlResult Run(const std::string& options)
    {
        return testsupport::RunCommand("cd " + m_Folder.Path().string() + " && " + DEVEDA_PATH + " " + Station() +
                                       options + " 2>&1");
    }
    std::string m_Firmware;
};

TEST_F(DEVedaStation, FirmwareVersionCheck)
{
    EXPECT_EQ(Run("/C:240612000105").status, 0);
    EXPECT_EQ(Run("/c:240612000105").status, 0);        // the line is upper-cased
    EXPECT_EQ(Run("/C:240612000106").status, 256 - 2);  // -2
    EXPECT_EQ(Run("'/C:            '").status, 256 - 10);
    EXPECT_EQ(Run("/C:24061200010").status, 1);         // 11 characters: not the option, usage
    EXPECT_EQ(Run("/?").status, 1);
}

TEST_F(DEVedaStation, MPRunPassesThenFailsWithAFailingBridge)
{
    Settings("fw_enable=1 fw_binary_name=" + m_Firmware);
    const auto pass = Run("/S");
    EXPECT_EQ(pass.status, 0) << pass.output;
    EXPECT_NE(pass.output.find("result log: "), std::string::npos);
    ASSERT_EQ(clitest::RunCtl(Station() + "emu fault 2 E3 check 50").status, 0);
    const auto fail = Run("/S");
    EXPECT_EQ(fail.status, 255) << fail.output;  // -1
}

TEST_F(DEVedaStation, RefusedSettingsAndNoBridgeInTime)
{
    Settings("fw_enable=1 fw_binary_name=" + (m_Folder.Path() / "missing.bin").string());
    EXPECT_EQ(Run("/S").status, 256 - 3);
    Settings("CmdLineTimeOut=1");
    ASSERT_EQ(clitest::RunCtl(Station() + clitest::kEmuInit + " --bridges 0").status, 0);
    EXPECT_EQ(Run("/S").status, 256 - 4);
}

}  // namespace

namespace {

TEST_F(DEVedaStation, USB4ExportAndPowerConfiguration)
{
    const auto exported = Run("/O4");
    EXPECT_EQ(exported.status, 0) << exported.output;
    bool csv = false;
    for (const auto& entry : std::filesystem::directory_iterator(m_Folder.Path()))
        csv = csv || entry.path().filename().string().rfind("U4Data_", 0) == 0;
    EXPECT_TRUE(csv);

    const auto missing = Run("/PC");  // no "PowerConfiguration.bin": the first write fails with -1
    EXPECT_EQ(missing.status, 255);
    EXPECT_NE(missing.output.find("outcome: the run or a write failed: PowerConfiguration.bin does not exist"),
              std::string::npos)
        << missing.output;
    std::ofstream(m_Folder.Path() / "PowerConfiguration.bin") << "0x12,0x34,5,";
    EXPECT_EQ(Run("/PC").status, 0);
    const std::string stored = emu::ReadBlob(m_Folder.Path() / "st" / "bridge2" / "power.bin");
    ASSERT_EQ(stored.size(), 304u);
    EXPECT_EQ(static_cast<uint8_t>(stored[4]), 0x12);
}

}  // namespace

namespace {

// The terminal output alone tells which port failed in which step and why, and where the
// trace, the result log and the run's JSON are; the JSON follows its schema.
TEST_F(DEVedaStation, FailingBridgeNamedOnTheTerminalWithItsStep)
{
    Settings("fw_enable=1 fw_binary_name=" + m_Firmware);
    ASSERT_EQ(clitest::RunCtl(Station() + "emu fault 2 E3 check 50").status, 0);
    const auto fail = Run("/S");
    EXPECT_EQ(fail.status, 255) << fail.output;
    EXPECT_NE(fail.output.find("port 1: Update FAIL: the firmware could not be written, read back or verified\n"),
              std::string::npos)
        << fail.output;
    EXPECT_EQ(fail.output.find('\x1b'), std::string::npos);  // a pipe: no ANSI codes
    EXPECT_NE(fail.output.find("\ntrace: "), std::string::npos) << fail.output;
    EXPECT_NE(fail.output.find("\nresult log: "), std::string::npos) << fail.output;
    const size_t json = fail.output.find("\nrun result: ");
    ASSERT_NE(json, std::string::npos) << fail.output;
    const std::string path = fail.output.substr(json + 13, fail.output.find('\n', json + 1) - json - 13);
    const std::string source = DEVEDA_SOURCE_DIR;
    const auto check = clitest::RunProgram("python3", source + "/tests/cli/check_json_schema.py " + source +
                                                          "/docs/json/run-result.schema.json < " + path,
                                           "2>&1");
    EXPECT_EQ(check.output, "valid\n");
}

TEST_F(DEVedaStation, RefusalAtStartPrintsItsReason)
{
    Settings("fw_enable=1 fw_binary_name=" + (m_Folder.Path() / "missing.bin").string());
    const auto refused = Run("/S");
    EXPECT_EQ(refused.status, 256 - 3);
    EXPECT_NE(refused.output.find("outcome: Start refused the settings\ntrace: "), std::string::npos)
        << refused.output;
}

TEST_F(DEVedaStation, RefusalWithoutAMessageStillNamesItsCause)
{
    Settings("fw_enable=0");  // no step at all: the check refuses with only a trace line
    const auto refused = Run("/S");
    EXPECT_EQ(refused.status, 256 - 3);
    EXPECT_NE(refused.output.find("Start refused: no test step is switched on"), std::string::npos) << refused.output;
}

TEST_F(DEVedaStation, HelpListsExitCodesAsTheShellSeesThem)
{
    const auto help = clitest::RunProgram(DEVEDA_PATH, "--help", "2>&1");
    EXPECT_EQ(help.status, 0);
    for (const char* code : {"255  (-1)", "254  (-2)", "253  (-3)", "252  (-4)", "246  (-10)"})
        EXPECT_NE(help.output.find(code), std::string::npos) << code;
}

}  // namespace

namespace {

// DEVeda /S killed with SIGKILL at each step of a run, then run again: whatever
// moment the kill hits, no serial number reaches two bridges and the settings
// file loads.
class DEVedaKill : public DEVedaStation {
protected:
    std::filesystem::path TracePath() const { return m_Folder.Path() / "kill-trace.txt"; }
    // Starts DEVeda /S and kills it with SIGKILL once its trace holds `marker`.
    // True when the kill hit the running process.
    bool RunAndKillAt(const std::string& marker)
    {
        std::filesystem::remove(TracePath());
        std::string station = Station();
        station.pop_back();  // the trailing blank
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(m_Folder.Path().c_str()) != 0) ::_exit(127);
            ::setenv("DEVEDA_TRACE", TracePath().c_str(), 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(DEVEDA_PATH, "DEVeda", station.c_str(), "/S", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // The station's clock makes the whole run take a few seconds at most; a
        // run that shows no marker for 30 real seconds is stopped and reported.
        bool killed = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) return false;  // ended before the marker
            if (emu::ReadBlob(TracePath().string()).find(marker) != std::string::npos) {
                killed = ::kill(pid, SIGKILL) == 0;
                break;
            }
            ::usleep(1000);
        }
        if (!killed) ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return killed && WIFSIGNALED(status);
    }
    // The serial numbers the tool wrote to bridges are unique and all below the
    // stored counter, and the settings file loads; returns how many bridges hold one.
    size_t ExpectNoSerialTwice(const std::string& when)
    {
        Ini stored;
        EXPECT_TRUE(stored.vLoadINIFile((m_Folder.Path() / "br_mp_Toolv0.6.ini").string())) << when;
        const std::string next = stored.m_pINI.serial_number;
        emu::World world(m_Folder.Path() / "st");
        std::set<std::string> serials;
        for (int id : world.BridgeIds()) {
            const std::string serial = emu::Bridge(world.BridgeFolder(id)).TableIdentity().serial;
            if (serial.size() != next.size() || serial.compare(0, 8, next, 0, 8) != 0) continue;  // not the tool's
            EXPECT_TRUE(serials.insert(serial).second) << when << ": " << serial << " on two bridges";
            EXPECT_LT(serial, next) << when << ": " << serial << " would be handed out again";
        }
        return serials.size();
    }
};

TEST_F(DEVedaKill, AKillAtEachStepLeavesNoSerialTwiceAndSettingsThatLoad)
{
    Settings("fw_enable=1 fw_reload=1 USB4_U4Mode=1 config_format=4 fw_binary_name=" + m_Firmware);
    // Trace lines at the step boundaries of a run: the scan, the start checks
    // passed (serial numbers reserved), the configuration write, the firmware
    // write and the end of the update, before the reset.
    const char* const kSteps[] = {"Start Scan USB Port", "vCheck419", "start update usb config", "WriteFirmware",
                                  "wfw:1"};
    int kills = 0;
    for (const char* step : kSteps) {
        const bool killed = RunAndKillAt(step);
        kills += killed;
        ExpectNoSerialTwice(std::string("after the kill at ") + step);
        const auto next = Run("/S");
        const size_t written = ExpectNoSerialTwice(std::string("after the run that followed the kill at ") + step);
        if (next.status == 0) {
            EXPECT_EQ(written, 2u) << "a passing run wrote a serial number to each bridge";
        }
        std::printf("kill at %-24s %-6s -> next run exit %d\n", step, killed ? "killed" : "missed", next.status);
    }
    EXPECT_GE(kills, 3) << "too few kills hit a running process";
}

// Without a display the window cannot open: DEVeda says so, names the
// unattended options and ends with its own code instead of an abort.
TEST_F(DEVedaStation, NoDisplayIsSaidWithItsExitCode)
{
    const char* const kDisplayVariables[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : kDisplayVariables)
        if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    for (const char* name : kDisplayVariables) ::unsetenv(name);
    const auto bare = Run("");
    const auto debug = Run("/DBG3");
    for (const auto& [name, value] : saved) ::setenv(name.c_str(), value.c_str(), 1);
    EXPECT_EQ(bare.status, 2) << bare.output;
    // A build without the window says that instead; either way it names the unattended options.
    EXPECT_TRUE(bare.output.find("no display found") != std::string::npos ||
                bare.output.find("the operator window is not part of this build") != std::string::npos)
        << bare.output;
    EXPECT_NE(bare.output.find("/S"), std::string::npos) << bare.output;
    EXPECT_EQ(debug.status, 2) << debug.output;
}

// A hidden run writes each operator message as it stands and then "\r\n": the
// descriptor check's lines keep their own " \r\n".
TEST_F(DEVedaStation, HiddenRunMessagesKeepTheirText)
{
    Settings("SN_EditType=4 wr_test_enable=1");
    const auto ini = m_Folder.Path() / "br_mp_Toolv0.6.ini";
    std::string text = emu::ReadBlob(ini);
    const size_t at = text.find("vendor_id=");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, text.find('\r', at) - at, "vendor_id=ABC");  // too short, still hexadecimal
    std::ofstream(ini, std::ios::binary) << text;
    EXPECT_EQ(Run("/S").status, 256 - 3);
    EXPECT_EQ(emu::ReadBlob(m_Folder.Path() / "ProgramMSG.txt"), "VID Format not valid \r\n\r\n");
}

}  // namespace
