// devedactl pcie on an emulated station: the bridges found, the functions
// listed and a BAR read.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "CtlRunner.h"

namespace {

using clitest::CtlResult;
using clitest::RunCtl;
using PcieCommand = clitest::StationTest;

TEST_F(PcieCommand, ListPrintsTheTunnelledBridge)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 3").status, 0);
    ASSERT_EQ(RunCtl(Station() + "emu set 2 u4mode=pcie").status, 0);
    const CtlResult r = RunCtl(Station() + "pcie list");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("1 PCIe bridge(s) found\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("BDF:             14:00.0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("chip ID:         7956\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("U4 mode:         PCIE TNL\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("serial:          DV240600000000000002\n"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, ListWithoutTunnelledBridgesFindsNone)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 2").status, 0);
    const CtlResult r = RunCtl(Station() + "pcie list --vid 2C7A --did 7953");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("0 PCIe bridge(s) found\n"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, FunctionsListsWhatTheStationSees)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 3").status, 0);
    ASSERT_EQ(RunCtl(Station() + "emu set 2 u4mode=pcie").status, 0);
    const CtlResult r = RunCtl(Station() + "pcie functions");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("12 PCIe function(s)\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0000:00:01.1  1ABC:0102  class 060400\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0000:15:00.0  2C7A:7950  class 060400\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0000:16:00.0  1ABC:5001  class 010802\n"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, BarReadsRegistersOfTheMappedBar)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    CtlResult r = RunCtl(Station() + "pcie bar 05:00.0 0 8");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "00000008: 00010400\n");
    r = RunCtl(Station() + "pcie bar 0000:05:00.0 0 0 3");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "00000000: 140103FF\n00000004: 00000020\n00000008: 00010400\n");
    // The last word of the BAR, then one past its end.
    r = RunCtl(Station() + "pcie bar 0000:05:00.0 0 3ffc 2");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("00003FFC: 00000000\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("offset 4000 lies outside BAR 0 (16384 bytes)"), std::string::npos) << r.output;
    r = RunCtl(Station() + "pcie bar 0000:01:00.0 0 0");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("BAR 0 of 0000:01:00.0 cannot be mapped"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, BadArgumentsAreUsageErrors)
{
    EXPECT_EQ(RunCtl(Station() + "pcie").status, 2);
    EXPECT_EQ(RunCtl(Station() + "pcie list --vid").status, 2);
    EXPECT_EQ(RunCtl(Station() + "pcie list --vid XYZ").status, 2);
    EXPECT_EQ(RunCtl(Station() + "pcie functions now").status, 2);
    for (const char* bar : {"", "05:00.0", "05:00.0 0", "05:00 0 0", "05:00.0 6 0", "05:00.0 0 2",
                            "05:00.0 0 0 0", "05:00.0 0 0 257", "05:00.0 0 0 1 1", "05:00.0 0 -4"})
        EXPECT_EQ(RunCtl(Station() + "pcie bar " + bar).status, 2) << bar;
}

}  // namespace
