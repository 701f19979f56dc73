// devedactl pd as an engineer runs it.
#include <gtest/gtest.h>

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
