// devedactl run: a whole MP run with the settings file as stored, so the
// partition-and-format step, which the start-up load of the window and of
// DEVeda /S always switches off, runs unattended.
#include <gtest/gtest.h>

#include "CtlRunner.h"

namespace {

using clitest::RunCtl;

class RunCommand : public clitest::StationTest {
protected:
    // devedactl run in the station's tool folder (settings, result log, scripts).
    clitest::CtlResult Run(const std::string& arguments)
    {
        const std::string home = m_Folder.Path().string();
        return clitest::RunProgram("cd " + home + " && DEVEDA_HOME=" + home + " " + DEVEDACTL_PATH,
                                   Station() + "run " + arguments, "2>&1");
    }
    std::string Settings() const { return (m_Folder.Path() / "run.ini").string(); }
};

TEST_F(RunCommand, TheStoredStepSwitchesRunThePartitionAndFormatStep)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 2").status, 0);
    for (const char* bridge : {"1", "2"})
        ASSERT_EQ(RunCtl(Station() + "emu set " + bridge + " disk_size_mib=600").status, 0);
    ASSERT_EQ(RunCtl("ini write " + Settings() +
                     " fw_enable=0 format_enable=1 format_drive_type=1 drive_label_name=SHIPPED")
                  .status,
              0);
    const auto run = Run("--settings " + Settings());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("EMULATED"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("pass 2  fail 0"), std::string::npos) << run.output;
    // The disks now carry volumes (a disk without one cannot be formatted by hand).
    for (const char* disk : {"1", "2"}) {
        const auto format = RunCtl(Station() + "disk format --disk " + disk + " --fs fat32 --label AGAIN");
        EXPECT_EQ(format.status, 0) << format.output;
    }
}

TEST_F(RunCommand, ASettingsFileThatDoesNotLoadRunsNothing)
{
    ASSERT_EQ(RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    const auto missing = Run("--settings " + Settings());
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("does not load"), std::string::npos) << missing.output;
    EXPECT_EQ(Run("--fast").status, 2);
    EXPECT_EQ(Run("--settings").status, 2);
}

}  // namespace
