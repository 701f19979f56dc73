#pragma once
// The emulated station's world as kept in its folder: the USB tree (host
// controllers, their root hubs, external hubs), the bridges on it, and decoy
// devices that discovery must pass over. Disk 0 is the host's system disk and
// never a bridge.
//
// station.ini keys:
//   bridges = 1,2,3         ids of the bridges; each lives in "bridge<ID>"
//   controllers = 2         host controllers, each with a root hub
//   root_ports = 10         ports of every root hub
//   next_disk = 5           number the next disk that appears will get
//   hub.<ID> = controller=C hub=H port=P ports=N
//                           an external hub on port P of hub H (0 = root hub)
//   decoy.<ID> = kind=stick|sata disk=D [controller=C hub=H port=P] serial=S
//                           a plain USB stick on a port, or a SATA disk with no
//                           USB port; each answers as an ordinary disk
//   time_scale = 50         the station's clock runs 50 times faster than real
//   time_wall_ms = W        time; at wall-clock time W (ms since the epoch) it
//   time_station_ms = S     read S. Absent: the station keeps real time; "emu
//                           init" starts a station on real time unless told.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emu/Bridge.h"
#include "emu/GenerationStamp.h"

namespace emu {

struct ExternalHub {
    int id = 0;
    UsbLocation location;  // where the hub itself is plugged in
    int ports = 4;
};

struct Decoy {
    int id = 0;
    std::string kind;  // "stick" or "sata"
    int disk = 0;
    UsbLocation location;  // sticks only
    std::string serial;
};

// The time line of a station that runs faster than real time: at wall-clock
// time `wallMs` its clock read `stationMs`, and it runs `scale` times faster.
struct StationTime {
    int64_t scale = 1;
    int64_t wallMs = 0;
    int64_t stationMs = 0;
    // The station's time at wall-clock time `wall`.
    int64_t At(int64_t wall) const { return stationMs + (wall - wallMs) * scale; }
};
// The largest time scale a station takes.
constexpr int64_t kMaxTimeScale = 100000;

// What sits on one hub port.
struct PortOccupant {
    enum Kind { kNone, kBridge, kHub, kDecoy } kind = kNone;
    int id = 0;
};

// The world keeps what it read from station.ini and the bridges' bridge.ini in
// memory, and reads them again only when the station's generation stamp shows
// that some process (this one included) changed them.
class World {
public:
    explicit World(std::filesystem::path folder) : m_Folder(std::move(folder)) {}

    bool Exists() const;
    // Creates a station of `bridges` default bridges on disks 1..N, ten to a
    // root hub (replacing any station in the folder).
    bool Init(int bridges);
    // The station's own time line; nullopt when it keeps real time.
    std::optional<StationTime> Time() const;
    // Makes the station's clock run `scale` times faster from wall-clock time
    // `wallMs` on (1: real speed again), continuing from the time it reads then,
    // so that stamps already kept by the station stay in the past.
    bool SetTimeScale(int64_t scale, int64_t wallMs);

    std::vector<int> BridgeIds() const;
    std::filesystem::path BridgeFolder(int id) const;
    // The bridge with its state as last saved (read from its folder only when it
    // changed since). For reading: a change must be made under the bridge's lock
    // on a freshly loaded bridge.
    std::shared_ptr<const Bridge> BridgeState(int id) const;
    // The bridge on the bus as disk `disk` (never disk 0).
    std::optional<int> BridgeOnDisk(int disk) const;

    int ControllerCount() const;
    int RootPortCount() const;
    std::vector<ExternalHub> Hubs() const;
    std::vector<Decoy> Decoys() const;
    int PortCount(int controller, int hub) const;
    PortOccupant At(const UsbLocation& location) const;

    // Shaping the world.
    int AddBridge(const BridgeSetup& setup);  // returns the new id, 0 on failure
    bool RemoveBridge(int id);
    int AddHub(const ExternalHub& hub);
    int AddDecoy(const Decoy& decoy);
    // The next free disk number (advances the counter).
    int TakeDiskNumber();
    // Device events: every arrival or removal advances the counter; the last
    // kind ("arrival" or "removal") is kept with it. The arrival of a disk keeps
    // its number with the event's count (the last kArrivalLogSize of them).
    void PostEvent(const std::string& kind, int disk = -1);
    int64_t EventCount() const;
    std::string LastEvent() const;
    // Numbers of the disks that arrived with events after count `mark`, oldest first.
    std::vector<int> DisksArrivedSince(int64_t mark) const;
    static constexpr size_t kArrivalLogSize = 64;
    // The station's change counters (shared with every process using the folder).
    GenerationStamp& Stamp() const;
    // Drops the copies of the station's files whatever the stamp says: a watcher
    // that saw a file replaced may look before the writer has moved the stamp on.
    void ForgetCopies() const;
    // A free port of the root hubs, or nullopt.
    std::optional<UsbLocation> FreeRootPort() const;

    const std::filesystem::path& Folder() const { return m_Folder; }

private:
    KeyValueFile Load() const;
    bool Store(const KeyValueFile& station) const;
    // Drops the copies when the stamp moved on since they were read; call with m_CacheLock held.
    void RefreshCache() const;
    std::filesystem::path m_Folder;
    // The copies below are guarded by m_CacheLock.
    mutable std::mutex m_CacheLock;
    mutable std::shared_ptr<GenerationStamp> m_Stamp;  // made on first use
    mutable uint64_t m_CachedGeneration = 0;
    mutable std::optional<KeyValueFile> m_Station;
    mutable std::map<int, std::shared_ptr<const Bridge>> m_Bridges;
};

// "key=value key=value" -> map.
std::map<std::string, std::string> ParseFields(const std::string& text);

}  // namespace emu
