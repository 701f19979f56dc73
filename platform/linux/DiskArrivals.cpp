#include "platform/linux/DiskArrivals.h"

#include "util/Clock.h"

namespace platform::linuxst {

std::optional<std::string> ArrivedDisk(const UdevEvent& event)
{
    if (event.action != "add" || event.subsystem != "block" || event.devtype != "disk") return std::nullopt;
    const size_t slash = event.devpath.rfind('/');
    std::string name = slash == std::string::npos ? event.devpath : event.devpath.substr(slash + 1);
    if (name.empty()) return std::nullopt;
    return name;
}

void DiskArrivalLog::Note(const UdevEvent& event)
{
    auto name = ArrivedDisk(event);
    if (!name) return;
    {
        std::lock_guard lock(m_Lock);
        m_Arrivals.emplace_back(++m_Count, std::move(*name));
        if (m_Arrivals.size() > kKept) m_Arrivals.pop_front();
    }
    m_Wake.notify_all();
}

uint64_t DiskArrivalLog::Mark() const
{
    std::lock_guard lock(m_Lock);
    return m_Count;
}

std::vector<std::string> DiskArrivalLog::Since(uint64_t mark) const
{
    std::lock_guard lock(m_Lock);
    std::vector<std::string> names;
    for (const auto& [number, name] : m_Arrivals)
        if (number > mark) names.push_back(name);
    return names;
}

bool DiskArrivalLog::WaitSince(uint64_t mark, int64_t ms) const
{
    const auto clock = util::GetClock();
    std::unique_lock lock(m_Lock);
    return clock->WaitMs(m_Wake, lock, ms, [&] { return m_Count > mark; });
}

}  // namespace platform::linuxst
