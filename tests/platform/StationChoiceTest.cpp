// Choosing the station: the registered kinds, the default, and the bad choices
// that must end in a clear error instead of a silently made station.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../common/TestSupport.h"
#include "platform/Station.h"
#include "platform/emu/EmuStation.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;

TEST(StationChoice, BothKindsAreRegisteredAndTheLinuxStationIsTheDefault)
{
    ASSERT_NE(FindStationKind("emu"), nullptr);
    ASSERT_NE(FindStationKind("linux"), nullptr);
    EXPECT_NE(FindStationKind("emu")->console, nullptr);
    EXPECT_EQ(StationUsage(), "emu:DIR|linux");
    ::unsetenv("DEVEDA_STATION");
    EXPECT_EQ(StationChoice(), "linux");
}

TEST(StationChoice, ChoicesSplitIntoKindAndArgument)
{
    std::string name, argument, error;
    ASSERT_TRUE(SplitStationChoice("emu:/tmp/a:b", name, argument, error));
    EXPECT_EQ(name, "emu");
    EXPECT_EQ(argument, "/tmp/a:b");
    EXPECT_FALSE(SplitStationChoice("", name, argument, error));
    EXPECT_NE(error.find("empty"), std::string::npos);
    EXPECT_FALSE(SplitStationChoice("windows", name, argument, error));
    EXPECT_NE(error.find("unknown"), std::string::npos);
}

TEST(StationChoice, OverLongPathsAreRefused)
{
    std::string error;
    EXPECT_TRUE(CheckPathText("/tmp/" + std::string(255, 'a'), error));
    EXPECT_FALSE(CheckPathText("/tmp/" + std::string(256, 'a'), error));
    EXPECT_NE(error.find("255"), std::string::npos);
    std::string deep;
    while (deep.size() <= 4096) deep += "/" + std::string(100, 'b');
    EXPECT_FALSE(CheckPathText(deep, error));
    EXPECT_NE(error.find("4096"), std::string::npos);
    EXPECT_FALSE(CheckPathText("", error));
}

TEST(StationChoice, AnEmulatedStationIsOnlyOpenedWhereOneWasMade)
{
    testsupport::TempFolder folder;
    std::string error;
    const fs::path missing = folder.Path() / "typo";
    EXPECT_EQ(MakeStation("emu:" + missing.string(), error), nullptr);
    EXPECT_NE(error.find("emu init"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(missing));

    const fs::path file = folder.Path() / "file";
    std::ofstream(file) << "x";
    EXPECT_EQ(MakeStation("emu:" + file.string(), error), nullptr);
    EXPECT_NE(error.find("file"), std::string::npos) << error;
    EXPECT_EQ(MakeStation("emu:", error), nullptr);

    const fs::path made = folder.Path() / "st";
    { EmuStation explicitly(made); }  // given explicitly: made with its default bridges
    const auto station = MakeStation("emu:" + made.string(), error);
    ASSERT_NE(station, nullptr) << error;
    EXPECT_TRUE(station->IsEmulated());
    EXPECT_NE(station->Describe().find("EMULATED"), std::string::npos);
}

TEST(StationChoice, TheLinuxStationTakesItsRootFromTheEnvironment)
{
    std::string error;
    ::setenv("DEVEDA_LINUX_ROOT", PLATFORM_FIXTURES "/station-tree", 1);
    auto station = MakeStation("linux", error);
    ASSERT_NE(station, nullptr) << error;
    EXPECT_FALSE(station->IsEmulated());
    EXPECT_NE(station->Describe().find("Linux station (real hardware, root "), std::string::npos);
    EXPECT_EQ(MakeStation("linux:/x", error), nullptr);
    ::setenv("DEVEDA_LINUX_ROOT", PLATFORM_FIXTURES "/no-such-root", 1);
    EXPECT_EQ(MakeStation("linux", error), nullptr);
    EXPECT_NE(error.find("no such folder"), std::string::npos) << error;
    ::unsetenv("DEVEDA_LINUX_ROOT");
}

}  // namespace
