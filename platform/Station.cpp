#include "platform/Station.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include <unistd.h>

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace platform {

namespace {
thread_local uint32_t t_LastError = 0;

constexpr size_t kMaxPathLength = 4096;
constexpr size_t kMaxComponentLength = 255;
constexpr const char* kDefaultStation = "linux";

std::shared_ptr<IStation>& StationSlot()
{
    static std::shared_ptr<IStation> station;
    return station;
}
std::mutex g_StationLock;

std::once_flag g_ClockOnce;
bool g_ClockInstalled = false;  // written once under g_ClockOnce

std::mutex g_ChoiceLock;
std::optional<std::string> g_Choice;  // set by --station=, even when empty

// Kinds register from static initialisers: the map is built on first use.
std::map<std::string, StationKind>& Kinds()
{
    static std::map<std::string, StationKind> kinds;
    return kinds;
}
}  // namespace

bool IStation::ReadUsbString(const UsbNode& node, uint8_t index, uint16_t languageId, std::u16string& text)
{
    if (index == 0) {
        text.assign(node.languages.begin(), node.languages.end());
        return true;
    }
    const std::string* value = index == node.iManufacturer ? &node.manufacturer
                               : index == node.iProduct    ? &node.product
                               : index == node.iSerialNumber ? &node.serial
                                                             : nullptr;
    // The system keeps each string in the device's first language only.
    if (!value || value->empty() || node.languages.empty() || languageId != node.languages.front()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    text.clear();
    for (const char c : *value) text += static_cast<char16_t>(static_cast<unsigned char>(c));
    return true;
}

bool IStation::WaitForDiskArrival(uint64_t, int64_t ms)
{
    util::SleepMs(ms);
    return false;
}

uint32_t GetLastError() { return t_LastError; }
void SetLastError(uint32_t error) { t_LastError = error; }

bool RegisterStationKind(StationKind kind)
{
    std::string name = kind.name;
    Kinds()[name] = std::move(kind);
    return true;
}

const StationKind* FindStationKind(const std::string& name)
{
    const auto kind = Kinds().find(name);
    return kind == Kinds().end() ? nullptr : &kind->second;
}

std::vector<const StationKind*> StationKinds()
{
    std::vector<const StationKind*> kinds;
    for (const auto& [name, kind] : Kinds()) kinds.push_back(&kind);
    return kinds;
}

std::string StationUsage()
{
    std::string usage;
    for (const auto& [name, kind] : Kinds()) usage += (usage.empty() ? "" : "|") + kind.usage;
    return usage;
}

bool SplitStationChoice(const std::string& choice, std::string& name, std::string& argument, std::string& error)
{
    if (choice.empty()) {
        error = "the station choice is empty (expected " + StationUsage() + ")";
        return false;
    }
    const size_t colon = choice.find(':');
    name = choice.substr(0, colon);
    argument = colon == std::string::npos ? "" : choice.substr(colon + 1);
    if (!FindStationKind(name)) {
        error = "station '" + choice + "': unknown (expected " + StationUsage() + ")";
        return false;
    }
    return true;
}

bool CheckPathText(const std::string& path, std::string& error)
{
    if (path.empty()) {
        error = "the path is empty";
        return false;
    }
    if (path.size() > kMaxPathLength) {
        error = "the path is longer than " + std::to_string(kMaxPathLength) + " characters";
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end - start > kMaxComponentLength) {
            error = "a part of the path is longer than " + std::to_string(kMaxComponentLength) + " characters";
            return false;
        }
        start = end + 1;
    }
    if (path.find('\0') != std::string::npos) {
        error = "the path holds a NUL character";
        return false;
    }
    return true;
}

bool CheckFolderPath(const std::string& path, std::string& error)
{
    if (!CheckPathText(path, error)) return false;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
        error = "this is a file, not a folder";
        return false;
    }
    return true;
}

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
        if (g_Choice) return *g_Choice;
    }
    if (const char* choice = std::getenv("DEVEDA_STATION"); choice && *choice) return choice;
    return kDefaultStation;
}

std::shared_ptr<IStation> MakeStation(const std::string& choice, std::string& error)
{
    std::string name, argument;
    if (!SplitStationChoice(choice, name, argument, error)) return nullptr;
    std::shared_ptr<IStation> station = FindStationKind(name)->make(argument, error);
    if (station && station->IsEmulated())
        DBG_WRN("%s:%d: EMULATED station: %s; no real bridge is reached", station->Describe().c_str());
    return station;
}

bool InstallStationClock()
{
    std::call_once(g_ClockOnce, [] {
        std::string name, argument, error;
        if (!SplitStationChoice(StationChoice(), name, argument, error)) return;
        const StationKind* kind = FindStationKind(name);
        if (!kind->clock) return;
        if (std::shared_ptr<const util::Clock> clock = kind->clock(argument)) {
            util::SetClock(std::move(clock));
            g_ClockInstalled = true;
        }
    });
    return g_ClockInstalled;
}

IStation& Station()
{
    InstallStationClock();
    std::lock_guard lock(g_StationLock);
    auto& station = StationSlot();
    if (!station) {
        std::string error;
        station = MakeStation(StationChoice(), error);
        if (!station) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(2);
        }
    }
    return *station;
}

void SetStation(std::shared_ptr<IStation> station)
{
    std::lock_guard lock(g_StationLock);
    StationSlot() = std::move(station);
}

}  // namespace platform
