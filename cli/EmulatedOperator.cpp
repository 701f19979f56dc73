#include "cli/EmulatedOperator.h"

#include "emu/PdTunnel.h"
#include "util/Clock.h"

namespace cli {

std::unique_ptr<EmulatedOperator> EmulatedOperator::ForChosenStation()
{
    const std::string folder = platform::EmulatedStationFolder(platform::StationChoice());
    if (folder.empty()) return nullptr;
    return std::make_unique<EmulatedOperator>(folder);
}

bool EmulatedOperator::PowerCycle(int disk)
{
    const auto id = m_Station.World().BridgeOnDisk(disk);
    if (!id) return false;
    const auto folder = m_Station.World().BridgeFolder(*id);
    const int64_t delay = emu::PdTunnel::OperatorReplugMs(folder);
    if (delay < 0) return false;
    m_Station.SetBridgePlugged(*id, false);
    emu::PdTunnel::PowerCycle(folder);
    std::lock_guard lock(m_Lock);
    m_Replugs.emplace_back([this, id = *id, folder, delay] {
        util::SleepMs(delay);
        if (emu::PdTunnel::ComesBack(folder)) m_Station.SetBridgePlugged(id, true);
    });
    return true;
}

}  // namespace cli
