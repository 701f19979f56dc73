// The system's tools as child processes: exit status, output of both streams,
// standard input, a tool that is not there, and the time limit.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/ToolProcess.h"

namespace {

using platform::RunTool;

TEST(ToolProcess, ExitStatusAndBothOutputStreamsAreKept)
{
    const auto run = RunTool({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_FALSE(run.Succeeded());
    EXPECT_NE(run.output.find("out\n"), std::string::npos);
    EXPECT_NE(run.output.find("err\n"), std::string::npos);
}

TEST(ToolProcess, TheInputReachesTheToolWordsStayWhole)
{
    const auto run = RunTool({"sh", "-c", "cat; printf '[%s]' \"$0\"", "two words; $(no shell)"}, "line 1\nline 2\n");
    EXPECT_TRUE(run.Succeeded());
    EXPECT_EQ(run.output, "line 1\nline 2\n[two words; $(no shell)]");
}

TEST(ToolProcess, AToolThatIgnoresItsInputOrIsMissing)
{
    // The tool ends without reading: the input is dropped, the caller goes on.
    const auto quick = RunTool({"true"}, std::string(4000, 'x'));
    EXPECT_TRUE(quick.Succeeded());
    const auto missing = RunTool({"deveda-no-such-tool", "--help"});
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.Succeeded());
    EXPECT_FALSE(RunTool({}).started);
    // More input than a pipe holds is refused before the tool starts.
    EXPECT_FALSE(RunTool({"cat"}, std::string(1 << 20, 'x')).started);
}

int64_t SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(ToolProcess, AToolPastItsTimeLimitIsKilled)
{
    const auto start = std::chrono::steady_clock::now();
    const auto run = RunTool({"sh", "-c", "echo begun; exec sleep 60"}, {}, 300);
    EXPECT_LT(SecondsSince(start), 20);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_FALSE(run.Succeeded());
    EXPECT_NE(run.output.find("begun\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("stopped after 300 ms"), std::string::npos) << run.output;
    // A tool within its limit ends as usual.
    const auto quick = RunTool({"sh", "-c", "echo done"}, {}, 60000);
    EXPECT_TRUE(quick.Succeeded());
    EXPECT_FALSE(quick.timedOut);
    EXPECT_EQ(quick.output, "done\n");
}

TEST(ToolProcess, AHelperLeftHoldingTheOutputDoesNotKeepTheCallerWaiting)
{
    // As mount does when it starts a FUSE daemon: the tool ends, its helper lives on.
    for (const int64_t limit : {int64_t{0}, int64_t{60000}}) {
        const auto start = std::chrono::steady_clock::now();
        const auto run = RunTool({"sh", "-c", "sleep 30 & echo mounted"}, {}, limit);
        EXPECT_LT(SecondsSince(start), 20) << limit;
        EXPECT_TRUE(run.Succeeded()) << limit;
        EXPECT_FALSE(run.timedOut) << limit;
        EXPECT_EQ(run.output, "mounted\n") << limit;
    }
}

}  // namespace
