#pragma once
// Runs the built devedactl the way an engineer does and captures what it prints.
#include <gtest/gtest.h>

#include <string>

#include "../common/TestSupport.h"

namespace clitest {

using CtlResult = testsupport::ShellResult;  // standard output and standard error

// Every emulated station of these tests runs this many times faster than real
// time. The scale is kept in the station's folder, so devedactl, DEVeda and any
// other process that opens the station run on the same scaled clock.
inline const std::string kTimeScale = "100";
// "emu init" of a station on that clock; the test adds --bridges.
inline const std::string kEmuInit = "emu init --time-scale " + kTimeScale;

// Runs `program` with `arguments`; `redirect` says where standard error goes.
inline CtlResult RunProgram(const std::string& program, const std::string& arguments, const char* redirect)
{
    return testsupport::RunCommand(program + " " + arguments + " " + redirect);
}

inline CtlResult RunCtl(const std::string& arguments)
{
    return RunProgram(DEVEDACTL_PATH, arguments, "2>&1");
}

// Standard output alone (standard error dropped).
inline CtlResult RunCtlStdout(const std::string& arguments)
{
    return RunProgram(DEVEDACTL_PATH, arguments, "2>/dev/null");
}

// A test with its own emulated station folder.
class StationTest : public ::testing::Test {
protected:
    std::string Station() const { return "--station=emu:" + m_Folder.Path().string() + "/st "; }
    testsupport::TempFolder m_Folder;
};

}  // namespace clitest
