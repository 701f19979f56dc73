#include "platform/Station.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

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

namespace {
std::mutex g_ChoiceLock;
std::string g_Choice;  // set by --station=, else empty
}  // namespace

void SetStationChoice(const std::string& choice)
{
    std::lock_guard lock(g_ChoiceLock);
    g_Choice = choice;
}

bool StandardOutputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) != 0;
}

std::string StationChoice()
{
    {
        std::lock_guard lock(g_ChoiceLock);
        if (!g_Choice.empty()) return g_Choice;
    }
    if (const char* choice = std::getenv("DEVEDA_STATION"); choice && *choice) return choice;
    return "emu:" + CUSBUtility::Instance().GetProgramFolder() + "/station";
}

std::string EmulatedStationFolder(const std::string& choice)
{
    return choice.rfind("emu:", 0) == 0 ? choice.substr(4) : "";
}

std::shared_ptr<IStation> MakeStation(const std::string& choice)
{
    const std::string folder = EmulatedStationFolder(choice);
    if (!folder.empty()) return std::make_shared<EmuStation>(folder);
    if (choice == "linux")
        std::fprintf(stderr, "station 'linux': real hardware is not supported by this build\n");
    else
        std::fprintf(stderr, "station '%s': unknown (expected emu:DIR or linux)\n", choice.c_str());
    return nullptr;
}

IStation& Station()
{
    std::lock_guard lock(g_StationLock);
    auto& station = StationSlot();
    if (!station) {
        station = MakeStation(StationChoice());
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
