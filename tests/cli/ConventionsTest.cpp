// devedactl's conventions: help, version, unknown commands, options before the
// command, and no exception reaching the user.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CtlRunner.h"
#include "cli/CliText.h"

namespace {

using clitest::RunCtl;
using clitest::RunCtlStdout;

TEST(Conventions, HelpGoesToStandardOutputWithExitZero)
{
    const auto help = RunCtlStdout("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: devedactl"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("ini "), std::string::npos) << help.output;
    // With no command at all the usage is an error.
    const auto none = RunCtlStdout("");
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.output, "");
}

TEST(Conventions, CommandHelpShowsOnlyThatCommand)
{
    const auto help = RunCtlStdout("fw --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("fw inspect FILE"), std::string::npos) << help.output;
    EXPECT_EQ(help.output.find("ini "), std::string::npos) << help.output;
    EXPECT_EQ(RunCtlStdout("ini set -h").status, 0);
}

TEST(Conventions, VersionIsTheToolsVersionLine)
{
    const auto version = RunCtlStdout("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "devedactl DEVeda MP Tool Ver 1, 0, 3, 4 (1.0.0.8) (1.0.0.5)\n");
}

TEST(Conventions, StationVersionComesBeforeAnythingElse)
{
    // No settings, no station, no trace file is touched for it.
    testsupport::TempFolder folder;
    const auto version = clitest::RunProgram("cd " + folder.Path().string() + " && DEVEDA_HOME=" +
                                                 folder.Path().string() + " " + DEVEDA_PATH,
                                             "--version", "2>&1");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "DEVeda DEVeda MP Tool Ver 1, 0, 3, 4 (1.0.0.8) (1.0.0.5)\n");
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

TEST(Conventions, UnknownCommandIsNamedWithTheNearestMatch)
{
    const auto typo = RunCtl("lsit");
    EXPECT_EQ(typo.status, 2);
    EXPECT_NE(typo.output.find("unknown command 'lsit'; did you mean 'list'?"), std::string::npos) << typo.output;
    const auto far = RunCtl("zzzzzzzz");
    EXPECT_EQ(far.status, 2);
    EXPECT_NE(far.output.find("unknown command 'zzzzzzzz'"), std::string::npos);
    EXPECT_EQ(far.output.find("did you mean"), std::string::npos) << far.output;
}

TEST(Conventions, StationMayFollowOtherOptions)
{
    testsupport::TempFolder folder;
    const std::string station = "--station=emu:" + folder.Path().string() + "/st";
    ASSERT_EQ(RunCtl("--debug=1 " + station + " " + clitest::kEmuInit + " --bridges 1").status, 0);
    const auto list = RunCtl("--debug=0 --station emu:" + folder.Path().string() + "/st list");
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("1 bridge(s) found"), std::string::npos) << list.output;
}

TEST(Conventions, LongStationPathEndsWithAMessageNotAnAbort)
{
    for (size_t length : {300u, 4096u}) {
        const auto r = RunCtl("--station=emu:/tmp/" + std::string(length, 'x') + " list");
        EXPECT_NE(r.status, 0) << length;
        EXPECT_LT(r.status, 128) << "killed by a signal: " << r.output;
        EXPECT_EQ(r.output.find("terminate called"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("longer than"), std::string::npos) << r.output;  // the reason, in words
    }
}

TEST(GlobalOptions, AnyOrderBeforeTheCommand)
{
    const auto o = cli::ParseGlobalOptions({"--trace=t.txt", "--debug", "3", "--station=emu:/x", "list", "--debug=1"});
    EXPECT_TRUE(o.error.empty()) << o.error;
    EXPECT_EQ(o.station, "emu:/x");
    EXPECT_EQ(o.debugLevel, 3);
    EXPECT_EQ(o.traceFile, "t.txt");
    // Words after the command belong to the command.
    EXPECT_EQ(o.rest, (std::vector<std::string>{"list", "--debug=1"}));
}

TEST(GlobalOptions, BadValuesAreErrors)
{
    EXPECT_FALSE(cli::ParseGlobalOptions({"--debug=x", "list"}).error.empty());
    EXPECT_FALSE(cli::ParseGlobalOptions({"--station"}).error.empty());
    EXPECT_FALSE(cli::ParseGlobalOptions({"--bogus", "list"}).error.empty());
    EXPECT_TRUE(cli::ParseGlobalOptions({"--version"}).version);
}

TEST(NearestName, PicksTheClosestAndRefusesFarOnes)
{
    const std::vector<std::string> names{"emu", "fw", "ini", "list", "table"};
    EXPECT_EQ(cli::NearestName("tabel", names), "table");
    EXPECT_EQ(cli::NearestName("INI", names), "ini");
    EXPECT_EQ(cli::NearestName("lis", names), "list");
    EXPECT_EQ(cli::NearestName("format", names), "");
}

}  // namespace
