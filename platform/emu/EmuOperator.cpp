// The emulated station's operator: the power cycle a PD update asks for.
#include "emu/PdTunnel.h"
#include "platform/emu/EmuStation.h"
#include "util/Clock.h"

namespace platform {

bool EmuStation::OperatorPowerCycle(uint32_t disk)
{
    const auto id = m_World.BridgeOnDisk(static_cast<int>(disk));
    if (!id) return false;
    const auto folder = m_World.BridgeFolder(*id);
    const int64_t delay = emu::PdTunnel::OperatorReplugMs(folder);
    if (delay < 0) return false;
    SetBridgePlugged(*id, false);
    emu::PdTunnel::PowerCycle(folder);
    std::lock_guard lock(m_OperatorLock);
    m_OperatorReplugs.emplace_back([this, id = *id, folder, delay] {
        util::SleepMs(delay);
        if (emu::PdTunnel::ComesBack(folder)) SetBridgePlugged(id, true);
    });
    return true;
}

}  // namespace platform
