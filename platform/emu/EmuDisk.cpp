// Disks and volumes of the emulated station: capacity, partition tables and the
// volumes found in them on the bridges' disk images, what their file systems
// say, volume locks, positioned sector transfers and partition plans.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "emu/DiskPartTool.h"
#include "emu/DiskThroughput.h"
#include "emu/NvmeDisk.h"
#include "log/DebugLog.h"
#include "platform/emu/EmuStation.h"
#include "platform/emu/VolumeProbe.h"

namespace platform {

namespace fs = std::filesystem;

namespace {
// The part of a disk that holds what the volume listing reads: the MBR, the GPT
// header and its entries (at LBA 2 as partitioning tools place them).
constexpr uint64_t kLayoutAreaBytes = 1 << 20;
// The system disk: 256 GiB, one NTFS volume C: from 1 MiB to the end.
constexpr uint64_t kSystemDiskSize = uint64_t{256} << 30;
constexpr uint64_t kSystemVolumeOffset = uint64_t{1} << 20;
constexpr uint32_t kSystemBytesPerSector = 512;
constexpr uint32_t kSystemSectorsPerCluster = 8;
constexpr uint32_t kSystemFreeClusters = 25'000'000;

constexpr uint32_t kCdromSectorSize = 2048;
constexpr uint32_t kSector = emu::kDiskSectorSize;
constexpr uint32_t kMaxGptEntries = 128;
// Type GUID of the Microsoft reserved partition, in its on-disk byte order.
constexpr uint8_t kMsrTypeGuid[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                      0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
// Raw transfers reach the disk as READ(10) and WRITE(10): faults injected for these
// opcodes fail them.
constexpr uint8_t kOpRead10 = 0x28;
constexpr uint8_t kOpWrite10 = 0x2A;

// The lock file of a bridge folder, the same one the pass-through path takes, so
// that sector transfers and commands to one bridge never interleave.
class BridgeLock {
public:
    explicit BridgeLock(const fs::path& folder)
        : m_Fd(::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (m_Fd >= 0) ::flock(m_Fd, LOCK_EX);
    }
    ~BridgeLock()
    {
        if (m_Fd >= 0) ::close(m_Fd);
    }
    BridgeLock(const BridgeLock&) = delete;
    BridgeLock& operator=(const BridgeLock&) = delete;

private:
    int m_Fd;
};

uint32_t Le16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }
uint64_t Le64(const uint8_t* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }

bool IsExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

PartitionTable ReadDiskTable(const emu::NvmeDisk& disk)
{
    PartitionTable table;
    const uint64_t size = disk.SizeBytes();
    uint8_t mbr[kSector];
    if (!disk.Read(0, mbr, kSector) || mbr[510] != 0x55 || mbr[511] != 0xAA) return table;
    table.style = PartitionStyle::kMbr;
    table.mbrSignature = Le32(mbr + 440);
    bool protective = false;
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t* e = mbr + 446 + 16 * i;
        PartitionSlot slot;
        slot.mbrType = e[4];
        slot.length = uint64_t{Le32(e + 12)} * kSector;
        if (slot.mbrType != 0 && slot.length != 0) {
            slot.number = i + 1;
            slot.bootable = e[0] == 0x80;
            slot.offset = uint64_t{Le32(e + 8)} * kSector;
            slot.container = IsExtended(slot.mbrType);
            slot.fileSystem = !slot.container && slot.offset + slot.length <= size;
        } else {
            slot = PartitionSlot{};
        }
        protective = protective || slot.mbrType == 0xEE;
        table.entries.push_back(slot);
    }
    if (!protective) return table;

    uint8_t header[kSector];
    if (!disk.Read(kSector, header, kSector) || std::memcmp(header, "EFI PART", 8) != 0) return table;
    const uint64_t entriesAt = Le64(header + 72) * kSector;
    const uint32_t count = std::min(Le32(header + 80), kMaxGptEntries);
    const uint32_t entrySize = Le32(header + 84);
    if (entrySize < 128 || entrySize > 1024) return table;
    std::vector<uint8_t> entries(size_t{count} * entrySize);
    if (!disk.Read(entriesAt, entries.data(), entries.size())) return table;
    table.style = PartitionStyle::kGpt;
    table.mbrSignature = 0;
    table.entries.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries.data() + size_t{i} * entrySize;
        if (std::all_of(e, e + 16, [](uint8_t b) { return b == 0; })) continue;
        const uint64_t first = Le64(e + 32), last = Le64(e + 40);
        if (last < first) continue;
        PartitionSlot slot;
        slot.number = i + 1;
        slot.offset = first * kSector;
        slot.length = (last - first + 1) * kSector;
        // The Microsoft reserved partition never carries a volume.
        slot.fileSystem = slot.offset + slot.length <= size && std::memcmp(e, kMsrTypeGuid, sizeof kMsrTypeGuid) != 0;
        table.entries.push_back(slot);
    }
    return table;
}

// What the file-system driver finds in a FAT32 volume.
struct Fat32Volume {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t totalClusters = 0;
    uint32_t freeClusters = 0;
    uint32_t serial = 0;
    std::string label;
};

uint32_t CountFreeClusters(const emu::NvmeDisk& disk, uint64_t fatAt, uint32_t totalClusters)
{
    uint32_t free = 0;
    std::vector<uint8_t> chunk(1 << 20);
    const uint64_t entries = uint64_t{totalClusters} + 2;
    for (uint64_t first = 0; first < entries;) {
        const uint64_t n = std::min<uint64_t>(chunk.size() / 4, entries - first);
        if (!disk.Read(fatAt + first * 4, chunk.data(), n * 4)) break;
        for (uint64_t i = 0; i < n; ++i)
            if (first + i >= 2 && (Le32(&chunk[i * 4]) & 0x0FFFFFFF) == 0) ++free;
        first += n;
    }
    return free;
}

std::optional<Fat32Volume> ReadFat32(const emu::NvmeDisk& disk, uint64_t offset, uint64_t length)
{
    uint8_t boot[kSector];
    if (!disk.Read(offset, boot, kSector)) return std::nullopt;
    const auto geometry = Fat32GeometryOf(boot, offset, length);
    if (!geometry) return std::nullopt;
    Fat32Volume fat;
    fat.bytesPerSector = geometry->bytesPerSector;
    fat.sectorsPerCluster = geometry->sectorsPerCluster;
    const uint32_t reserved = geometry->reservedSectors;
    const uint64_t systemArea = geometry->SystemAreaSectors();
    fat.totalClusters = static_cast<uint32_t>((geometry->totalSectors - systemArea) / fat.sectorsPerCluster);
    fat.serial = Le32(boot + 67);
    const uint64_t bps = fat.bytesPerSector;

    uint8_t info[kSector];
    const bool infoRead = disk.Read(offset + Le16(boot + 48) * bps, info, kSector);
    fat.freeClusters = infoRead && Le32(info) == 0x41615252 && Le32(info + 484) == 0x61417272 ? Le32(info + 488)
                                                                                                : 0xFFFFFFFF;
    // An unknown or impossible count is counted from the first FAT, as the driver does.
    if (fat.freeClusters > fat.totalClusters)
        fat.freeClusters = CountFreeClusters(disk, offset + reserved * bps, fat.totalClusters);

    // The label is the volume-label entry of the root directory's first cluster.
    const uint32_t root = Le32(boot + 44);
    if (root >= 2 && root - 2 < fat.totalClusters) {
        std::vector<uint8_t> dir(std::min<uint64_t>(bps * fat.sectorsPerCluster, 65536));
        const uint64_t at = offset + (systemArea + uint64_t{root - 2} * fat.sectorsPerCluster) * bps;
        if (disk.Read(at, dir.data(), dir.size()))
            for (size_t e = 0; e + 32 <= dir.size() && dir[e] != 0; e += 32) {
                if (dir[e] == 0xE5 || (dir[e + 11] & 0x0F) == 0x0F || (dir[e + 11] & 0x08) == 0) continue;
                fat.label.assign(reinterpret_cast<const char*>(&dir[e]), 11);
                fat.label.erase(fat.label.find_last_not_of(' ') + 1);
                break;
            }
    }
    return fat;
}

// The file system on a volume of a bridge's disk: our FAT32, or NTFS or exFAT.
std::optional<ProbedVolume> ReadVolume(const emu::NvmeDisk& disk, uint64_t offset, uint64_t length)
{
    if (const auto fat = ReadFat32(disk, offset, length))
        return ProbedVolume{"FAT32",          fat->label,         fat->serial,        fat->bytesPerSector,
                            fat->sectorsPerCluster, fat->totalClusters, fat->freeClusters};
    return ProbeNtfsOrExfat(
        [&](uint64_t at, uint8_t* out, size_t size) { return at <= length && disk.Read(offset + at, out, size); },
        length);
}

void Fail(uint32_t error) { SetLastError(error); }
}  // namespace

std::optional<Fat32Geometry> Fat32GeometryOf(const uint8_t (&boot)[512], uint64_t offset, uint64_t length)
{
    Fat32Geometry g;
    g.bytesPerSector = Le16(boot + 11);
    g.sectorsPerCluster = boot[13];
    g.reservedSectors = Le16(boot + 14);
    g.fatCount = boot[16];
    g.totalSectors = Le32(boot + 32);
    g.fatSectors = Le32(boot + 36);
    g.volumeOffset = offset;
    const bool bpsValid = g.bytesPerSector == 512 || g.bytesPerSector == 1024 || g.bytesPerSector == 2048 ||
                          g.bytesPerSector == 4096;
    const bool spcValid = g.sectorsPerCluster != 0 && (g.sectorsPerCluster & (g.sectorsPerCluster - 1)) == 0;
    if ((boot[0] != 0xEB && boot[0] != 0xE9) || boot[510] != 0x55 || boot[511] != 0xAA || !bpsValid || !spcValid ||
        g.reservedSectors == 0 || g.fatCount == 0 || Le16(boot + 19) != 0 || Le16(boot + 22) != 0 ||
        g.fatSectors == 0 || std::memcmp(boot + 82, "FAT32   ", 8) != 0 ||
        uint64_t{g.totalSectors} * g.bytesPerSector > length || g.SystemAreaSectors() >= g.totalSectors)
        return std::nullopt;
    return g;
}


std::vector<EmuStation::EmuVolume> EmuStation::ScanVolumes()
{
    std::vector<EmuVolume> volumes;
    volumes.push_back({std::nullopt, 0, 1, kSystemVolumeOffset, kSystemDiskSize - kSystemVolumeOffset});
    std::vector<std::pair<int, int>> disks;  // disk number, bridge id
    for (int id : m_World.BridgeIds()) {
        const auto bridge = m_World.BridgeState(id);
        if (bridge->Present() && bridge->DiskNumber() > 0 && bridge->CdromNumber() < 0)
            disks.emplace_back(bridge->DiskNumber(), id);
    }
    std::sort(disks.begin(), disks.end());
    for (const auto& [disk, id] : disks) {
        BridgeLock lock(m_World.BridgeFolder(id));
        const PartitionTable table = ReadDiskTable(m_World.BridgeState(id)->Disk());
        for (const PartitionSlot& slot : table.entries)
            if (slot.fileSystem) volumes.push_back({id, static_cast<uint32_t>(disk), slot.number, slot.offset, slot.length});
    }
    return volumes;
}

std::vector<VolumeLocation> EmuStation::Volumes()
{
    std::vector<VolumeLocation> locations;
    for (const EmuVolume& volume : EmuVolumes())
        locations.push_back({volume.disk, volume.partition, volume.offset, volume.length, !volume.bridgeId});
    return locations;
}

std::optional<EmuStation::EmuVolume> EmuStation::FindVolume(uint32_t disk, uint32_t partition)
{
    for (const EmuVolume& volume : EmuVolumes())
        if (volume.disk == disk && volume.partition == partition) return volume;
    Fail(ERROR_FILE_NOT_FOUND);
    return std::nullopt;
}

bool EmuStation::FindHandle(HANDLE handle, OpenDevice& device) const
{
    std::lock_guard lock(m_Lock);
    const auto it = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m_Handles.end()) {
        Fail(ERROR_INVALID_HANDLE);
        return false;
    }
    device = it->second;
    return true;
}

bool EmuStation::HandleVolume(const OpenDevice& device, EmuVolume& volume)
{
    const auto found = FindVolume(device.target.number, device.target.partition);
    if (!found || found->bridgeId != device.bridgeId) return Fail(ERROR_DEVICE_NOT_CONNECTED), false;
    volume = *found;
    return true;
}

bool EmuStation::DiskTransfer(const OpenDevice& device, uint64_t offset, uint8_t* data, uint32_t length, bool write,
                              uint32_t* transferred)
{
    if (!device.bridgeId) {  // the system disk and decoys read as zeros and are never written
        if (write) return Fail(ERROR_ACCESS_DENIED), false;
        if (offset > kSystemDiskSize) return Fail(ERROR_SECTOR_NOT_FOUND), false;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, kSystemDiskSize - offset));
        std::memset(data, 0, n);
        if (transferred) *transferred = n;
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    BridgeLock lock(m_World.BridgeFolder(*device.bridgeId));
    emu::Bridge bridge = *m_World.BridgeState(*device.bridgeId);  // current under the lock
    if (!bridge.Present() || bridge.DiskNumber() != static_cast<int>(device.target.number) || bridge.CdromNumber() >= 0)
        return Fail(ERROR_DEVICE_NOT_CONNECTED), false;
    if (bridge.TakeOpcodeFault(write ? kOpWrite10 : kOpRead10)) return Fail(ERROR_IO_DEVICE), false;
    const emu::NvmeDisk disk = bridge.Disk();
    const uint64_t size = disk.SizeBytes();
    if (offset > size) return Fail(ERROR_SECTOR_NOT_FOUND), false;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, size - offset));
    const auto throughput = emu::DiskThroughput::Of(bridge);
    if (throughput.Fails(offset, n)) return Fail(ERROR_IO_DEVICE), false;
    const bool ok = write ? disk.Write(offset, data, n) : disk.Read(offset, data, n);
    // A write into the partition tables may give the disk other volumes.
    if (write && offset < kLayoutAreaBytes) m_World.Stamp().DisksChanged();
    if (!ok) return Fail(ERROR_IO_DEVICE), false;
    throughput.Delay(write, offset, n);
    if (transferred) *transferred = n;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::GetDiskCapacity(HANDLE handle, DiskCapacity& capacity)
{
    capacity = {};
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.kind == DiskKind::kCdrom) {
        // The bridge's CD-ROM presentation: 2048-byte sectors, no capacity reported.
        capacity.bytesPerSector = kCdromSectorSize;
        capacity.removable = true;
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    capacity.sizeBytes = kSystemDiskSize;
    if (device.bridgeId) {
        const auto bridge = m_World.BridgeState(*device.bridgeId);
        if (!bridge->Present() || bridge->DiskNumber() != static_cast<int>(device.target.number))
            return Fail(ERROR_DEVICE_NOT_CONNECTED), false;
        capacity.sizeBytes = bridge->Disk().SizeBytes();
    }
    capacity.bytesPerSector = kSector;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::ReadPartitionTable(HANDLE handle, PartitionTable& table)
{
    table = {};
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.kind == DiskKind::kCdrom || device.target.partition != 0)
        return Fail(ERROR_INVALID_FUNCTION), false;
    if (device.decoyId) {  // decoys carry no partition table
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    if (!device.bridgeId) {
        table.style = PartitionStyle::kGpt;
        table.entries.push_back({1, kSystemVolumeOffset, kSystemDiskSize - kSystemVolumeOffset, 0, false, false, true});
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    BridgeLock lock(m_World.BridgeFolder(*device.bridgeId));
    const auto bridge = m_World.BridgeState(*device.bridgeId);
    if (!bridge->Present() || bridge->DiskNumber() != static_cast<int>(device.target.number))
        return Fail(ERROR_DEVICE_NOT_CONNECTED), false;
    table = ReadDiskTable(bridge->Disk());
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::RereadPartitionTable(HANDLE handle)
{
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.kind == DiskKind::kCdrom) return Fail(ERROR_INVALID_FUNCTION), false;
    SetLastError(ERROR_SUCCESS);  // volumes are found afresh whenever the disks change
    return true;
}

bool EmuStation::LockVolume(HANDLE handle)
{
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.partition == 0) return Fail(ERROR_INVALID_FUNCTION), false;
    if (!device.bridgeId) return Fail(ERROR_ACCESS_DENIED), false;  // the system volume is always in use
    EmuVolume volume;
    if (!HandleVolume(device, volume)) return false;
    std::lock_guard lock(m_Lock);
    const auto [it, inserted] = m_VolumeLocks.try_emplace(*device.bridgeId, reinterpret_cast<uintptr_t>(handle));
    if (!inserted && it->second != reinterpret_cast<uintptr_t>(handle)) return Fail(ERROR_ACCESS_DENIED), false;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::DismountVolume(HANDLE handle)
{
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.partition == 0) return Fail(ERROR_INVALID_FUNCTION), false;
    if (!device.bridgeId) return Fail(ERROR_ACCESS_DENIED), false;
    EmuVolume volume;
    if (!HandleVolume(device, volume)) return false;
    std::lock_guard lock(m_Lock);
    const auto it = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m_Handles.end()) return Fail(ERROR_INVALID_HANDLE), false;
    it->second.dismounted = true;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::UnlockVolume(HANDLE handle)
{
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    std::lock_guard lock(m_Lock);
    const auto it = device.bridgeId ? m_VolumeLocks.find(*device.bridgeId) : m_VolumeLocks.end();
    if (device.target.partition == 0 || it == m_VolumeLocks.end() ||
        it->second != reinterpret_cast<uintptr_t>(handle))
        return Fail(ERROR_NOT_LOCKED), false;
    m_VolumeLocks.erase(it);
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred)
{
    if (transferred) *transferred = 0;
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.kind == DiskKind::kCdrom) return Fail(ERROR_INVALID_FUNCTION), false;
    if (device.access != DiskAccess::kData) return Fail(ERROR_ACCESS_DENIED), false;
    if (!buffer || offset % kSector != 0 || length % kSector != 0) return Fail(ERROR_INVALID_PARAMETER), false;
    auto* data = static_cast<uint8_t*>(buffer);
    if (device.target.partition == 0) return DiskTransfer(device, offset, data, length, false, transferred);
    EmuVolume volume;
    if (!HandleVolume(device, volume)) return false;
    if (offset > volume.length) return Fail(ERROR_SECTOR_NOT_FOUND), false;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(length, volume.length - offset));
    return DiskTransfer(device, volume.offset + offset, data, n, false, transferred);
}

bool EmuStation::WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length, uint32_t* transferred)
{
    if (transferred) *transferred = 0;
    OpenDevice device;
    if (!FindHandle(handle, device)) return false;
    if (device.target.kind == DiskKind::kCdrom) return Fail(ERROR_INVALID_FUNCTION), false;
    // The system disk, its volume and decoys are never written; a handle opened
    // for queries moves no data.
    if (!device.bridgeId || device.access != DiskAccess::kData) return Fail(ERROR_ACCESS_DENIED), false;
    if (!buffer || offset % kSector != 0 || length % kSector != 0) return Fail(ERROR_INVALID_PARAMETER), false;
    auto* data = const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer));  // only read by a write
    if (device.target.partition == 0) return DiskTransfer(device, offset, data, length, true, transferred);
    // Raw writes to a volume need it locked or dismounted by this handle, so that
    // no file system works on it at the same time.
    {
        std::lock_guard lock(m_Lock);
        const auto it = m_VolumeLocks.find(*device.bridgeId);
        const bool locked = it != m_VolumeLocks.end() && it->second == reinterpret_cast<uintptr_t>(handle);
        if (!locked && !device.dismounted) return Fail(ERROR_ACCESS_DENIED), false;
    }
    EmuVolume volume;
    if (!HandleVolume(device, volume)) return false;
    if (offset > volume.length) return Fail(ERROR_SECTOR_NOT_FOUND), false;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(length, volume.length - offset));
    return DiskTransfer(device, volume.offset + offset, data, n, true, transferred);
}

bool EmuStation::ProbeVolume(uint32_t disk, uint32_t partition, ProbedVolume& probed)
{
    probed = {};
    const auto volume = FindVolume(disk, partition);
    if (!volume) return false;
    if (!volume->bridgeId) {
        probed = {"NTFS", "System", 0x5359534D, kSystemBytesPerSector, kSystemSectorsPerCluster,
                  volume->length / (kSystemBytesPerSector * kSystemSectorsPerCluster), kSystemFreeClusters};
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    BridgeLock lock(m_World.BridgeFolder(*volume->bridgeId));
    const auto found = ReadVolume(m_World.BridgeState(*volume->bridgeId)->Disk(), volume->offset, volume->length);
    if (!found) return Fail(ERROR_UNRECOGNIZED_VOLUME), false;
    probed = *found;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::WithVolumeImage(uint32_t disk, uint32_t partition,
                                 const std::function<bool(const fs::path& image, const EmuVolume& volume)>& work)
{
    const auto volume = FindVolume(disk, partition);
    if (!volume) return false;
    if (!volume->bridgeId) return Fail(ERROR_ACCESS_DENIED), false;  // the system volume is never written
    BridgeLock lock(m_World.BridgeFolder(*volume->bridgeId));
    emu::Bridge bridge = *m_World.BridgeState(*volume->bridgeId);  // current under the lock
    if (!bridge.Present() || bridge.DiskNumber() != static_cast<int>(volume->disk) || bridge.CdromNumber() >= 0)
        return Fail(ERROR_DEVICE_NOT_CONNECTED), false;
    if (bridge.TakeOpcodeFault(kOpWrite10)) return Fail(ERROR_IO_DEVICE), false;
    // The system's tools write all over the volume: a failing range in it fails them.
    if (emu::DiskThroughput::Of(bridge).Fails(volume->offset, volume->length)) return Fail(ERROR_IO_DEVICE), false;
    if (!work(bridge.Disk().ImagePath(), *volume)) return false;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool EmuStation::ApplyPartitionPlan(const PartitionPlan& plan)
{
    if (plan.disk == 0) return Fail(ERROR_ACCESS_DENIED), false;  // the system disk
    // The plan as the partitioning tool's commands.
    std::string script = "select disk " + std::to_string(plan.disk) + "\nclean\nconvert " +
                         (plan.gpt ? "gpt" : "mbr") + "\ncreate partition primary";
    if (plan.offsetKiB) script += " offset=" + std::to_string(plan.offsetKiB);
    script += "\n";

    // The tool sees every present disk; each bridge stays locked while it runs.
    // A disk whose writes fail (an injected WRITE(10) fault) is one the tool
    // cannot open, so a plan for it fails.
    std::vector<std::unique_ptr<BridgeLock>> locks;
    std::vector<emu::DiskPartDisk> disks;
    for (int id : m_World.BridgeIds()) {
        const fs::path folder = m_World.BridgeFolder(id);
        locks.push_back(std::make_unique<BridgeLock>(folder));
        emu::Bridge bridge(folder);
        if (!bridge.Present() || bridge.DiskNumber() <= 0 || bridge.CdromNumber() >= 0) continue;
        if (bridge.TakeOpcodeFault(kOpWrite10)) continue;
        const emu::NvmeDisk disk(folder);
        // The tool writes the partition tables at both ends of the disk (GPT keeps
        // its copy in the last sectors): a failing range there is a disk it cannot use.
        const auto throughput = emu::DiskThroughput::Of(bridge);
        if (throughput.Fails(0, kLayoutAreaBytes) ||
            throughput.Fails(disk.SizeBytes() - std::min<uint64_t>(disk.SizeBytes(), kLayoutAreaBytes), kLayoutAreaBytes))
            continue;
        // The image gets its full size before the tool writes at its end.
        uint8_t first[kSector];
        if (!disk.Read(0, first, kSector) || !disk.Write(0, first, kSector)) continue;
        disks.push_back({bridge.DiskNumber(), disk.ImagePath(), disk.SizeBytes(), kSector});
    }
    const emu::DiskPartOutcome outcome = emu::RunDiskPartScript(script, disks);
    m_World.Stamp().DisksChanged();
    if (!outcome.ok) {
        DBG_ERR("%s:%d: partitioning disk %u failed:\n%s", plan.disk, outcome.messages.c_str());
        return Fail(ERROR_IO_DEVICE), false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform
