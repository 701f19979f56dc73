// Child processes for the system's tools: posix_spawn with standard input from
// a pipe holding the whole input and both output streams into one pipe.
#include "platform/ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "util/Clock.h"

extern char** environ;

namespace platform {

namespace {

std::string FindTool(const std::string& name)
{
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::istringstream folders(std::string(path ? path : "") + ":/usr/sbin:/sbin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

constexpr int kReadSliceMs = 50;   // how often a quiet tool is checked for its end
constexpr int kWaitSliceMs = 10;   // the same once it has closed its output

// Appends what the pipe holds; false at its end or on an error.
bool ReadSome(int fd, std::string& text)
{
    std::array<char, 4096> chunk;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n > 0) {
            text.append(chunk.data(), static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

// Collects the tool's output until the tool has ended and gives its wait
// status. Past `deadlineMs` of the process clock (0: none) the tool is killed.
int Follow(pid_t pid, int fd, int64_t deadlineMs, ToolRun& run)
{
    bool open = true;
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) break;
        if (ended < 0 && errno != EINTR) return -1;
        if (deadlineMs > 0 && util::NowMs() >= deadlineMs) {
            ::kill(pid, SIGKILL);
            run.timedOut = true;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (!open && deadlineMs == 0) {
            // Without a limit the tool's end is simply awaited.
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        pollfd ready{fd, POLLIN, 0};
        if (::poll(open ? &ready : nullptr, open ? 1 : 0, open ? kReadSliceMs : kWaitSliceMs) > 0)
            open = ReadSome(fd, run.output);
    }
    // What the tool wrote before it ended; a helper it left holding the pipe is not waited for.
    for (pollfd ready{fd, POLLIN, 0}; open && ::poll(&ready, 1, 0) > 0;) open = ReadSome(fd, run.output);
    return status;
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& argv, const std::string& input, int64_t timeLimitMs)
{
    ToolRun run;
    if (argv.empty()) return run;
    const std::string program = FindTool(argv[0]);
    if (program.empty()) {
        run.output = argv[0] + ": not found";
        return run;
    }
    int pipeFds[2], inputFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    if (::pipe2(inputFds, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return run;
    }
    // The whole input waits in the pipe before the tool starts, so a tool that
    // ends without reading it can never stop this process with SIGPIPE.
    const bool queued = ::fcntl(inputFds[1], F_SETFL, O_NONBLOCK) == 0 &&
                        (input.empty() || ::write(inputFds[1], input.data(), input.size()) ==
                                              static_cast<ssize_t>(input.size()));
    ::close(inputFds[1]);
    if (!queued) {
        ::close(inputFds[0]);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        run.output = argv[0] + ": the input does not fit the pipe";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    ::close(inputFds[0]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        run.output = program + ": cannot be started";
        return run;
    }
    run.started = true;
    const int status = Follow(pid, pipeFds[0], timeLimitMs > 0 ? util::NowMs() + timeLimitMs : 0, run);
    ::close(pipeFds[0]);
    run.exitCode = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (run.timedOut) run.output += "\n" + argv[0] + ": stopped after " + std::to_string(timeLimitMs) + " ms";
    return run;
}

}  // namespace platform
