// A format-4 run writes the USB4 BCD revision taken from the firmware file name,
// and the USB4 export reports it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "CtlRunner.h"

namespace {

class BcdSyncRun : public clitest::StationTest {
protected:
    void SetUp() override
    {
        ::setenv("DEVEDA_HOME", m_Folder.Path().c_str(), 1);
        ASSERT_EQ(clitest::RunCtl(Station() + clitest::kEmuInit + " --bridges 1").status, 0);
    }
    void TearDown() override { ::unsetenv("DEVEDA_HOME"); }
    clitest::CtlResult Run(const std::string& options)
    {
        return clitest::RunProgram("cd " + m_Folder.Path().string() + " && " + DEVEDA_PATH,
                                   Station() + options, "2>&1");
    }
    std::string ExportedRows() const
    {
        std::string rows;
        for (const auto& entry : std::filesystem::directory_iterator(m_Folder.Path()))
            if (entry.path().filename().string().rfind("U4Data_", 0) == 0) {
                std::ifstream in(entry.path());
                rows += std::string(std::istreambuf_iterator<char>(in), {});
            }
        return rows;
    }
};

TEST_F(BcdSyncRun, FormatFourRunWritesTheRevisionOfTheFirmwareName)
{
    const std::string firmware = (m_Folder.Path() / "BR_USB4_241231000106___.bin").string();
    ASSERT_EQ(clitest::RunCtl("emu image " + firmware + " --version 241231000106 --size 70000").status, 0);
    const std::string settings = (m_Folder.Path() / "br_mp_Toolv0.6.ini").string();
    ASSERT_EQ(clitest::RunCtl("ini write " + settings + " config_format=4 fw_enable=1 USB4_BcdSync=1 fw_binary_name=" +
                              firmware).status, 0);
    const auto run = Run("/S");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto exported = Run("/O4");
    ASSERT_EQ(exported.status, 0) << exported.output;
    const std::string rows = ExportedRows();
    // Component ID, vendor ID, product ID, test ID, then the BCD revision.
    EXPECT_NE(rows.find(",2B9D,7953,00000666,4C31,"), std::string::npos) << rows;
}

}  // namespace
