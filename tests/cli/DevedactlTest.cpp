// devedactl as an engineer runs it: station creation, raw blocks, faults.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <fstream>
#include <iterator>
#include <vector>

#include "CtlRunner.h"
#include "cli/CliText.h"

namespace {

using Result = clitest::CtlResult;
using clitest::RunCtl;
using Devedactl = clitest::StationTest;

TEST_F(Devedactl, RawRegisterReadOfUpperBankPrintsTheByte)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 2").status, 0);
    const Result r = RunCtl(Station() + "raw 1 \"E4 01 51 00 00 00\" --in 1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("CommandResult: 0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0000: 00\n"), std::string::npos) << r.output;  // 0x20000 of a legacy bridge
    const Result version = RunCtl(Station() + "raw 2 \"E4 06 50 07 F0 00\" --in 6");
    EXPECT_NE(version.output.find("0000: 24 06 12 00 01 05"), std::string::npos) << version.output;
}

TEST_F(Devedactl, InjectedFaultShowsAsFailedCommandThenClears)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    ASSERT_EQ(RunCtl(Station() + "emu fault 1 E0 check 1").status, 0);
    EXPECT_NE(RunCtl(Station() + "emu show").output.find("next 1 requests of opcode E0"), std::string::npos);
    const Result failed = RunCtl(Station() + "raw 1 \"E0 50 00 00 00 00\" --in 128");
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.output.find("CommandResult: -1"), std::string::npos);
    EXPECT_NE(failed.output.find("ScsiStatus: 0x02"), std::string::npos);
    EXPECT_EQ(RunCtl(Station() + "raw 1 \"E0 50 00 00 00 00\" --in 128").status, 0);
}

TEST_F(Devedactl, BadArgumentsAreNamed)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    const Result badCdb = RunCtl(Station() + "raw 1 \"E4 0\" --in 1");
    EXPECT_EQ(badCdb.status, 2);
    EXPECT_NE(badCdb.output.find("CDB-HEX"), std::string::npos);
    EXPECT_EQ(RunCtl(Station() + "raw 9 \"12 00 00 00 24 00\" --in 36").status, 1);  // no such disk
    EXPECT_EQ(RunCtl(Station() + "nosuch").status, 2);
    EXPECT_EQ(RunCtl(Station() + "emu fault 1 E4 sometimes 1").status, 2);
    // A serial of another radix is refused, not advanced with its digits dropped.
    const Result notHex = RunCtl("sn advance ZZZZ 5 --hex");
    EXPECT_EQ(notHex.status, 2);
    EXPECT_NE(notHex.output.find("SN 'ZZZZ' is not hexadecimal"), std::string::npos) << notHex.output;
    EXPECT_EQ(RunCtl("sn advance 12A4 1 --dec").status, 2);
    EXPECT_EQ(RunCtl("sn advance 00FF 1 --hex").output, "0100\n");
}

TEST(CliText, HexParsingAndDumps)
{
    EXPECT_EQ(cli::ParseHexBytes("E4 01 51"), (std::vector<uint8_t>{0xE4, 0x01, 0x51}));
    EXPECT_EQ(cli::ParseHexBytes("e40151"), (std::vector<uint8_t>{0xE4, 0x01, 0x51}));
    EXPECT_FALSE(cli::ParseHexBytes("E4 0"));
    EXPECT_FALSE(cli::ParseHexBytes("G1"));
    EXPECT_FALSE(cli::ParseInteger("12x", 0, 100));
    EXPECT_FALSE(cli::ParseInteger("101", 0, 100));
    EXPECT_EQ(cli::ParseInteger("0x10", 0, 100), 16);
    std::vector<uint8_t> bytes(17, 0xAB);
    EXPECT_EQ(cli::HexDump(bytes.data(), bytes.size(), true),
              "0000: AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB\n0010: AB\n");
}

}  // namespace

namespace {

// The firmware update of one bridge from the console: write, reset, and the
// list shows the new version under the bridge's new disk number.
TEST_F(Devedactl, WrittenFirmwareRunsAfterResetUnderANewDiskNumber)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 2").status, 0);
    std::vector<uint8_t> image(0x11000, 0x33);
    const uint8_t version[6] = {0x25, 0x02, 0x01, 0x00, 0x00, 0x42};
    std::copy(version, version + 6, image.begin() + 0x204);
    image[image.size() - 6] = 0x5A;  // checksum image for major revision 0
    const std::string file = (m_Folder.Path() / "BR_USB4_250201_000042.bin").string();
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

    const Result write = RunCtl(Station() + "fw write --disk 2 --image 0 " + file + " --verify");
    EXPECT_EQ(write.status, 0) << write.output;
    const Result reset = RunCtl(Station() + "reset --disk 2");
    ASSERT_EQ(reset.status, 0) << reset.output;
    EXPECT_NE(reset.output.find("found again on disk 3, firmware 250201000042"), std::string::npos) << reset.output;
    const Result list = RunCtl(Station() + "list");
    EXPECT_NE(list.output.find("disk number:     3\n"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("firmware:        250201000042"), std::string::npos) << list.output;
}

}  // namespace

namespace {

TEST_F(Devedactl, DiskRatesAndSectorFaultsAreSetAndCleared)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    EXPECT_EQ(RunCtl(Station() + "emu set 1 disk_read_mibps=400 disk_write_mibps=200").status, 0);
    EXPECT_EQ(RunCtl(Station() + "emu set 1 disk_read_mibps=fast").status, 2);
    EXPECT_EQ(RunCtl(Station() + "emu set 1 disk_corrupt_writes=2").status, 2);
    EXPECT_EQ(RunCtl(Station() + "emu fault 1 sectors 100-199 slow 3").status, 0);
    EXPECT_EQ(RunCtl(Station() + "emu fault 1 sectors 500-500 fail").status, 0);
    EXPECT_EQ(RunCtl(Station() + "emu fault 1 sectors 9-1 fail").status, 2);
    EXPECT_EQ(RunCtl(Station() + "emu fault 1 sectors 1-2 slow").status, 2);
    const auto ini = [this] {
        std::ifstream in(m_Folder.Path() / "st" / "bridge1" / "bridge.ini");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_NE(ini().find("disk_read_mibps = 400"), std::string::npos) << ini();
    EXPECT_NE(ini().find("disk_sector_faults = 100-199 slow 3;500-500 fail"), std::string::npos) << ini();
    EXPECT_EQ(RunCtl(Station() + "emu fault 1 clear").status, 0);
    EXPECT_EQ(ini().find("100-199"), std::string::npos) << ini();
}

}  // namespace
