#include "platform/FileStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace platform {

namespace {

std::string Reason(const char* step, const std::string& path, int error)
{
    return std::string(step) + " " + path + ": " + std::strerror(error);
}

// Writes all of `data` to `fd`, resuming after short writes and signals.
bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

bool SyncFolderOf(const std::string& path)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::filesystem::path folder = parent.empty() ? std::filesystem::path(".") : parent;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace

std::string StoreTempPath(const std::string& path)
{
    return path + ".tmp";
}

bool StoreFileDurably(const std::string& path, std::string_view data, std::string& error)
{
    const std::string temp = StoreTempPath(path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Reason("cannot create", temp, errno);
        return false;
    }
    bool ok = WriteAll(fd, data);
    if (!ok) error = Reason("cannot write", temp, errno);
    if (ok && ::fsync(fd) != 0) {
        error = Reason("cannot force to disk", temp, errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = Reason("cannot close", temp, errno);
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        error = Reason("cannot rename to", path, errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    if (!SyncFolderOf(path)) {
        error = Reason("cannot force the folder entry of", path, errno);
        return false;
    }
    return true;
}

bool RemoveLeftoverStore(const std::string& path)
{
    return ::unlink(StoreTempPath(path).c_str()) == 0;
}

}  // namespace platform
