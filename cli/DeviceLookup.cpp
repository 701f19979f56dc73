#include "cli/DeviceLookup.h"

#include <cstdio>

namespace cli {

std::optional<uint8_t> FindBridgeOnDisk(CBrvtUSBDev& dev, DeviceList& list, long disk)
{
    dev.Open(list, "0", 2);
    for (uint32_t i = 0; i < list.DevNums; ++i)
        if (!list.Devs[i].m_bCDROM && list.Devs[i].m_ucPhysicalAddress == disk) return static_cast<uint8_t>(i);
    std::fprintf(stderr, "devedactl: no 795x bridge on disk %ld (%u found)\n", disk, list.DevNums);
    return std::nullopt;
}

}  // namespace cli
