#include "emu/World.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace emu {

namespace fs = std::filesystem;

namespace {
constexpr int kDefaultControllers = 2;
constexpr int kDefaultRootPorts = 10;

int ToInt(const std::map<std::string, std::string>& fields, const std::string& key, int fallback)
{
    const auto it = fields.find(key);
    return it == fields.end() ? fallback : static_cast<int>(std::strtol(it->second.c_str(), nullptr, 0));
}

std::vector<int> IdList(const std::string& text)
{
    std::vector<int> ids;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const long id = std::strtol(item.c_str(), nullptr, 10);
        if (id > 0) ids.push_back(static_cast<int>(id));
    }
    return ids;
}

std::string IdText(const std::vector<int>& ids)
{
    std::string text;
    for (int id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
    return text;
}

UsbLocation LocationOf(const std::map<std::string, std::string>& fields)
{
    return {ToInt(fields, "controller", 0), ToInt(fields, "hub", 0), ToInt(fields, "port", 0)};
}

bool SameLocation(const UsbLocation& a, const UsbLocation& b)
{
    return a.controller == b.controller && a.hub == b.hub && a.port == b.port;
}
}  // namespace

std::map<std::string, std::string> ParseFields(const std::string& text)
{
    std::map<std::string, std::string> fields;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
}

GenerationStamp& World::Stamp() const
{
    std::lock_guard lock(m_CacheLock);
    if (!m_Stamp) m_Stamp = GenerationStamp::For(m_Folder);
    return *m_Stamp;
}

void World::ForgetCopies() const
{
    std::lock_guard lock(m_CacheLock);
    m_Station.reset();
    m_Bridges.clear();
}

void World::RefreshCache() const
{
    if (!m_Stamp) m_Stamp = GenerationStamp::For(m_Folder);
    const uint64_t generation = m_Stamp->State();
    if (generation == m_CachedGeneration) return;
    m_CachedGeneration = generation;
    m_Station.reset();
    m_Bridges.clear();
}

KeyValueFile World::Load() const
{
    std::lock_guard lock(m_CacheLock);
    RefreshCache();
    if (!m_Station) {
        m_Station.emplace();
        m_Station->Load(m_Folder / "station.ini");
    }
    return *m_Station;
}

bool World::Store(const KeyValueFile& station) const
{
    const bool stored = station.Save(m_Folder / "station.ini");
    Stamp().StateChanged();
    return stored;
}

std::shared_ptr<const Bridge> World::BridgeState(int id) const
{
    std::lock_guard lock(m_CacheLock);
    RefreshCache();
    auto& bridge = m_Bridges[id];
    if (!bridge) bridge = std::make_shared<const Bridge>(BridgeFolder(id));
    return bridge;
}

bool World::Exists() const
{
    return fs::exists(m_Folder / "station.ini");
}

bool World::Init(int bridges)
{
    std::error_code ec;
    for (int id : BridgeIds()) fs::remove_all(BridgeFolder(id), ec);
    fs::create_directories(m_Folder, ec);
    if (ec) return false;
    KeyValueFile station;
    station.SetInt("controllers", std::max(kDefaultControllers, (bridges + kDefaultRootPorts - 1) / kDefaultRootPorts));
    station.SetInt("root_ports", kDefaultRootPorts);
    station.SetInt("next_disk", bridges + 1);
    std::vector<int> ids;
    for (int id = 1; id <= bridges; ++id) {
        BridgeSetup setup;
        setup.diskNumber = id;
        setup.location = {(id - 1) / kDefaultRootPorts, 0, (id - 1) % kDefaultRootPorts + 1};
        if (!Bridge::Create(BridgeFolder(id), setup)) return false;
        ids.push_back(id);
    }
    station.Set("bridges", IdText(ids));
    return Store(station);
}

std::optional<StationTime> World::Time() const
{
    const KeyValueFile station = Load();
    const int64_t scale = station.GetInt("time_scale", 0);
    if (scale < 1 || scale > kMaxTimeScale) return std::nullopt;
    return StationTime{scale, station.GetInt("time_wall_ms", 0), station.GetInt("time_station_ms", 0)};
}

bool World::SetTimeScale(int64_t scale, int64_t wallMs)
{
    if (scale < 1 || scale > kMaxTimeScale) return false;
    const auto current = Time();
    KeyValueFile station = Load();
    station.SetInt("time_scale", scale);
    station.SetInt("time_wall_ms", wallMs);
    station.SetInt("time_station_ms", current ? current->At(wallMs) : wallMs);
    return Store(station);
}

std::vector<int> World::BridgeIds() const
{
    return IdList(Load().Get("bridges"));
}

fs::path World::BridgeFolder(int id) const
{
    return m_Folder / ("bridge" + std::to_string(id));
}

std::optional<int> World::BridgeOnDisk(int disk) const
{
    if (disk <= 0) return std::nullopt;
    for (int id : BridgeIds()) {
        const auto bridge = BridgeState(id);
        if (bridge->Present() && bridge->CdromNumber() < 0 && bridge->DiskNumber() == disk) return id;
    }
    return std::nullopt;
}

int World::ControllerCount() const
{
    return static_cast<int>(Load().GetInt("controllers", kDefaultControllers));
}

int World::RootPortCount() const
{
    return static_cast<int>(Load().GetInt("root_ports", kDefaultRootPorts));
}

std::vector<ExternalHub> World::Hubs() const
{
    std::vector<ExternalHub> hubs;
    const KeyValueFile station = Load();
    for (const auto& [key, value] : station.Values()) {
        if (key.rfind("hub.", 0) != 0) continue;
        const auto fields = ParseFields(value);
        hubs.push_back({std::atoi(key.c_str() + 4), LocationOf(fields), ToInt(fields, "ports", 4)});
    }
    return hubs;
}

std::vector<Decoy> World::Decoys() const
{
    std::vector<Decoy> decoys;
    const KeyValueFile station = Load();
    for (const auto& [key, value] : station.Values()) {
        if (key.rfind("decoy.", 0) != 0) continue;
        auto fields = ParseFields(value);
        decoys.push_back({std::atoi(key.c_str() + 6), fields["kind"], ToInt(fields, "disk", 0), LocationOf(fields),
                          fields["serial"]});
    }
    return decoys;
}

int World::PortCount(int controller, int hub) const
{
    if (hub == 0) return controller >= 0 && controller < ControllerCount() ? RootPortCount() : 0;
    for (const auto& external : Hubs())
        if (external.id == hub && external.location.controller == controller) return external.ports;
    return 0;
}

PortOccupant World::At(const UsbLocation& location) const
{
    for (int id : BridgeIds()) {
        const auto bridge = BridgeState(id);
        if (bridge->Present() && SameLocation(bridge->Location(), location)) return {PortOccupant::kBridge, id};
    }
    for (const auto& hub : Hubs())
        if (SameLocation(hub.location, location)) return {PortOccupant::kHub, hub.id};
    for (const auto& decoy : Decoys())
        if (decoy.kind == "stick" && SameLocation(decoy.location, location)) return {PortOccupant::kDecoy, decoy.id};
    return {};
}

int World::TakeDiskNumber()
{
    KeyValueFile station = Load();
    const int disk = static_cast<int>(station.GetInt("next_disk", 1));
    station.SetInt("next_disk", disk + 1);
    return Store(station) ? disk : 0;
}

void World::PostEvent(const std::string& kind, int disk)
{
    KeyValueFile station = Load();
    const int64_t count = station.GetInt("event_count", 0) + 1;
    station.SetInt("event_count", count);
    station.Set("event_last", kind);
    if (kind == "arrival" && disk > 0) {
        // "count:disk,count:disk,...", the newest last.
        std::vector<std::string> log;
        std::istringstream list(station.Get("arrivals"));
        for (std::string item; std::getline(list, item, ',');)
            if (!item.empty()) log.push_back(item);
        log.push_back(std::to_string(count) + ":" + std::to_string(disk));
        if (log.size() > kArrivalLogSize) log.erase(log.begin(), log.end() - kArrivalLogSize);
        std::string text;
        for (const auto& item : log) text += (text.empty() ? "" : ",") + item;
        station.Set("arrivals", text);
    }
    Store(station);
}

std::vector<int> World::DisksArrivedSince(int64_t mark) const
{
    std::vector<int> disks;
    std::istringstream list(Load().Get("arrivals"));
    for (std::string item; std::getline(list, item, ',');) {
        const size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        if (std::strtoll(item.c_str(), nullptr, 10) > mark) disks.push_back(std::atoi(item.c_str() + colon + 1));
    }
    return disks;
}

int64_t World::EventCount() const
{
    return Load().GetInt("event_count", 0);
}

std::string World::LastEvent() const
{
    return Load().Get("event_last");
}

std::optional<UsbLocation> World::FreeRootPort() const
{
    for (int controller = 0; controller < ControllerCount(); ++controller)
        for (int port = 1; port <= RootPortCount(); ++port)
            if (At({controller, 0, port}).kind == PortOccupant::kNone) return UsbLocation{controller, 0, port};
    return std::nullopt;
}

int World::AddBridge(const BridgeSetup& setup)
{
    auto ids = BridgeIds();
    const int id = ids.empty() ? 1 : *std::max_element(ids.begin(), ids.end()) + 1;
    if (!Bridge::Create(BridgeFolder(id), setup)) return 0;
    ids.push_back(id);
    KeyValueFile station = Load();
    station.Set("bridges", IdText(ids));
    return Store(station) ? id : 0;
}

bool World::RemoveBridge(int id)
{
    auto ids = BridgeIds();
    const auto it = std::find(ids.begin(), ids.end(), id);
    if (it == ids.end()) return false;
    ids.erase(it);
    KeyValueFile station = Load();
    station.Set("bridges", IdText(ids));
    std::error_code ec;
    fs::remove_all(BridgeFolder(id), ec);
    return Store(station);
}

int World::AddHub(const ExternalHub& hub)
{
    KeyValueFile station = Load();
    int id = 1;
    while (!station.Get("hub." + std::to_string(id)).empty()) ++id;
    station.Set("hub." + std::to_string(id), "controller=" + std::to_string(hub.location.controller) +
                                                 " hub=" + std::to_string(hub.location.hub) +
                                                 " port=" + std::to_string(hub.location.port) +
                                                 " ports=" + std::to_string(hub.ports));
    return Store(station) ? id : 0;
}

int World::AddDecoy(const Decoy& decoy)
{
    KeyValueFile station = Load();
    int id = 1;
    while (!station.Get("decoy." + std::to_string(id)).empty()) ++id;
    std::string text = "kind=" + decoy.kind + " disk=" + std::to_string(decoy.disk) + " serial=" + decoy.serial;
    if (decoy.kind == "stick")
        text += " controller=" + std::to_string(decoy.location.controller) + " hub=" +
                std::to_string(decoy.location.hub) + " port=" + std::to_string(decoy.location.port);
    station.Set("decoy." + std::to_string(id), text);
    return Store(station) ? id : 0;
}

}  // namespace emu
