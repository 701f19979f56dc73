// devedactl pcie list on an emulated station.
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
    ASSERT_EQ(RunCtl(Station() + "emu init --bridges 3").status, 0);
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
    ASSERT_EQ(RunCtl(Station() + "emu init --bridges 2").status, 0);
    const CtlResult r = RunCtl(Station() + "pcie list --vid 2C7A --did 7953");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("0 PCIe bridge(s) found\n"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, BadArgumentsAreUsageErrors)
{
    EXPECT_EQ(RunCtl(Station() + "pcie").status, 2);
    EXPECT_EQ(RunCtl(Station() + "pcie list --vid").status, 2);
    EXPECT_EQ(RunCtl(Station() + "pcie list --vid XYZ").status, 2);
}

}  // namespace
