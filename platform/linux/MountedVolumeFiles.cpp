#include "platform/linux/MountedVolumeFiles.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Station.h"

namespace platform {

namespace fs = std::filesystem;

namespace {
// Closes a descriptor when it goes out of scope.
struct Descriptor {
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor()
    {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};
}  // namespace

bool MountedVolumeFiles::Failed(const std::string& what, uint32_t error)
{
    m_strError = what;
    SetLastError(error);
    return false;
}

fs::path MountedVolumeFiles::Resolve(const std::string& path)
{
    if (!IsVolumePath(path)) {
        Failed("bad name '" + path + "'", ERROR_INVALID_NAME);
        return {};
    }
    return m_Root / path;
}

bool MountedVolumeFiles::MakeDirectory(const std::string& path)
{
    const fs::path full = Resolve(path);
    if (full.empty()) return false;
    std::error_code ec;
    fs::create_directory(full, ec);
    return !ec || Failed(full.string() + ": " + ec.message(), ERROR_PATH_NOT_FOUND);
}

bool MountedVolumeFiles::WriteFile(const std::string& path, uint64_t offset, const void* data, uint64_t length)
{
    const fs::path full = Resolve(path);
    if (full.empty()) return false;
    Descriptor file(::open(full.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (offset == 0 ? O_TRUNC : 0), 0644));
    if (file.fd < 0) return Failed(full.string() + ": " + std::strerror(errno), ERROR_ACCESS_DENIED);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint64_t done = 0; done < length;) {
        const ssize_t n = ::pwrite(file.fd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Failed(full.string() + ": " + std::strerror(errno), ERROR_DISK_FULL);
        done += static_cast<uint64_t>(n);
    }
    return true;
}

bool MountedVolumeFiles::ReadFile(const std::string& path, uint64_t offset, void* data, uint64_t length, uint64_t& read)
{
    read = 0;
    const fs::path full = Resolve(path);
    if (full.empty()) return false;
    Descriptor file(::open(full.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) return Failed(full.string() + ": " + std::strerror(errno), ERROR_FILE_NOT_FOUND);
    auto* bytes = static_cast<uint8_t*>(data);
    while (read < length) {
        const ssize_t n = ::pread(file.fd, bytes + read, length - read, static_cast<off_t>(offset + read));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Failed(full.string() + ": " + std::strerror(errno), ERROR_IO_DEVICE);
        if (n == 0) break;
        read += static_cast<uint64_t>(n);
    }
    return true;
}

bool MountedVolumeFiles::FileSize(const std::string& path, uint64_t& size)
{
    const fs::path full = Resolve(path);
    if (full.empty()) return false;
    std::error_code ec;
    size = fs::file_size(full, ec);
    return !ec || Failed(full.string() + ": " + ec.message(), ERROR_FILE_NOT_FOUND);
}

bool MountedVolumeFiles::DeleteFile(const std::string& path)
{
    const fs::path full = Resolve(path);
    if (full.empty()) return false;
    std::error_code ec;
    fs::remove(full, ec);
    return !ec || Failed(full.string() + ": " + ec.message(), ERROR_ACCESS_DENIED);
}

bool MountedVolumeFiles::Flush()
{
    Descriptor root(::open(m_Root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0 || ::syncfs(root.fd) != 0)
        return Failed(m_Root.string() + ": " + std::strerror(errno), ERROR_IO_DEVICE);
    return true;
}

bool MountedVolumeFiles::FreeSpace(uint64_t& bytes)
{
    struct statvfs info {};
    if (::statvfs(m_Root.c_str(), &info) != 0)
        return Failed(m_Root.string() + ": " + std::strerror(errno), ERROR_IO_DEVICE);
    bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

}  // namespace platform
