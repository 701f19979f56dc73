// The station as the executables choose it: real hardware unless an emulated
// station is named, and every emulated output saying so.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CtlRunner.h"
#include "emu/Bridge.h"
#include "emu/World.h"
#include "util/Clock.h"

namespace {

namespace fs = std::filesystem;
using clitest::RunCtl;

const std::string kFixtureRoot = std::string(PLATFORM_FIXTURES) + "/station-tree";

// Runs with the Linux station's root set to the fixture tree and no station named.
class LinuxStationChoice : public clitest::StationTest {
protected:
    void SetUp() override
    {
        ::unsetenv("DEVEDA_STATION");
        ::setenv("DEVEDA_LINUX_ROOT", kFixtureRoot.c_str(), 1);
        ::setenv("DEVEDA_HOME", m_Folder.Path().c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("DEVEDA_LINUX_ROOT");
        ::unsetenv("DEVEDA_HOME");
    }
};

TEST_F(LinuxStationChoice, ListWithoutAStationShowsTheFixturesBridgesAndRefusals)
{
    const clitest::CtlResult list = RunCtl("list");
    EXPECT_EQ(list.output.rfind("Linux station (real hardware, root " + kFixtureRoot + ")\n", 0), 0u) << list.output;
    for (const char* line : {"disk 1: BRV NVMe Bridge, serial DV240600000000000001, 488386 MB, USB 2-1 2B9D:7951 uas\n",
                             "disk 3: BRV NVMe Bridge, serial DV240600000000000002, 244198 MB, USB 2-2.3 2B9D:7951 "
                             "usb-storage\n",
                             "disk 4: BRV NVMe Bridge, serial DV240600000000000003, 122104 MB, USB 4-1 2B9D:7951 uas; "
                             "refused: mounted at /srv/data, a system path\n",
                             "; refused: disk 0 holds the system root", "STICK0001", "; refused: not behind a bridge"})
        EXPECT_NE(list.output.find(line), std::string::npos) << line << "\n" << list.output;
    EXPECT_EQ(list.output.find("EMULATED"), std::string::npos);
    // Bridges that failed identification still carry their hub's port count.
    EXPECT_NE(list.output.find("hub port:        1 of 4 on "), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("hub port:        3 of 4 on "), std::string::npos) << list.output;
}

// The fixture's bridges are on the USB tree but their disks cannot be reached:
// they are listed as bridges that failed identification, and the run never passes.
TEST_F(LinuxStationChoice, DEVedaListsUnreachableBridgesAsFailedAndWritesNoResultLog)
{
    ASSERT_EQ(RunCtl("ini write " + (m_Folder.Path() / "br_mp_Toolv0.6.ini").string() + " CmdLineTimeOut=1").status, 0);
    const auto [status, output] =
        testsupport::RunCommand("cd " + m_Folder.Path().string() + " && " + DEVEDA_PATH + " /S 2>&1");
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(status, 256 - 4) << "the bridges were seen: not a plug-in time-out\n" << output;
    // Each row's status names its failure (cut to the column's width).
    size_t failedRows = 0;
    for (const char* failure : {" INQUIR ", " Disk n "})
        for (size_t at = output.find(failure); at != std::string::npos; at = output.find(failure, at + 1))
            ++failedRows;
    EXPECT_GE(failedRows, 3u) << output;
    for (const auto& entry : fs::directory_iterator(m_Folder.Path()))
        EXPECT_TRUE(entry.path().filename() == "br_mp_Toolv0.6.ini" || entry.path().filename() == "DEVeda-trace.txt" ||
                    entry.path().filename() == ".deveda-run.lock")
            << entry.path();
    // The recorded tree is read, never written (the station's run lock lives elsewhere).
    EXPECT_FALSE(fs::exists(kFixtureRoot + "/run")) << "the run wrote into the recorded tree";
}

TEST_F(LinuxStationChoice, EmulatedOutputsSayEmulated)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    const clitest::CtlResult list = RunCtl(Station() + "list");
    EXPECT_EQ(list.output.rfind("EMULATED station in " + (m_Folder.Path() / "st").string() + "\n", 0), 0u)
        << list.output;
    const clitest::CtlResult trace = RunCtl(Station() + "--debug=2 list");
    EXPECT_NE(trace.output.find("EMULATED station:"), std::string::npos) << trace.output;

    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 0").status, 0);
    ASSERT_EQ(RunCtl("ini write " + (m_Folder.Path() / "br_mp_Toolv0.6.ini").string() + " CmdLineTimeOut=1").status, 0);
    const std::string output =
        testsupport::RunCommand("cd " + m_Folder.Path().string() + " && " + DEVEDA_PATH + " " + Station() + "/S").output;
    ASSERT_FALSE(output.empty());
    const std::string first = output.substr(0, output.find('\n'));
    EXPECT_EQ(first.rfind("*** EMULATED station in ", 0), 0u) << first;
}

TEST_F(LinuxStationChoice, BadChoicesAreClearErrors)
{
    const fs::path typo = m_Folder.Path() / "typo";
    clitest::CtlResult r = RunCtl("--station=emu:" + typo.string() + " list");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("no station there (create one with devedactl --station=emu:"), std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(typo));
    r = RunCtl("--station=emu:" + typo.string() + " emu show");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(typo));

    r = RunCtl("--station= list");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("empty"), std::string::npos) << r.output;

    std::ofstream(m_Folder.Path() / "afile") << "x";
    r = RunCtl("--station=emu:" + (m_Folder.Path() / "afile").string() + " list");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("a file, not a folder"), std::string::npos) << r.output;
    r = RunCtl("--station=emu:" + (m_Folder.Path() / "afile").string() + " emu init");
    EXPECT_EQ(r.status, 2);

    r = RunCtl("--station=emu:" + (m_Folder.Path() / std::string(300, 'x')).string() + " emu init");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("longer than 255"), std::string::npos) << r.output;
    r = RunCtl("--station=bogus list");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("expected emu:DIR|linux"), std::string::npos) << r.output;
}

}  // namespace

namespace {

// A station made with --time-scale keeps its clock in its folder, and every
// process that opens it runs on that clock: a reset sent by devedactl is
// stamped with the station's time, far ahead of the wall clock.
TEST_F(LinuxStationChoice, EveryProcessOfAnEmulatedStationRunsOnItsClock)
{
    const int64_t wallAtInit = util::RealClock().NowMs();
    ASSERT_EQ(RunCtl(Station() + "emu init --time-scale 1000 --bridges 1").status, 0);
    const std::string shown = RunCtl(Station() + "emu show").output;
    EXPECT_NE(shown.find("\nclock: 1000 times real time\n"), std::string::npos) << shown;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // 100 s of station time
    const clitest::CtlResult reset = RunCtl(Station() + "raw 1 \"E8 00 00 00 00 00\"");
    ASSERT_EQ(reset.status, 0) << reset.output;
    const fs::path folder = m_Folder.Path() / "st";
    const int64_t stamp = std::stoll(emu::Bridge(emu::World(folder).BridgeFolder(1)).Get("reset_at_ms", "0"));
    const auto time = emu::World(folder).Time();
    ASSERT_TRUE(time.has_value());
    EXPECT_GE(stamp, wallAtInit + 90 * 1000) << "the reset was stamped on the wall clock";
    EXPECT_LE(stamp, time->At(util::RealClock().NowMs())) << "the reset is stamped in the station's future";

    // Changing the scale keeps the station's time going on from where it is.
    const int64_t before = time->At(util::RealClock().NowMs());
    ASSERT_EQ(RunCtl(Station() + "emu set --time-scale 1").status, 0);
    const auto slowed = emu::World(folder).Time();
    ASSERT_TRUE(slowed.has_value());
    EXPECT_EQ(slowed->scale, 1);
    EXPECT_GE(slowed->At(util::RealClock().NowMs()), before);
    EXPECT_EQ(RunCtl(Station() + "emu set --time-scale 0").status, 2);
    EXPECT_EQ(RunCtl(Station() + "emu init --time-scale fast").status, 2);
}

}  // namespace
