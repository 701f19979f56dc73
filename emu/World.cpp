#include "emu/World.h"

#include <sstream>

namespace emu {

namespace fs = std::filesystem;

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
    std::string ids;
    for (int id = 1; id <= bridges; ++id) {
        BridgeSetup setup;
        setup.diskNumber = id;
        if (!Bridge::Create(BridgeFolder(id), setup)) return false;
        ids += (id > 1 ? "," : "") + std::to_string(id);
    }
    KeyValueFile station;
    station.Set("bridges", ids);
    return station.Save(m_Folder / "station.ini");
}

std::vector<int> World::BridgeIds() const
{
    KeyValueFile station;
    station.Load(m_Folder / "station.ini");
    std::vector<int> ids;
    std::istringstream list(station.Get("bridges"));
    for (std::string item; std::getline(list, item, ',');)
        if (!item.empty()) ids.push_back(std::stoi(item));
    return ids;
}

fs::path World::BridgeFolder(int id) const
{
    return m_Folder / ("bridge" + std::to_string(id));
}

std::optional<int> World::BridgeOnDisk(int disk) const
{
    if (disk <= 0) return std::nullopt;
    for (int id : BridgeIds()) {
        const Bridge bridge(BridgeFolder(id));
        if (bridge.Present() && bridge.DiskNumber() == disk) return id;
    }
    return std::nullopt;
}

}  // namespace emu
