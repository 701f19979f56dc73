// devedactl pd as an engineer runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "CtlRunner.h"

namespace {

using clitest::RunCtl;

TEST(PdInspect, EveryFindingIsNamedWithFileAndLine)
{
    testsupport::TempFolder folder;
    const std::string path = (folder.Path() / "mcu.hex").string();
    std::ofstream(path) << ":020000040800F2\n"
                           ":0400000001020304F3\n"  // checksum F2 expected
                           ":04BFFE000102030435\n";  // beyond 48 KiB; no end record follows
    const auto r = RunCtl("pd inspect " + path);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("kind                STM MCU Intel HEX"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(path + ":2: record checksum 0xF3 differs from the computed 0xF2"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(path + ":3: Data record 0xBFFE..0xC001 beyond the 48 KiB MCU image"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(path + ": no End Of File record"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("verdict             REFUSED"), std::string::npos) << r.output;
}

TEST(PdInspect, RichtekImageShowsItsVersion)
{
    testsupport::TempFolder folder;
    const std::string path = (folder.Path() / "rt.bin").string();
    std::string image(0x4000, '\0');
    image[0x1000] = '\x07';
    image[0x1001] = '\x3A';
    std::ofstream(path, std::ios::binary) << image;
    const auto r = RunCtl("pd inspect " + path);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("version             3a07"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("vendor code         1"), std::string::npos) << r.output;
    EXPECT_EQ(RunCtl("pd inspect").status, 2);
}

}  // namespace

namespace {

using PdStation = clitest::StationTest;

// An emulated station of mixed controllers, updated as a whole; one controller
// corrupts a row and ends in the compare failure while the others pass.
TEST_F(PdStation, UpdateAllWithMixedControllers)
{
    const std::string st = Station();
    // Ten times real speed, not the usual hundred: the emulated flash writes and
    // the relink's re-scans take real time, and the 40 s relink limit must
    // outlast the power cycle of each port in turn on a busy machine.
    ASSERT_EQ(RunCtl(st + "emu init --time-scale 10 --bridges 3").status, 0);
    ASSERT_EQ(RunCtl(st + "emu set 1 pd.vendor=richtek pd.mcu=stm pd.replug_ms=300").status, 0);
    ASSERT_EQ(RunCtl(st + "emu set 2 pd.vendor=ccg3 pd.mcu=stm pd.replug_ms=300").status, 0);
    ASSERT_EQ(RunCtl(st + "emu set 3 pd.vendor=ccg3 pd.mode=2 pd.mcu=stm pd.corrupt_row=0x101").status, 0);
    EXPECT_EQ(RunCtl(st + "emu set 1 pd.colour=red").status, 2);
    const std::string pdBin = (m_Folder.Path() / "pd.bin").string();
    std::string image(0x4000, '\x11');
    image[0x1000] = '\xCD';
    image[0x1001] = '\xAB';
    std::ofstream(pdBin, std::ios::binary) << image;
    const std::string fixtures = PD_FIXTURES;
    const auto r = RunCtl(st + "pd update --all --pd " + pdBin + " --pd " + fixtures + "/ccg3_mode1.cyacd --mcu " +
                          fixtures + "/mcu_srec.hex");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("port 0: PASS (code 0)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("port 1: PASS (code 0)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("port 2: FAIL (code -3)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("port 0: message: Please power cycling Your [0 ]device!!!"), std::string::npos);
    EXPECT_NE(r.output.find("2 of 3 ports PASS"), std::string::npos) << r.output;
    // The power cycle moved the Richtek bridge to another disk; pd info reads its new version there.
    const size_t at = r.output.rfind("port 0: disk ");  // the summary line at the end
    ASSERT_NE(at, std::string::npos) << r.output;
    const int disk = std::atoi(r.output.c_str() + at + 13);
    EXPECT_NE(disk, 1);
    const auto info = RunCtl(st + "pd info --disk " + std::to_string(disk) + " --pd " + pdBin);
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("PD version          ABCD"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("PD file version     abcd"), std::string::npos) << info.output;
}

}  // namespace

namespace {

TEST_F(PdStation, RefusedFileStopsTheUpdateBeforeAnyPortIsTouched)
{
    const std::string st = Station();
    ASSERT_EQ(RunCtl(st + clitest::kEmuInit + " --bridges 1").status, 0);
    ASSERT_EQ(RunCtl(st + "emu set 1 pd.mcu=stm pd.replug_ms=300").status, 0);
    const std::string hex = (m_Folder.Path() / "mcu.hex").string();
    std::ofstream(hex) << ":0400000001020304F2\n";  // no End Of File record
    const auto r = RunCtl(st + "pd update --all --mcu " + hex);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find(hex + ": no End Of File record"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("refused files, nothing written"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("port 0:"), std::string::npos) << r.output;
    EXPECT_EQ(RunCtl(st + "emu show").output.find("mcu_flash"), std::string::npos);
    EXPECT_EQ(RunCtl(st + "pd update --disk 1").status, 2);
}

}  // namespace
