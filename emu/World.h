#pragma once
// The emulated station's world as kept in its folder: which bridges exist and
// where their folders are. station.ini holds the bridge ids ("bridges = 1,2,3,4");
// each bridge lives in "bridge<ID>". Disk 0 is the host's system disk and never a
// bridge.
#include <filesystem>
#include <optional>
#include <vector>

#include "emu/Bridge.h"

namespace emu {

class World {
public:
    explicit World(std::filesystem::path folder) : m_Folder(std::move(folder)) {}

    bool Exists() const;
    // Creates a station of `bridges` default bridges on disks 1..N (replacing any
    // station in the folder).
    bool Init(int bridges);

    std::vector<int> BridgeIds() const;
    std::filesystem::path BridgeFolder(int id) const;
    // The bridge on the bus as disk `disk` (never disk 0).
    std::optional<int> BridgeOnDisk(int disk) const;

    const std::filesystem::path& Folder() const { return m_Folder; }

private:
    std::filesystem::path m_Folder;
};

}  // namespace emu
