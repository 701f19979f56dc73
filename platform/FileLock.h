#pragma once
// An exclusive lock on a file that every process of the tool respects (an
// advisory lock of the system, released by the system when the holder dies, so a
// killed station never leaves a lock behind that blocks the next one). The lock
// file holds a line naming its holder (process id and start time) so that a
// refused process can say who holds it.
#include <memory>
#include <string>

namespace platform {

class FileLock {
public:
    // Takes the lock on `path` (the file is created when missing). With `wait` it
    // waits for the holder to let go; without, it fails at once. On failure
    // `holder` names the holder, or the reason the file could not be locked at
    // all; `held` (when given) tells which of the two it is.
    static std::unique_ptr<FileLock> Acquire(const std::string& path, bool wait, std::string& holder,
                                             bool* held = nullptr);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    explicit FileLock(int fd) : m_Fd(fd) {}
    int m_Fd;
};

}  // namespace platform
