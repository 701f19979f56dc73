#include "emu/GenerationStamp.h"

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
    : m_Mapping(stationFolder / "generation", kMapSize)
{
    if (m_Mapping.Valid()) m_Counters = static_cast<uint64_t*>(m_Mapping.Data());
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
