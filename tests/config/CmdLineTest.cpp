#include "config/CmdLine.h"

#include <gtest/gtest.h>

#include <memory>

#include "log/DebugLog.h"
#include "../common/TestSupport.h"
#include "util/Clock.h"

namespace {

CmdLineInit Parse(const std::string& line, uint32_t timeOut = 35) { return ParseCmdLine(line, timeOut, "DEVeda", 5000); }

TEST(CmdLine, EmptyLineIsInteractive)
{
    for (const char* line : {"", "   "}) {
        const CmdLineInit r = Parse(line);
        EXPECT_TRUE(r.bInteractive);
        EXPECT_TRUE(r.ShowAllowed);
        EXPECT_FALSE(r.bSetDebugLevel);
        EXPECT_EQ(r.CommandIndex, kCmdNone);
        EXPECT_FALSE(r.bExit);
        EXPECT_FALSE(r.bStartPlugInTimer);
    }
}

TEST(CmdLine, UsageTextExitsWithOne)
{
    const CmdLineInit r = Parse("/?");
    EXPECT_TRUE(r.bShowUsage);
    EXPECT_TRUE(r.bExit);
    EXPECT_EQ(r.iExitCode, 1);
    EXPECT_EQ(r.CommandIndex, kCmdNone);
    EXPECT_FALSE(r.bStartPlugInTimer);
    EXPECT_EQ(r.strUsageText,
              "DEVeda DEVeda MP Tool Ver 1, 0, 3, 4 (1.0.0.8) (1.0.0.5)\r\n"
              "Usage: DEVeda  [/? | | /L] \r\n"
              "OPTIONS\r\n"
              " /DBG\tSet Debug Message Level (0-9)\r\n"
              " /S\tSet MPT Run DOS Mode \r\n"
              " /C\tCheck Brevnor usb mass storage Firmware Version and then RETURN IMMEDIATELY.\r\n");
}

TEST(CmdLine, CheckFirmwareTakesTwelveCharacters)
{
    CmdLineInit r = Parse("/C:BRV7953_1234");
    EXPECT_EQ(r.CommandIndex, kCmdCheckFirmware);
    EXPECT_EQ(r.CheckedFirmware, "BRV7953_1234");
    EXPECT_FALSE(r.ShowAllowed);
    EXPECT_FALSE(r.bExit);
    EXPECT_EQ(r.iDebugLevel, 4);
    EXPECT_EQ(r.strCmdLine, "");
    // Lower case: accepted like its upper-case form.
    r = Parse("/c:brv7953_1234");
    EXPECT_EQ(r.CommandIndex, kCmdCheckFirmware);
    EXPECT_EQ(r.CheckedFirmware, "BRV7953_1234");
    // Blanks around the version are trimmed.
    r = Parse("/C:  V1.2.3    ");
    EXPECT_EQ(r.CheckedFirmware, "V1.2.3");
}

TEST(CmdLine, LengthRuleRejectsOtherLengths)
{
    for (const char* line : {"/C:BRV7953_123", "/C:BRV7953_12345", "/S ", " /S", "/O4 ", "/PCX", "/L", "/s/o4"}) {
        const CmdLineInit r = Parse(line);
        EXPECT_EQ(r.CommandIndex, kCmdNone) << line;
        EXPECT_FALSE(r.bStartPlugInTimer) << line;
        EXPECT_TRUE(r.bUnrecognised) << line;
        // Not left hidden with nothing to do: usage and exit 1.
        EXPECT_TRUE(r.bShowUsage) << line;
        EXPECT_EQ(r.iExitCode, kExitUsage) << line;
    }
}

TEST(CmdLine, EmptyCheckedFirmwareExitsWithMinusTen)
{
    const CmdLineInit r = Parse("/C:            ");
    EXPECT_TRUE(r.bExit);
    EXPECT_EQ(r.iExitCode, -10);
    EXPECT_EQ(r.CheckedFirmware, "");
    EXPECT_EQ(r.CommandIndex, kCmdNone);
    EXPECT_FALSE(r.bStartPlugInTimer);
}

TEST(CmdLine, HiddenActionsStartThePlugInTimer)
{
    struct Case {
        const char* line;
        int command;
    } cases[] = {{"/S", kCmdStart}, {"/s", kCmdStart}, {"/O4", kCmdUSB4Export}, {"/pc", kCmdPowerConfig}};
    for (const auto& c : cases) {
        const CmdLineInit r = Parse(c.line, 35);
        EXPECT_EQ(r.CommandIndex, c.command) << c.line;
        EXPECT_FALSE(r.ShowAllowed) << c.line;
        EXPECT_FALSE(r.bExit) << c.line;
        EXPECT_TRUE(r.bStartPlugInTimer) << c.line;
        EXPECT_EQ(r.llPlugInTimerStartMs, 5000) << c.line;
        EXPECT_EQ(r.llPlugInTimerPeriodMs, 35000) << c.line;
    }
    // A time-out of 0 fires at once; a large one does not overflow.
    EXPECT_EQ(Parse("/S", 0).llPlugInTimerPeriodMs, 0);
    EXPECT_EQ(Parse("/S", 4294967295u).llPlugInTimerPeriodMs, 4294967295000LL);
}

TEST(CmdLine, DebugLevelIsHexadecimalAndStopsTheRest)
{
    CmdLineInit r = Parse("/DBG5 /S");
    EXPECT_TRUE(r.bSetDebugLevel);
    EXPECT_EQ(r.iDebugLevel, 5);
    EXPECT_TRUE(r.ShowAllowed);
    EXPECT_EQ(r.CommandIndex, kCmdNone);
    EXPECT_FALSE(r.bExit);
    EXPECT_FALSE(r.bStartPlugInTimer);
    EXPECT_EQ(r.strCmdLine, "/S");

    EXPECT_EQ(Parse("/dbg 3").iDebugLevel, 3);
    EXPECT_EQ(Parse("/S /DBG1A").iDebugLevel, 0x1A);  // anywhere in the line
    EXPECT_EQ(Parse("/S /DBG1A").CommandIndex, kCmdNone);
    EXPECT_EQ(Parse("/DBG").iDebugLevel, 0);
    EXPECT_EQ(Parse("/DBG123").iDebugLevel, 0x23);  // low byte
    // A level with other characters is no level: the usage, not a window.
    for (const char* malformed : {"/DBG9X", "/DBGxyz"}) {
        const CmdLineInit bad = Parse(malformed);
        EXPECT_TRUE(bad.bShowUsage) << malformed;
        EXPECT_TRUE(bad.bExit) << malformed;
        EXPECT_FALSE(bad.ShowAllowed) << malformed;
        EXPECT_EQ(bad.iExitCode, kExitUsage) << malformed;
    }
}

class CmdLineInitialise : public ::testing::Test {
protected:
    void TearDown() override { devlog::SetDebugLevel(0); }
    testsupport::FakeClockScope m_Clock{777000};  // nothing here sleeps: the clock reads 777000 throughout
};

TEST_F(CmdLineInitialise, SetsProcessDebugLevel)
{
    devlog::SetDebugLevel(0);
    vCmdLineInitialise("", 35, "DEVeda");
    EXPECT_EQ(devlog::GetDebugLevel(), 0);
    vCmdLineInitialise("/DBG2", 35, "DEVeda");
    EXPECT_EQ(devlog::GetDebugLevel(), 2);
    const CmdLineInit r = vCmdLineInitialise("/S", 10, "DEVeda");
    EXPECT_EQ(devlog::GetDebugLevel(), 4);
    EXPECT_EQ(r.llPlugInTimerStartMs, 777000);
    EXPECT_EQ(r.llPlugInTimerPeriodMs, 10000);
}

TEST(PlugInTimer, EndsOnlyWhenNothingIsActive)
{
    EXPECT_TRUE(bPlugInTimeOut(false, false, false, 35));
    EXPECT_FALSE(bPlugInTimeOut(true, false, false, 35));
    EXPECT_FALSE(bPlugInTimeOut(false, true, false, 35));
    EXPECT_FALSE(bPlugInTimeOut(false, false, true, 35));
}

}  // namespace
