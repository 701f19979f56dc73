// The system's tools as child processes: exit status, output of both streams,
// standard input, and a tool that is not there.
#include <gtest/gtest.h>

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

}  // namespace
