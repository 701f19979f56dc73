// Child processes for the system's tools: posix_spawn with standard input from
// /dev/null and both output streams into one pipe.
#include "platform/ToolProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <sstream>

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

// Reads the pipe to its end.
std::string Drain(int fd)
{
    std::string text;
    std::array<char, 4096> chunk;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n > 0) text.append(chunk.data(), static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    return text;
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& argv, const std::string& input)
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
    run.output = Drain(pipeFds[0]);
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace platform
