#include "platform/Station.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/emu/EmuStation.h"
#include "util/USBUtility.h"

namespace platform {

namespace {
thread_local uint32_t t_LastError = 0;

std::shared_ptr<IStation>& StationSlot()
{
    static std::shared_ptr<IStation> station;
    return station;
}
std::mutex g_StationLock;
}  // namespace

uint32_t GetLastError() { return t_LastError; }
void SetLastError(uint32_t error) { t_LastError = error; }

std::string StationSpec()
{
    if (const char* spec = std::getenv("DEVEDA_STATION"); spec && *spec) return spec;
    return "emu:" + CUSBUtility::Instance().GetProgramFolder() + "/station";
}

std::string EmulatedStationFolder(const std::string& spec)
{
    return spec.rfind("emu:", 0) == 0 ? spec.substr(4) : "";
}

std::shared_ptr<IStation> MakeStation(const std::string& spec)
{
    const std::string folder = EmulatedStationFolder(spec);
    if (!folder.empty()) return std::make_shared<EmuStation>(folder);
    if (spec == "linux")
        std::fprintf(stderr, "station 'linux': real hardware is not supported by this build\n");
    else
        std::fprintf(stderr, "station '%s': unknown (expected emu:DIR or linux)\n", spec.c_str());
    return nullptr;
}

IStation& Station()
{
    std::lock_guard lock(g_StationLock);
    auto& station = StationSlot();
    if (!station) {
        station = MakeStation(StationSpec());
        if (!station) std::exit(2);
    }
    return *station;
}

void SetStation(std::shared_ptr<IStation> station)
{
    std::lock_guard lock(g_StationLock);
    StationSlot() = std::move(station);
}

}  // namespace platform
