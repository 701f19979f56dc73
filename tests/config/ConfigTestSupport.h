#pragma once
// Shared fixture of the configuration tests: a temporary folder of its own per
// test (ctest runs tests in parallel processes) and a message sink that keeps
// every operator message.
#include <gtest/gtest.h>

#include "../common/TestSupport.h"
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "util/USBUtility.h"

namespace configtest {

struct ShownMessage {
    std::string text;
    std::string caption;
    int kind;
};

class CollectingSink : public IProgramMessageSink {
public:
    int ShowMessageBox(const std::string& text, const char* caption, int kind, unsigned) override
    {
        messages.push_back({text, caption, kind});
        return 1;
    }
    std::vector<ShownMessage> messages;
};

class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CUSBUtility::Instance().SetMessageSink(&m_Sink);
    }
    void TearDown() override
    {
        CUSBUtility::Instance().SetMessageSink(nullptr);
    }
    std::string Path(const std::string& name) const { return (m_Dir / name).string(); }
    void Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    testsupport::TempFolder m_Folder;
    const std::filesystem::path& m_Dir = m_Folder.Path();
    CollectingSink m_Sink;
};

}  // namespace configtest
