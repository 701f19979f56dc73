#include "util/SharedFileMapping.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

namespace util {

SharedFileMapping::SharedFileMapping(const std::filesystem::path& file, size_t size)
{
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // Growing a file to the mapped size is harmless when another process did it
    // first: it is already that long, and a shorter file's new bytes read as zero.
    struct stat st {};
    const bool longEnough = ::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= size;
    if (longEnough || ::ftruncate(fd, static_cast<off_t>(size)) == 0) {
        void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            m_Data = map;
            m_Size = size;
        }
    }
    ::close(fd);
}

SharedFileMapping::~SharedFileMapping()
{
    if (m_Data) ::munmap(m_Data, m_Size);
}

}  // namespace util
