#pragma once
// Runs a shell command and reads what it prints: the one way tests start the
// system's tools and our own executables and capture their output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace testsupport {

struct ShellResult {
    // The exit status; 128 + N when signal N ended the command (as the shell
    // reports it, so that a crash never reads as a success); -1 when the command
    // could not be run or its output not read (the test then fails).
    int status;
    std::string output;
};

// Runs `command` with /bin/sh and reads its standard output to the end; the
// command redirects standard error itself when wanted ("2>&1").
inline ShellResult RunCommand(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run '" << command << "': " << std::strerror(errno);
        return {-1, ""};
    }
    std::string output;
    std::array<char, 4096> chunk;
    while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), n);
    const bool readFailed = std::ferror(pipe) != 0;
    const int raw = ::pclose(pipe);
    if (readFailed || raw == -1) {
        ADD_FAILURE() << "'" << command << "': " << (readFailed ? "its output could not be read" : "no exit status");
        return {-1, output};
    }
    if (WIFEXITED(raw)) return {WEXITSTATUS(raw), output};
    if (WIFSIGNALED(raw)) return {128 + WTERMSIG(raw), output};
    return {-1, output};
}

// Runs `command` with standard output and standard error read together.
inline ShellResult Shell(const std::string& command)
{
    return RunCommand(command + " 2>&1");
}

// The same, for callers that test the output and keep the status aside.
inline std::string Shell(const std::string& command, int& status)
{
    ShellResult result = Shell(command);
    status = result.status;
    return std::move(result.output);
}

}  // namespace testsupport
