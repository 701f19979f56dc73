#include "platform/emu/ImageRange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace platform {

namespace {

constexpr size_t kChunk = size_t{1} << 20;

struct Extent {
    uint64_t start = 0;
    uint64_t length = 0;
};

class Fd {
public:
    explicit Fd(int fd) : m_Fd(fd) {}
    ~Fd()
    {
        if (m_Fd >= 0) ::close(m_Fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_Fd; }

private:
    int m_Fd;
};

// The data extents of `fd` inside [from, to), relative to `from`. A file system
// without hole queries reports the whole range as data, which only costs time.
bool DataExtents(int fd, uint64_t from, uint64_t to, std::vector<Extent>& extents)
{
    for (uint64_t at = from; at < to;) {
        const off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0) return errno == ENXIO;  // no data after `at`
        if (static_cast<uint64_t>(data) >= to) break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) return false;
        const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(hole), to);
        extents.push_back({static_cast<uint64_t>(data) - from, end - static_cast<uint64_t>(data)});
        at = end;
    }
    return true;
}

// Copies `length` bytes from `in` at `inAt` to `out` at `outAt`.
bool Copy(int in, uint64_t inAt, int out, uint64_t outAt, uint64_t length, std::vector<uint8_t>& buffer)
{
    for (uint64_t done = 0; done < length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        const ssize_t got = ::pread(in, buffer.data(), n, static_cast<off_t>(inAt + done));
        if (got <= 0) return false;
        const auto size = static_cast<size_t>(got);
        if (::pwrite(out, buffer.data(), size, static_cast<off_t>(outAt + done)) != got) return false;
        done += size;
    }
    return true;
}

bool CopyExtents(const std::vector<Extent>& extents, int in, uint64_t inBase, int out, uint64_t outBase)
{
    std::vector<uint8_t> buffer(kChunk);
    for (const Extent& e : extents)
        if (!Copy(in, inBase + e.start, out, outBase + e.start, e.length, buffer)) return false;
    return true;
}

bool Run(const std::filesystem::path& image, uint64_t offset, uint64_t length, const std::filesystem::path& scratch,
         const std::function<bool(const std::string& file)>& tool)
{
    const Fd disk(::open(image.c_str(), O_RDWR | O_CLOEXEC));
    struct stat info {};
    if (disk.Get() < 0 || ::fstat(disk.Get(), &info) != 0 || offset + length < offset ||
        offset + length > static_cast<uint64_t>(info.st_size))
        return false;
    std::vector<Extent> before;
    if (!DataExtents(disk.Get(), offset, offset + length, before)) return false;
    {
        const Fd copy(::open(scratch.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (copy.Get() < 0 || ::ftruncate(copy.Get(), static_cast<off_t>(length)) != 0 ||
            !CopyExtents(before, disk.Get(), offset, copy.Get(), 0))
            return false;
    }
    if (!tool(scratch.string())) return false;
    const Fd copy(::open(scratch.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat scratchInfo {};
    // A tool that changed the file's size did not format the partition as it is.
    if (copy.Get() < 0 || ::fstat(copy.Get(), &scratchInfo) != 0 ||
        static_cast<uint64_t>(scratchInfo.st_size) != length)
        return false;
    std::vector<Extent> after;
    if (!DataExtents(copy.Get(), 0, length, after)) return false;
    // What the range held before is written back too: a hole the tool punched
    // there must read as zeros on the disk as well.
    return CopyExtents(after, copy.Get(), 0, disk.Get(), offset) &&
           CopyExtents(before, copy.Get(), 0, disk.Get(), offset) && ::fsync(disk.Get()) == 0;
}

}  // namespace

bool RunOnImageRange(const std::filesystem::path& image, uint64_t offset, uint64_t length,
                     const std::filesystem::path& scratch, const std::function<bool(const std::string& file)>& tool)
{
    const bool result = Run(image, offset, length, scratch, tool);
    std::error_code ec;
    std::filesystem::remove(scratch, ec);
    return result;
}

}  // namespace platform
