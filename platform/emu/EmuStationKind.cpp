// Registers the emulated station, chosen by "emu:DIR": DIR must hold a station
// made by "devedactl --station=emu:DIR emu init", so that a mistyped folder is an
// error instead of a fresh station that passes every run.
#include "platform/emu/EmuConsole.h"
#include "platform/emu/EmuStation.h"

namespace platform {
namespace {

std::shared_ptr<IStation> MakeEmuStation(const std::string& folder, std::string& error)
{
    if (!CheckEmulatedStationFolder(folder, error)) return nullptr;
    return std::make_shared<EmuStation>(folder);
}

// The clock of the station in `folder` (null when it keeps real time, or when
// the folder holds no station: making the station reports that).
std::shared_ptr<const util::Clock> EmuStationClock(const std::string& folder)
{
    std::string error;
    if (!CheckEmulatedStationFolder(folder, error)) return nullptr;
    return EmulatedStationClock(folder);
}

[[maybe_unused]] const bool g_Registered =
    RegisterStationKind({"emu", "emu:DIR", MakeEmuStation, RunEmuConsole, kEmuConsoleUsage, EmuStationClock});

}  // namespace
}  // namespace platform
