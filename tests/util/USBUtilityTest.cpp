#include "util/USBUtility.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "../common/TestSupport.h"
#include "util/Clock.h"

namespace fs = std::filesystem;

namespace {

class TempDir : public ::testing::Test {
protected:
    std::string Path(const char* name) const { return (m_Dir / name).string(); }
    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    testsupport::TempFolder m_Folder;
    const fs::path& m_Dir = m_Folder.Path();
};

using WholeFile = TempDir;

TEST_F(WholeFile, WriteThenReadExactSize)
{
    auto& util = CUSBUtility::Instance();
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(util.vWriteFile(Path("a.bin"), data.data(), 1000));
    EXPECT_FALSE(fs::exists(Path("a.bin.tmp")));
    std::vector<uint8_t> back(1000);
    ASSERT_TRUE(util.vReadFile(Path("a.bin"), back.data(), 1000));
    EXPECT_EQ(back, data);
}

TEST_F(WholeFile, ReadFailsForLargerOrShorterFileAndMissingFile)
{
    auto& util = CUSBUtility::Instance();
    std::vector<uint8_t> data(100, 0xAB);
    ASSERT_TRUE(util.vWriteFile(Path("b.bin"), data.data(), 100));
    std::vector<uint8_t> buf(200);
    EXPECT_FALSE(util.vReadFile(Path("b.bin"), buf.data(), 50));   // file larger than buffer
    EXPECT_FALSE(util.vReadFile(Path("b.bin"), buf.data(), 200));  // fewer bytes than asked
    EXPECT_FALSE(util.vReadFile(Path("missing.bin"), buf.data(), 10));
}

TEST_F(WholeFile, FailedWriteKeepsThePreviousFile)
{
    auto& util = CUSBUtility::Instance();
    const uint8_t old[3] = {1, 2, 3};
    ASSERT_TRUE(util.vWriteFile(Path("keep.bin"), old, 3));
    // A write into a folder that does not exist fails and touches nothing.
    EXPECT_FALSE(util.vWriteFile(Path("nofolder/keep.bin"), old, 3));
    EXPECT_EQ(Slurp(Path("keep.bin")), std::string("\1\2\3", 3));
}

using ProgramMessage = TempDir;

TEST_F(ProgramMessage, ToFileAppendsLinesAndWaitsOneSecondOfClockTime)
{
    util::SetClock(std::make_shared<util::ScaledClock>(1000.0));
    const auto old = fs::current_path();
    fs::current_path(m_Dir);
    auto& util = CUSBUtility::Instance();
    const int64_t start = util::NowMs();
    EXPECT_EQ(util.ShowProgramMessage("first", kMsgError, 0, true), 0);
    EXPECT_EQ(util.ShowProgramMessage("second", kMsgWarning, 0, true), 0);
    EXPECT_GE(util::NowMs() - start, 2000);
    EXPECT_EQ(Slurp("ProgramMSG.txt"), "first\r\nsecond\r\n");
    fs::current_path(old);
    util::SetClock(std::make_shared<util::RealClock>());
}

struct RecordingSink : IProgramMessageSink {
    int ShowMessageBox(const std::string& text, const char* caption, int kind, unsigned flags) override
    {
        m_Text = text;
        m_Caption = caption;
        m_Kind = kind;
        m_Flags = flags;
        return 6;
    }
    std::string m_Text, m_Caption;
    int m_Kind = 0;
    unsigned m_Flags = 0;
};

TEST(ProgramMessageBox, InteractiveMessageGoesToTheSinkWithCaptionAndFlags)
{
    RecordingSink sink;
    auto& util = CUSBUtility::Instance();
    util.SetMessageSink(&sink);
    EXPECT_EQ(util.ShowProgramMessage("Question?", kMsgQuestion, 0x24, false), 6);
    EXPECT_EQ(sink.m_Caption, "Question");
    EXPECT_EQ(sink.m_Flags, 0x24u);
    util.ShowProgramMessage("x", 9, 0, false);
    EXPECT_EQ(sink.m_Caption, "");
    util.SetMessageSink(nullptr);
    EXPECT_STREQ(ProgramMessageCaption(kMsgTimeOut), "TimeOut");
    EXPECT_STREQ(ProgramMessageCaption(kMsgInformation), "Information");
}

TEST_F(WholeFile, ConcurrentAppendsNeverInterleave)
{
    const std::string path = Path("log.txt");
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const std::string record(300, static_cast<char>('a' + t));
            for (int i = 0; i < 50; ++i) ASSERT_TRUE(AppendRecord(path, record + "\n"));
        });
    threads.clear();
    std::ifstream in(path);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        ASSERT_EQ(line.size(), 300u);
        EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos);
    }
    EXPECT_EQ(lines, 200);
}

}  // namespace
