#include "platform/Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform {

namespace {
std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}
}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    ProcessResult result;
    if (argv.empty()) return result;
    std::vector<std::string> args(argv);
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) env.emplace_back(*entry);
    env.insert(env.end(), environment.begin(), environment.end());
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    auto argPointers = Pointers(args);
    auto envPointers = Pointers(env);
    const int spawned = ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned == 0) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(pipeFds[0], chunk, sizeof chunk);
            if (n > 0) result.output.append(chunk, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR) break;
        }
    }
    ::close(pipeFds[0]);
    if (spawned != 0) return result;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

}  // namespace platform
