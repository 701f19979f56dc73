#pragma once
// Runs the built devedactl the way an engineer does and captures what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "../common/TestSupport.h"

namespace clitest {

struct CtlResult {
    int status;
    std::string output;  // standard output and standard error
};

// Runs `program` with `arguments`; `redirect` says where standard error goes.
inline CtlResult RunProgram(const std::string& program, const std::string& arguments, const char* redirect)
{
    const std::string command = program + " " + arguments + " " + redirect;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    std::array<char, 4096> chunk;
    while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    return {WEXITSTATUS(status), output};
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
