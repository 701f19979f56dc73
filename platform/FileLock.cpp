#include "platform/FileLock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {
std::string ReadHolder(int fd)
{
    // A holder that has just taken the lock writes its line a moment later:
    // give it that moment before naming it only "another process".
    for (int attempt = 0; attempt < 20; ++attempt) {
        char text[256] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        const std::string lines(text, n > 0 ? static_cast<size_t>(n) : 0);
        if (const size_t end = lines.find('\n'); end != std::string::npos && end > 0) return lines.substr(0, end);
        ::usleep(5000);
    }
    return "another process";
}

void WriteHolder(int fd)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const int n = std::snprintf(text, sizeof text, "process %d, started %04d-%02d-%02d %02d:%02d:%02d\n",
                                static_cast<int>(::getpid()), local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec);
    // Written over the old line, then cut to length: a reader never sees it empty.
    if (n > 0 && ::pwrite(fd, text, static_cast<size_t>(n), 0) == n) (void)!::ftruncate(fd, n);
}
}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, bool wait, std::string& holder, bool* held)
{
    if (held) *held = false;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);  // a failure shows at open
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        holder = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    int result;
    while ((result = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        const bool busy = errno == EWOULDBLOCK;
        holder = busy ? ReadHolder(fd) : "cannot lock " + path + ": " + std::strerror(errno);
        if (held) *held = busy;
        ::close(fd);
        return nullptr;
    }
    WriteHolder(fd);
    return std::unique_ptr<FileLock>(new FileLock(fd));
}

FileLock::~FileLock()
{
    ::close(m_Fd);  // closing the last descriptor releases the lock
}

}  // namespace platform
