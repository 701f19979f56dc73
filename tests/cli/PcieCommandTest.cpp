// devedactl pcie list on an emulated station.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "../common/TestSupport.h"

namespace {

struct CtlResult {
    int status;
    std::string output;
};

CtlResult RunPcieCtl(const std::string& arguments)
{
    const std::string command = std::string(DEVEDACTL_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    std::array<char, 4096> chunk;
    while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    return {WEXITSTATUS(status), output};
}

class PcieCommand : public ::testing::Test {
protected:
    std::string Station() const { return "--station=emu:" + m_Folder.Path().string() + "/st "; }
    testsupport::TempFolder m_Folder;
};

TEST_F(PcieCommand, ListPrintsTheTunnelledBridge)
{
    ASSERT_EQ(RunPcieCtl(Station() + "emu init --bridges 3").status, 0);
    ASSERT_EQ(RunPcieCtl(Station() + "emu set 2 u4mode=pcie").status, 0);
    const CtlResult r = RunPcieCtl(Station() + "pcie list");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("1 PCIe bridge(s) found\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("BDF:             14:00.0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("chip ID:         7956\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("U4 mode:         PCIE TNL\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("serial:          DV240600000000000002\n"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, ListWithoutTunnelledBridgesFindsNone)
{
    ASSERT_EQ(RunPcieCtl(Station() + "emu init --bridges 2").status, 0);
    const CtlResult r = RunPcieCtl(Station() + "pcie list --vid 2C7A --did 7953");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("0 PCIe bridge(s) found\n"), std::string::npos) << r.output;
}

TEST_F(PcieCommand, BadArgumentsAreUsageErrors)
{
    EXPECT_EQ(RunPcieCtl(Station() + "pcie").status, 2);
    EXPECT_EQ(RunPcieCtl(Station() + "pcie list --vid").status, 2);
    EXPECT_EQ(RunPcieCtl(Station() + "pcie list --vid XYZ").status, 2);
}

}  // namespace
