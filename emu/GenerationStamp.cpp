#include "emu/GenerationStamp.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

namespace emu {

namespace {
constexpr size_t kMapSize = 4096;

std::mutex g_StampsLock;
std::map<std::filesystem::path, std::weak_ptr<GenerationStamp>> g_Stamps;
}  // namespace

std::shared_ptr<GenerationStamp> GenerationStamp::For(const std::filesystem::path& stationFolder)
{
    std::error_code ec;
    std::filesystem::path key = std::filesystem::weakly_canonical(stationFolder, ec);
    if (ec) key = stationFolder;
    std::lock_guard lock(g_StampsLock);
    auto& slot = g_Stamps[key];
    auto stamp = slot.lock();
    if (!stamp) {
        stamp = std::make_shared<GenerationStamp>(key);
        slot = stamp;
    }
    return stamp;
}

GenerationStamp::GenerationStamp(const std::filesystem::path& stationFolder)
{
    const std::filesystem::path file = stationFolder / "generation";
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // Growing a file to the mapped size is harmless when another process did it
    // first: the new bytes read as zero, the counters' start.
    if (::ftruncate(fd, kMapSize) == 0) {
        void* map = ::mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) m_Counters = static_cast<uint64_t*>(map);
    }
    ::close(fd);
}

GenerationStamp::~GenerationStamp()
{
    if (m_Counters) ::munmap(m_Counters, kMapSize);
}

uint64_t GenerationStamp::Read(Counter counter) const
{
    if (!m_Counters) return ++std::atomic_ref<uint64_t>(m_Unshared[counter]);
    return std::atomic_ref<uint64_t>(m_Counters[counter]).load();
}

void GenerationStamp::Bump(Counter counter)
{
    if (m_Counters) std::atomic_ref<uint64_t>(m_Counters[counter]).fetch_add(1);
}

}  // namespace emu
