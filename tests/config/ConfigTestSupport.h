#pragma once
// Shared fixture of the configuration tests: a temporary folder of its own per
// test (ctest runs tests in parallel processes) and a message sink that keeps
// every operator message.
#include <gtest/gtest.h>
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
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Dir = std::filesystem::temp_directory_path() /
                ("deveda_config_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(m_Dir);
        std::filesystem::create_directories(m_Dir);
        CUSBUtility::Instance().SetMessageSink(&m_Sink);
    }
    void TearDown() override
    {
        CUSBUtility::Instance().SetMessageSink(nullptr);
        std::filesystem::remove_all(m_Dir);
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
    std::filesystem::path m_Dir;
    CollectingSink m_Sink;
};

}  // namespace configtest
