#pragma once
// Test helpers of the table and firmware-check tests: a temporary folder unique to
// the running test and process, and capture of the debug trace.
#include <gtest/gtest.h>

#include "../common/TestSupport.h"
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log/DebugLog.h"

namespace tables_test {

namespace fs = std::filesystem;

class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_TracePath = (m_Dir / "trace.txt").string();
        devlog::SetTraceFile(m_TracePath);
        devlog::SetDebugLevel(3);
    }
    void TearDown() override
    {
        devlog::SetTraceFile("");
        devlog::SetDebugLevel(0);
    }
    std::string Path(const std::string& name) const { return (m_Dir / name).string(); }
    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static void WriteText(const std::string& path, const std::string& text)
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    // The trace written so far.
    std::string Trace()
    {
        devlog::SetTraceFile("");
        std::string text = Slurp(m_TracePath);
        devlog::SetTraceFile(m_TracePath);
        return text;
    }
    bool TraceHas(const std::string& piece) { return Trace().find(piece) != std::string::npos; }

    testsupport::TempFolder m_Folder;
    const fs::path& m_Dir = m_Folder.Path();
    std::string m_TracePath;
};

}  // namespace tables_test
