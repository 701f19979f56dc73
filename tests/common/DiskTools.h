#pragma once
// Runs the system's disk tools (fsck.fat, mtools, sfdisk) on our images and
// makes sparse image files, so tools we did not write judge what we wrote.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Shell.h"

namespace disktest {

using ToolResult = testsupport::ShellResult;  // standard output and standard error

inline ToolResult RunTool(const std::string& command)
{
    return testsupport::Shell(command);
}

// A sparse file of `size` bytes (zeros everywhere, nothing allocated).
inline void MakeSparseImage(const std::filesystem::path& path, uint64_t size)
{
    std::filesystem::remove(path);
    { std::ofstream create(path); }
    std::filesystem::resize_file(path, size);
}

// Bytes the file system actually holds for `path` (its allocated blocks).
inline uint64_t AllocatedBytes(const std::filesystem::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return UINT64_MAX;
    return static_cast<uint64_t>(info.st_blocks) * 512;
}

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace disktest
