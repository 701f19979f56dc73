// devedactl ini show / set / write as an engineer uses them on a settings file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "CtlRunner.h"

namespace {

using clitest::RunCtl;
using clitest::RunCtlStdout;

class IniCommand : public ::testing::Test {
protected:
    std::string File(const std::string& name) const { return (m_Folder.Path() / name).string(); }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(File(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    testsupport::TempFolder m_Folder;
};

TEST_F(IniCommand, SetChangesOneKeyAndKeepsEveryOtherLineAndTheSerial)
{
    ASSERT_EQ(RunCtl("ini write " + File("a.ini") + " serial_number=AAAABBBB0042").status, 0);
    const std::string before = Read("a.ini");
    const auto set = RunCtl("ini set " + File("a.ini") + " CmdLineTimeOut=0");
    ASSERT_EQ(set.status, 0) << set.output;
    std::string expected = before;
    expected.replace(expected.find("CmdLineTimeOut=35"), 17, "CmdLineTimeOut=0");
    EXPECT_EQ(Read("a.ini"), expected);
    EXPECT_EQ(RunCtlStdout("ini show " + File("a.ini") + " serial_number").output, "AAAABBBB0042\n");
    EXPECT_EQ(RunCtlStdout("ini show " + File("a.ini") + " cmdlinetimeout").output, "0\n");
    EXPECT_EQ(RunCtl("ini check " + File("a.ini")).status, 0);
    EXPECT_FALSE(std::filesystem::exists(File("a.ini.tmp")));
}

TEST_F(IniCommand, RefusedValueNamesKeyAndRuleAndChangesNothing)
{
    ASSERT_EQ(RunCtl("ini write " + File("a.ini")).status, 0);
    const std::string before = Read("a.ini");
    const auto yes = RunCtl("ini set " + File("a.ini") + " CmdLineTimeOut=5 fw_enable=yes");
    EXPECT_EQ(yes.status, 1);
    EXPECT_NE(yes.output.find("fw_enable=yes: a number from 0 to 1 is expected"), std::string::npos) << yes.output;
    const auto unknown = RunCtl("ini set " + File("a.ini") + " fw_enabel=1");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.output.find("no such key"), std::string::npos) << unknown.output;
    // A value only the whole file can judge: a label too long for FAT32.
    const auto label = RunCtl("ini set " + File("a.ini") + " drive_label_name=TWELVECHARSX");
    EXPECT_EQ(label.status, 1);
    EXPECT_NE(label.output.find("Invalid DiskLabel Size"), std::string::npos) << label.output;
    EXPECT_EQ(Read("a.ini"), before);
    EXPECT_EQ(RunCtl("ini set " + File("a.ini") + " CmdLineTimeOut").status, 2);
    // A new file is held to the same rules.
    EXPECT_EQ(RunCtl("ini write " + File("b.ini") + " fw_enable=yes").status, 1);
    EXPECT_FALSE(std::filesystem::exists(File("b.ini")));
}

TEST_F(IniCommand, DeviceOptionsAreSetBesideTheFileAndShown)
{
    ASSERT_EQ(RunCtl("ini write " + File("a.ini")).status, 0);
    const std::string before = Read("a.ini");
    ASSERT_EQ(RunCtl("ini set " + File("a.ini") + " eup=1 pcie_aspm=1 USB4_20G=0").status, 0);
    EXPECT_EQ(Read("a.ini"), before);
    EXPECT_EQ(RunCtlStdout("ini show " + File("a.ini") + " pcie_aspm").output, "1\n");
    const auto all = RunCtlStdout("ini show " + File("a.ini"));
    EXPECT_NE(all.output.find("\neup=1\n"), std::string::npos) << all.output;
    EXPECT_NE(all.output.find("\nUSB4_20G=0\n"), std::string::npos) << all.output;
    EXPECT_NE(all.output.find("\nforce_pcie_lane=3\n"), std::string::npos) << all.output;
    EXPECT_NE(all.output.find("\nserial_number=AAAABBBB0001\n"), std::string::npos) << all.output;
    // A second change keeps the first.
    ASSERT_EQ(RunCtl("ini set " + File("a.ini") + " two_leds=1").status, 0);
    EXPECT_EQ(RunCtlStdout("ini show " + File("a.ini") + " eup").output, "1\n");
    EXPECT_EQ(RunCtl("ini set " + File("a.ini") + " pcie_aspm=4").status, 1);
}

TEST_F(IniCommand, ShowOfAMissingFileSaysWhyInLinuxTerms)
{
    const auto r = RunCtl("ini show " + File("none.ini"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("No such file or directory"), std::string::npos) << r.output;
}

TEST_F(IniCommand, LeftoverTemporaryFileIsRemovedAndReported)
{
    ASSERT_EQ(RunCtl("ini write " + File("a.ini")).status, 0);
    std::ofstream(File("a.ini.tmp")) << "[ini_version]\r\nver";
    const auto r = RunCtl("ini set " + File("a.ini") + " auto_mp=1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("a.ini.tmp left by an interrupted store"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(File("a.ini.tmp")));
}

}  // namespace
