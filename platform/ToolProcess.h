#pragma once
// Runs one of the system's tools (mkfs.ntfs, exfatlabel, ...) as a child process
// with its arguments given word by word (no shell), its output collected, and
// waits for it to end, or stops it when it runs past its time limit.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct ToolRun {
    bool started = false;  // false: the tool was not found or could not be started
    int exitCode = -1;     // the tool's exit status; -1 when it did not end normally
    std::string output;    // standard output and standard error together
    bool timedOut = false; // the tool ran past its time limit and was killed
    bool Succeeded() const { return started && exitCode == 0; }
};

// argv[0] is the tool's name, looked up in PATH and then in /usr/sbin and /sbin
// (where Debian keeps the file-system tools, outside an ordinary user's PATH).
// `input` is the tool's whole standard input (a script of a few lines; it is
// written before the output is read). A tool still running `timeLimitMs` of the
// process clock after its start is killed (0: no limit). The run ends when the
// tool has ended: a helper it left behind holding the output open (a FUSE
// daemon started by mount) does not keep the caller waiting.
ToolRun RunTool(const std::vector<std::string>& argv, const std::string& input = {}, int64_t timeLimitMs = 0);

// How a station starts tools; tests put a recorder in its place.
using ToolRunner = std::function<ToolRun(const std::vector<std::string>& argv, const std::string& input)>;
// The same for tools that need no input and run under a time limit (file-system
// and mount tools); tests put a recorder in its place.
using LimitedToolRunner = std::function<ToolRun(const std::vector<std::string>& argv, int64_t timeLimitMs)>;

}  // namespace platform
