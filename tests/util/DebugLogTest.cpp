#include "log/DebugLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Trace : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Path = (fs::temp_directory_path() /
                  ("deveda_trace_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                     .string();
        fs::remove(m_Path);
        ASSERT_TRUE(devlog::SetTraceFile(m_Path));
    }
    void TearDown() override
    {
        devlog::SetTraceFile("");
        devlog::SetDebugLevel(0);
        fs::remove(m_Path);
    }
    std::string Text()
    {
        devlog::SetTraceFile("");  // closes and flushes
        std::ifstream in(m_Path, std::ios::binary);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        devlog::SetTraceFile(m_Path);
        return text;
    }
    std::string m_Path;
};

struct CSample {
    int m_iEvaluated = 0;
    int Count() { return ++m_iEvaluated; }
    void Report(int level)
    {
        devlog::SetDebugLevel(level);
        DBG_MSG("%s:%d: msg %d", Count());
        DBG_WRN("%s:%d: wrn", );
        DBG_ERR("%s:%d: err , dwErrorCode %d", 5);
    }
};

TEST_F(Trace, LevelTwoPrintsWarningsAndErrorsOnly)
{
    CSample sample;
    sample.Report(2);
    const std::string text = Text();
    EXPECT_EQ(text.find("MSG::"), std::string::npos);
    EXPECT_NE(text.find("\r\nWRN::CSample::Report:"), std::string::npos);
    EXPECT_NE(text.find("\r\nERR::CSample::Report:"), std::string::npos);
    EXPECT_NE(text.find(": err , dwErrorCode 5"), std::string::npos);
    EXPECT_EQ(sample.m_iEvaluated, 0);  // arguments of a suppressed line are not evaluated
}

TEST_F(Trace, LevelZeroPrintsNothingAndLevelThreePrintsAll)
{
    CSample sample;
    sample.Report(0);
    EXPECT_EQ(Text(), "");
    sample.Report(3);
    const std::string text = Text();
    EXPECT_NE(text.find("\r\nMSG::CSample::Report:"), std::string::npos);
    EXPECT_NE(text.find(": msg 1"), std::string::npos);
}

TEST_F(Trace, LinesCarryTheSourceLine)
{
    devlog::SetDebugLevel(1);
    const int line = __LINE__ + 1;
    DBG_ERR("%s:%d: here");
    EXPECT_NE(Text().find(":" + std::to_string(line) + ": here"), std::string::npos);
}

TEST_F(Trace, OverlongLineIsCutAt4096Bytes)
{
    devlog::SetDebugLevel(1);
    const std::string big(10000, 'x');
    DBG_ERR("%s:%d: %s", big.c_str());
    const std::string text = Text();
    EXPECT_EQ(text.size(), 4095u);
}

TEST_F(Trace, ConcurrentLinesStayWhole)
{
    devlog::SetDebugLevel(3);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) devlog::PrintMessage("%s:%d: thread %d line %d|", "T", t, t, i);
        });
    threads.clear();
    const std::string text = Text();
    size_t lines = 0;
    for (size_t pos = 0; (pos = text.find("\r\nMSG::T:", pos)) != std::string::npos; ++pos) {
        ++lines;
        const size_t bar = text.find('|', pos);
        ASSERT_NE(bar, std::string::npos);
        EXPECT_EQ(text.find("\r\n", pos + 2), bar + 1 == text.size() ? std::string::npos : bar + 1);
    }
    EXPECT_EQ(lines, 400u);
}

TEST(QualifiedName, StripsReturnTypeAndParameters)
{
    EXPECT_EQ(devlog::QualifiedName("int CBrvtUSBDev::SCSI_CMD(void*, unsigned char)"), "CBrvtUSBDev::SCSI_CMD");
    EXPECT_EQ(devlog::QualifiedName("static CUSBUtility& CUSBUtility::Instance()"), "CUSBUtility::Instance");
    EXPECT_EQ(devlog::QualifiedName("std::vector<int, std::allocator<int> > ns::C::Get(int)"), "ns::C::Get");
    EXPECT_EQ(devlog::QualifiedName("bool C::operator()(int) const"), "C::operator()");
    EXPECT_EQ(devlog::QualifiedName("void {anonymous}::CSample::Report(int)"), "CSample::Report");
}

}  // namespace
