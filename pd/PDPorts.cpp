#include "pd/PDPorts.h"

#include <mutex>

#include "device/BrvtUSBDev.h"

namespace pd {

namespace {

// One discovery at a time: the port threads search while others still update.
std::mutex g_DiscoveryLock;

constexpr int k795xFamily = 2;

}  // namespace

std::vector<PDPort> FindPDPorts(platform::IStation& station)
{
    std::lock_guard lock(g_DiscoveryLock);
    CBrvtUSBDev dev(station);
    DeviceList list;
    std::vector<PDPort> ports;
    if (dev.Open(list, "0", k795xFamily) != kCommandSuccess) return ports;
    for (uint32_t i = 0; i < list.DevNums; ++i) {
        const DeviceInfo& record = list.Devs[i];
        if (record.m_bCDROM || record.IsPcie) continue;
        ports.push_back({static_cast<int>(ports.size()), record.m_ucPhysicalAddress, record.m_strSerialNumber});
    }
    return ports;
}

PDRelinkFinder RelinkBySerial(platform::IStation& station)
{
    return [&station](const PDPort& port) -> std::optional<int> {
        for (const PDPort& found : FindPDPorts(station))
            if (!port.serial.empty() && found.serial == port.serial) return found.drive;
        return std::nullopt;
    };
}

}  // namespace pd
