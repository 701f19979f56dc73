#include "platform/linux/LinuxStation.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "log/DebugLog.h"
#include "platform/linux/LinuxVolumes.h"
#include "platform/linux/MountedVolumeFiles.h"
#include "platform/linux/SfdiskScript.h"
#include "platform/linux/VolumeBook.h"
#include "util/Clock.h"
#include "util/Text.h"

namespace platform::linuxst {

namespace fs = std::filesystem;

namespace {
constexpr uint16_t kBridgeVendorId = 0x2B9D;
// Type GUID of the Microsoft reserved partition, which never carries a file system.
constexpr const char* kReservedTypeGuid = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE";
constexpr const char* kReservedName = "Microsoft reserved partition";
// The kernel shows an extended partition as 1 KiB at most: room for no file system.
constexpr uint64_t kContainerBytes = 1024;
uint32_t ErrorOfErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY: return ERROR_ACCESS_DENIED;
    case ENODEV:
    case ENXIO: return ERROR_DEVICE_NOT_CONNECTED;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_IO_DEVICE;
    }
}

bool Fail(uint32_t error)
{
    SetLastError(error);
    return false;
}

bool Succeed()
{
    SetLastError(ERROR_SUCCESS);
    return true;
}

uint8_t BusTypeOf(DiskBus bus)
{
    switch (bus) {
    case DiskBus::kUsb: return BusTypeUsb;
    case DiskBus::kSata: return BusTypeSata;
    case DiskBus::kNvme: return BusTypeNvme;
    case DiskBus::kScsi: break;
    }
    return BusTypeScsi;
}

bool IsExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The "KEY=VALUE" lines of a file ("E:" prefixes of udev's records dropped).
std::map<std::string, std::string> KeyValues(const fs::path& path)
{
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("E:", 0) == 0) line.erase(0, 2);
        const size_t equals = line.find('=');
        if (equals != std::string::npos && equals > 0) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::string ValueOf(const std::map<std::string, std::string>& values, const std::string& key)
{
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

// sfdisk's table as the station's partition table: MBR gives the four primary
// slots in order (unused ones with number 0), GPT its used entries. Extended
// containers, the Microsoft reserved partition and entries reaching past the
// end of the disk carry no file system.
platform::PartitionTable StationTable(const PartitionTable& read, uint64_t diskBytes)
{
    platform::PartitionTable table;
    auto inside = [&](const PartitionTableEntry& entry) {
        return diskBytes == 0 || (entry.startBytes <= diskBytes && entry.lengthBytes <= diskBytes - entry.startBytes);
    };
    switch (read.style) {
    case PartitionStyle::kRaw: table.style = platform::PartitionStyle::kRaw; return table;
    case PartitionStyle::kMbr: {
        table.style = platform::PartitionStyle::kMbr;
        table.mbrSignature = read.mbrSignature;
        for (uint32_t number = 1; number <= 4; ++number) {
            PartitionSlot slot;
            const auto entry = std::find_if(read.entries.begin(), read.entries.end(),
                                            [&](const PartitionTableEntry& e) { return e.number == number; });
            if (entry != read.entries.end() && entry->mbrType != 0 && entry->lengthBytes != 0) {
                slot.number = number;
                slot.offset = entry->startBytes;
                slot.length = entry->lengthBytes;
                slot.mbrType = entry->mbrType;
                slot.bootable = entry->bootable;
                slot.container = IsExtended(entry->mbrType);
                slot.fileSystem = !slot.container && inside(*entry);
            }
            table.entries.push_back(slot);
        }
        return table;
    }
    case PartitionStyle::kGpt:
        table.style = platform::PartitionStyle::kGpt;
        for (const PartitionTableEntry& entry : read.entries) {
            PartitionSlot slot;
            slot.number = entry.number;
            slot.offset = entry.startBytes;
            slot.length = entry.lengthBytes;
            slot.fileSystem = !util::EqualNoCase(entry.type, kReservedTypeGuid) && inside(entry);
            table.entries.push_back(slot);
        }
        return table;
    }
    return table;
}

// The cluster figures of a file system mounted at `folder`, counted in sectors of `sectorSize`.
bool SpaceOf(const std::string& folder, uint32_t sectorSize, ProbedVolume& volume)
{
    struct statvfs space {};
    if (folder.empty() || ::statvfs(folder.c_str(), &space) != 0 || space.f_frsize == 0) return false;
    const uint64_t cluster = space.f_frsize;
    volume.bytesPerSector = sectorSize && cluster % sectorSize == 0 ? sectorSize : static_cast<uint32_t>(cluster);
    volume.sectorsPerCluster = static_cast<uint32_t>(cluster / volume.bytesPerSector);
    volume.totalClusters = space.f_blocks;
    volume.freeClusters = space.f_bavail;
    return true;
}

std::string MountName(uint32_t disk, uint32_t partition)
{
    return "disk" + std::to_string(disk) + "p" + std::to_string(partition);
}
}  // namespace

std::set<uint16_t> BridgeVendorIds()
{
    std::set<uint16_t> ids{kBridgeVendorId};
    const char* list = std::getenv("DEVEDA_BRIDGE_VIDS");
    std::istringstream items(list ? list : "");
    std::string item;
    while (std::getline(items, item, ',')) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(item.c_str(), &end, 16);
        if (!item.empty() && end && *end == '\0' && id > 0 && id <= 0xFFFF) ids.insert(static_cast<uint16_t>(id));
    }
    return ids;
}

LinuxStation::LinuxStation(const std::string& root, IoctlFunction ioctl)
    : m_Tree(root), m_Ioctl(std::move(ioctl)), m_Book(std::make_shared<VolumeBook>(SysfsTree(root)))
{
    util::MutexLock lock(m_Lock);
    Refresh();
}

LinuxStation::~LinuxStation() = default;

LinuxStation::Descriptor::~Descriptor()
{
    if (fd >= 0) ::close(fd);
}

void LinuxStation::SetVolumeToolRunner(LimitedToolRunner runner) { m_Book->volumes.SetToolRunner(std::move(runner)); }

std::string LinuxStation::Describe() const
{
    const std::string root = m_Tree.Root().string();
    return "Linux station (real hardware" + (root == "/" ? std::string() : ", root " + root) + ")";
}

std::string LinuxStation::RunLockPath() const
{
    const std::string root = m_Tree.Root().string();
    if (root == "/") return "/run/lock/deveda-station.lock";
    std::error_code ec;
    const auto folder = std::filesystem::temp_directory_path(ec);
    return ((ec ? std::filesystem::path("/tmp") : folder) /
            ("deveda-station-" + std::to_string(std::hash<std::string>{}(root)) + ".lock"))
        .string();
}

void LinuxStation::Refresh()
{
    m_Usb = m_Tree.UsbNodes();
    const std::vector<BlockDisk> blocks = m_Tree.Disks();
    const std::vector<MountEntry> mounts = m_Tree.Mounts();
    std::string rootNumber;
    for (const auto& mount : mounts)
        if (mount.mountPoint == "/") rootNumber = mount.deviceNumber;

    std::vector<Disk> disks;
    std::map<std::string, uint32_t> numbers;
    std::set<uint32_t> used{0};
    std::vector<std::pair<std::string, size_t>> unnumbered;  // identity, index into disks
    for (const BlockDisk& block : blocks) {
        Disk disk;
        disk.block = block;
        disk.usb = FindNode(block.usbDevice);
        const auto& ids = block.deviceNumbers;
        const bool holdsRoot = !rootNumber.empty() && std::find(ids.begin(), ids.end(), rootNumber) != ids.end();
        // A disk keeps its number while the same device stays at the same place.
        const std::string identity = disk.usb ? "usb:" + block.usbDevice + ":" + disk.usb->serial : "block:" + block.name;
        if (holdsRoot) {
            disk.number = 0;
            disk.refusal = "disk 0 holds the system root and is never touched";
        } else if (const auto known = m_Numbers.find(identity); known != m_Numbers.end() && !used.count(known->second)) {
            disk.number = known->second;
            used.insert(disk.number);
            numbers[identity] = disk.number;
        } else {
            unnumbered.emplace_back(identity, disks.size());
        }
        for (const auto& mount : mounts)
            if (disk.refusal.empty() && std::find(ids.begin(), ids.end(), mount.deviceNumber) != ids.end() &&
                IsSystemMountPoint(mount.mountPoint))
                disk.refusal = "mounted at " + mount.mountPoint + ", a system path";
        if (disk.refusal.empty() && (!disk.usb || !m_BridgeVendorIds.count(disk.usb->idVendor)))
            disk.refusal = "not behind a bridge";
        disks.push_back(std::move(disk));
    }
    for (const auto& [identity, index] : unnumbered) {
        uint32_t number = 1;
        while (used.count(number)) ++number;
        used.insert(number);
        disks[index].number = number;
        numbers[identity] = number;
    }
    std::sort(disks.begin(), disks.end(), [](const Disk& a, const Disk& b) { return a.number < b.number; });
    m_Disks = std::move(disks);
    m_Numbers = std::move(numbers);
    m_RootDevice = rootNumber;
}

const UsbNode* LinuxStation::FindNode(const std::string& name) const
{
    for (const auto& node : m_Usb)
        if (node.name == name) return &node;
    return nullptr;
}

const LinuxStation::Disk* LinuxStation::FindDisk(uint32_t number) const
{
    for (const auto& disk : m_Disks)
        if (disk.number == number) return &disk;
    return nullptr;
}

const LinuxStation::Disk* LinuxStation::FindDiskByName(const std::string& name) const
{
    for (const auto& disk : m_Disks)
        if (disk.block.name == name) return &disk;
    return nullptr;
}

std::vector<DiskDevice> LinuxStation::Disks()
{
    util::MutexLock lock(m_Lock);
    Refresh();
    std::vector<DiskDevice> devices;
    for (const auto& disk : m_Disks) {
        DiskDevice device;
        device.diskNumber = disk.number;
        device.busType = BusTypeOf(disk.block.bus);
        device.vendor = disk.block.vendor;
        device.product = disk.block.model;
        device.revision = disk.block.revision;
        device.sizeBytes = disk.block.sizeBytes;
        device.sectorSize = disk.block.sectorSize;
        device.refusal = disk.refusal;
        if (disk.usb) {
            device.serial = disk.usb->serial;
            device.usbPath = disk.usb->name;
            device.usbVendor = disk.usb->idVendor;
            device.usbProduct = disk.usb->idProduct;
            device.usbDriver = disk.usb->driver;
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

HANDLE LinuxStation::Add(OpenDevice device)
{
    const uintptr_t handle = m_NextHandle++;
    m_Handles[handle] = std::move(device);
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(handle);
}

bool LinuxStation::Find(HANDLE handle, OpenDevice& device) const
{
    const auto found = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_Handles.end()) return Fail(ERROR_INVALID_HANDLE);
    device = found->second;
    return true;
}

HANDLE LinuxStation::OpenDisk(const DiskTarget& target, DiskAccess access)
{
    OpenDevice device;
    std::string node;  // the command node to open; empty when none is
    {
        util::MutexLock lock(m_Lock);
        if (target.kind != DiskKind::kDisk) {
            // The tree shows no optical drive among the disks: there is no CD-ROM to open.
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const Disk* disk = FindDisk(target.number);
        if (!disk) {
            Refresh();
            disk = FindDisk(target.number);
        }
        if (!disk) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        device.target = target;
        device.access = access;
        device.name = disk->block.name;
        device.sectorSize = disk->block.sectorSize ? disk->block.sectorSize : 512;
        device.refusal = disk->refusal;
        if (target.partition != 0) {
            const auto partitions = m_Tree.Partitions(disk->block);
            const auto found = std::find_if(partitions.begin(), partitions.end(),
                                            [&](const BlockPartition& p) { return p.number == target.partition; });
            if (found == partitions.end()) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return INVALID_HANDLE_VALUE;
            }
            device.partition = *found;
        }
        if (!disk->refusal.empty()) {
            // Size and layout may still be asked; no node of the disk is opened.
            if (access == DiskAccess::kQuery) return Add(std::move(device));
            DBG_ERR("%s:%d: disk %u (%s) refused: %s", disk->number, disk->block.name.c_str(), disk->refusal.c_str());
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // Commands go to the whole disk's command node, from a volume handle too.
        node = m_Tree.Under("dev/" + (disk->block.sgName.empty() ? disk->block.name : disk->block.sgName)).string();
    }
    // Opening a node may wait for the device: the other disks go on meanwhile.
    int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    if (fd < 0 && access == DiskAccess::kQuery && (error == EACCES || error == EPERM || error == EROFS)) {
        // A query needs no write access: commands then go as far as a read-only node lets them.
        fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        error = fd < 0 ? errno : 0;
    }
    if (fd >= 0) {
        device.command = std::make_shared<Descriptor>(fd);
    } else if (access == DiskAccess::kQuery) {
        device.commandError = ErrorOfErrno(error);
    } else {
        DBG_ERR("%s:%d: disk %u: cannot open %s: errno %d", target.number, node.c_str(), error);
        SetLastError(ErrorOfErrno(error));
        return INVALID_HANDLE_VALUE;
    }
    util::MutexLock lock(m_Lock);
    return Add(std::move(device));
}

bool LinuxStation::CloseHandle(HANDLE handle)
{
    {
        util::MutexLock lock(m_Lock);
        // The nodes close once a transfer still under way on another thread is done.
        if (m_Handles.erase(reinterpret_cast<uintptr_t>(handle)) == 0) return Fail(ERROR_INVALID_HANDLE);
    }
    m_Book->ForgetHandle(reinterpret_cast<uintptr_t>(handle));
    return Succeed();
}

bool LinuxStation::HandleTarget(HANDLE handle, DiskTarget& target)
{
    util::MutexLock lock(m_Lock);
    OpenDevice device;
    if (!Find(handle, device)) return false;
    target = device.target;
    return Succeed();
}

bool LinuxStation::SendScsi(HANDLE handle, const ScsiRequest& request, ScsiOutcome& outcome)
{
    OpenDevice device;
    {
        util::MutexLock lock(m_Lock);
        if (!Find(handle, device)) return false;
    }
    if (!device.refusal.empty()) {
        DBG_ERR("%s:%d: disk %u (%s) takes no command: %s", device.target.number, device.name.c_str(),
                device.refusal.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!device.command)
        return Fail(device.commandError != ERROR_SUCCESS ? device.commandError : ERROR_INVALID_FUNCTION);
    // The command runs without the station lock: other bridges go on meanwhile.
    outcome = linuxst::SendScsi(device.command->fd, request, m_Ioctl);
    if (outcome.transport != ScsiTransport::kDone)
        DBG_ERR("%s:%d: disk %u: SG_IO opcode %02X failed, transport %d, errno %d", device.target.number,
                request.cdb.empty() ? 0 : request.cdb[0], static_cast<int>(outcome.transport), outcome.systemError);
    return true;
}

std::vector<UsbNode> LinuxStation::UsbTree() { return m_Tree.UsbNodes(); }

bool LinuxStation::GetDiskCapacity(HANDLE handle, DiskCapacity& capacity)
{
    capacity = {};
    util::MutexLock lock(m_Lock);
    OpenDevice device;
    if (!Find(handle, device)) return false;
    const Disk* disk = CurrentDisk(device);
    if (!disk) return false;
    capacity.sizeBytes = disk->block.sizeBytes;
    capacity.bytesPerSector = disk->block.sectorSize;
    std::ifstream removable(m_Tree.Under("sys/block/" + disk->block.name + "/removable"));
    int flag = 0;
    capacity.removable = removable >> flag && flag == 1;
    return Succeed();
}

std::shared_ptr<LinuxStation::Descriptor> LinuxStation::BlockNode(HANDLE handle, bool write, OpenDevice& device)
{
    std::string node;
    {
        util::MutexLock lock(m_Lock);
        if (!Find(handle, device)) return nullptr;
        // Only a handle opened for data on a disk that is not refused moves sectors.
        if (device.access != DiskAccess::kData || !device.refusal.empty())
            return Fail(write ? ERROR_ACCESS_DENIED : ERROR_INVALID_FUNCTION), nullptr;
        if (device.block) return device.block;
        node = m_Tree.Under("dev/" + (device.target.partition ? device.partition.name : device.name)).string();
    }
    // Opening a block node may wait for the device: the other disks go on meanwhile.
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return Fail(ErrorOfErrno(errno)), nullptr;
    auto opened = std::make_shared<Descriptor>(fd);
    util::MutexLock lock(m_Lock);
    const auto found = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_Handles.end()) return Fail(ERROR_INVALID_HANDLE), nullptr;  // closed meanwhile
    // Another thread may have opened it meanwhile: one node per handle.
    if (!found->second.block) found->second.block = std::move(opened);
    device = found->second;
    return device.block;
}

bool LinuxStation::ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred)
{
    if (transferred) *transferred = 0;
    OpenDevice device;
    const auto node = BlockNode(handle, false, device);
    if (!node) return false;
    if (!buffer || offset % device.sectorSize != 0 || length % device.sectorSize != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    const ssize_t n = ::pread(node->fd, buffer, length, static_cast<off_t>(offset));
    if (n < 0) return Fail(ErrorOfErrno(errno));
    if (transferred) *transferred = static_cast<uint32_t>(n);
    return Succeed();
}

bool LinuxStation::WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length, uint32_t* transferred)
{
    if (transferred) *transferred = 0;
    OpenDevice device;
    const auto node = BlockNode(handle, true, device);
    if (!node) return false;
    if (!buffer || offset % device.sectorSize != 0 || length % device.sectorSize != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    // Raw writes to a volume need it locked or dismounted by this handle, so
    // that no file system works on it at the same time.
    if (device.target.partition != 0 &&
        !m_Book->HeldByHandle({device.name, device.target.partition}, reinterpret_cast<uintptr_t>(handle))) {
        DBG_ERR("%s:%d: disk %u partition %u not written: the volume is neither locked nor dismounted by the handle",
                device.target.number, device.target.partition);
        return Fail(ERROR_ACCESS_DENIED);
    }
    const ssize_t n = ::pwrite(node->fd, buffer, length, static_cast<off_t>(offset));
    if (n < 0) return Fail(ErrorOfErrno(errno));
    if (transferred) *transferred = static_cast<uint32_t>(n);
    return Succeed();
}

const LinuxStation::Disk* LinuxStation::CurrentDisk(const OpenDevice& device)
{
    const Disk* disk = FindDiskByName(device.name);
    if (!disk || disk->number != device.target.number) {
        Refresh();
        disk = FindDiskByName(device.name);
    }
    // A disk that left, or whose name another disk took, is no longer reached.
    if (!disk || disk->number != device.target.number) return Fail(ERROR_DEVICE_NOT_CONNECTED), nullptr;
    return disk;
}

bool LinuxStation::ReadPartitionTable(HANDLE handle, platform::PartitionTable& table)
{
    table = {};
    BlockDisk block;
    {
        util::MutexLock lock(m_Lock);
        OpenDevice device;
        if (!Find(handle, device)) return false;
        if (device.target.partition != 0) return Fail(ERROR_INVALID_FUNCTION);
        const Disk* disk = CurrentDisk(device);
        if (!disk) return false;
        block = disk->block;
    }
    const auto read = m_Book->volumes.ReadPartitionTable(block);  // sfdisk, without the station lock
    if (!read) return false;
    table = StationTable(*read, block.sizeBytes);
    return Succeed();
}

bool LinuxStation::RereadPartitionTable(HANDLE handle)
{
    std::string node;
    uint32_t number = 0;
    {
        util::MutexLock lock(m_Lock);
        const auto found = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
        if (found == m_Handles.end()) return Fail(ERROR_INVALID_HANDLE);
        OpenDevice& device = found->second;
        number = device.target.number;
        if (!device.refusal.empty()) {
            DBG_ERR("%s:%d: disk %u (%s): the partition table is not read again: %s", number, device.name.c_str(),
                    device.refusal.c_str());
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (!CurrentDisk(device)) return false;
        // The handle's own partition node would keep the kernel from reading the
        // table again; it opens anew on the next transfer.
        if (device.target.partition != 0) device.block.reset();
        node = m_Tree.Under("dev/" + device.name).string();
    }
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(ErrorOfErrno(errno));
    const int result = m_Ioctl(fd, BLKRRPART, nullptr);
    const int error = errno;
    ::close(fd);
    if (result != 0) {
        DBG_ERR("%s:%d: disk %u (%s): the partition table is not read again: errno %d%s", number, node.c_str(), error,
                error == EBUSY ? " (a partition of it is mounted or open)" : "");
        return Fail(ErrorOfErrno(error));
    }
    util::MutexLock lock(m_Lock);
    Refresh();
    return Succeed();
}

bool LinuxStation::ApplyPartitionPlan(const PartitionPlan& plan)
{
    std::string name, node;
    uint32_t sectorSize = 512;
    std::vector<Volume> partitions;
    {
        util::MutexLock lock(m_Lock);
        Refresh();
        const Disk* disk = FindDisk(plan.disk);
        if (!disk) {
            DBG_ERR("%s:%d: disk %u not partitioned: there is no such disk", plan.disk);
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        if (!disk->refusal.empty()) {
            DBG_ERR("%s:%d: disk %u (%s) not partitioned: %s", disk->number, disk->block.name.c_str(),
                    disk->refusal.c_str());
            return Fail(ERROR_ACCESS_DENIED);
        }
        name = disk->block.name;
        node = m_Tree.Under("dev/" + name).string();
        sectorSize = disk->block.sectorSize ? disk->block.sectorSize : 512;
        for (const BlockPartition& partition : m_Tree.Partitions(disk->block))
            partitions.push_back({disk->number, name, disk->refusal, false, partition});
    }
    if (!m_Book->Claim({name, 0}, "partitioned")) return false;
    // A volume mounted elsewhere is someone's: nothing on the disk changes.
    for (const Volume& volume : partitions) {
        const std::string at = m_Book->volumes.MountPointOf(volume.partition);
        if (!at.empty() && RunFolderName(at).empty()) {
            DBG_ERR("%s:%d: disk %u (%s) not partitioned: %s is mounted at %s", plan.disk, name.c_str(),
                    volume.partition.name.c_str(), at.c_str());
            m_Book->Release({name, 0});
            return Fail(ERROR_ACCESS_DENIED);
        }
    }
    for (const Volume& volume : partitions)
        if (!UnmountOwn(volume, "partitioned")) {
            m_Book->Release({name, 0});
            return false;
        }
    // Every old partition-table and file-system signature goes, as "clean" does.
    const ToolRun run =
        m_RunTool({"sfdisk", "--wipe", "always", "--wipe-partitions", "always", node}, SfdiskScript(plan, sectorSize));
    m_Book->Release({name, 0});
    if (!run.Succeeded()) {
        DBG_ERR("%s:%d: sfdisk on %s failed (exit %d): %s", node.c_str(), run.exitCode, run.output.c_str());
        return Fail(run.started ? ERROR_IO_DEVICE : ERROR_FILE_NOT_FOUND);
    }
    return Succeed();
}

bool LinuxStation::FindVolume(uint32_t disk, uint32_t partition, Volume& volume)
{
    util::MutexLock lock(m_Lock);
    Refresh();
    const Disk* found = FindDisk(disk);
    if (!found) return Fail(ERROR_FILE_NOT_FOUND);
    for (const BlockPartition& candidate : m_Tree.Partitions(found->block))
        if (candidate.number == partition) {
            volume = {found->number, found->block.name, found->refusal,
                      !m_RootDevice.empty() && candidate.deviceNumber == m_RootDevice, candidate};
            return true;
        }
    return Fail(ERROR_FILE_NOT_FOUND);
}

bool LinuxStation::MayChange(const Volume& volume, const char* change) const
{
    if (volume.system) {
        DBG_ERR("%s:%d: disk %u partition %u not %s: it is the system volume", volume.disk, volume.partition.number,
                change);
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!volume.refusal.empty()) {
        DBG_ERR("%s:%d: disk %u (%s) partition %u not %s: %s", volume.disk, volume.diskName.c_str(),
                volume.partition.number, change, volume.refusal.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    return true;
}

bool LinuxStation::MayCarryFileSystem(const std::string& diskName, const BlockPartition& partition) const
{
    if (partition.lengthBytes <= kContainerBytes) return false;
    // The kernel names a GPT partition by its entry's name.
    const auto kernel = KeyValues(m_Tree.Under("sys/block/" + diskName + "/" + partition.name + "/uevent"));
    if (ValueOf(kernel, "PARTNAME") == kReservedName) return false;
    // udev's record of the partition, when it still describes the partition as the kernel shows it now.
    const auto record = KeyValues(m_Tree.Under("run/udev/data/b" + partition.deviceNumber));
    const std::string offset = ValueOf(record, "ID_PART_ENTRY_OFFSET"), size = ValueOf(record, "ID_PART_ENTRY_SIZE");
    if ((!offset.empty() && offset != std::to_string(partition.startBytes / 512)) ||
        (!size.empty() && size != std::to_string(partition.lengthBytes / 512)))
        return true;
    const std::string type = ValueOf(record, "ID_PART_ENTRY_TYPE");
    if (util::EqualNoCase(type, kReservedTypeGuid)) return false;
    if (ValueOf(record, "ID_PART_ENTRY_SCHEME") == "dos" && !type.empty()) {
        char* end = nullptr;
        const unsigned long byte = std::strtoul(type.c_str(), &end, 16);
        if (end && *end == '\0' && byte <= 0xFF && IsExtended(static_cast<uint8_t>(byte))) return false;
    }
    return true;
}

std::string LinuxStation::RunFolderName(const std::string& mountPoint) const
{
    const fs::path at(mountPoint);
    const fs::path runFolder = m_Book->volumes.MountFolder("volume").parent_path();
    return at.has_filename() && at.parent_path() == runFolder ? at.filename().string() : std::string();
}

bool LinuxStation::UnmountOwn(const Volume& volume, const char* change)
{
    const std::string at = m_Book->volumes.MountPointOf(volume.partition);
    if (at.empty()) return true;
    const std::string name = RunFolderName(at);
    if (name.empty()) {
        DBG_ERR("%s:%d: disk %u partition %u not %s: it is mounted at %s, not by this station", volume.disk,
                volume.partition.number, change, at.c_str());
        return Fail(ERROR_ACCESS_DENIED);
    }
    // Views of its files handed out before reach nothing from now on.
    m_Book->ForgetMount({volume.diskName, volume.partition.number});
    if (!m_Book->volumes.Unmount(name)) {
        DBG_ERR("%s:%d: disk %u partition %u not %s: it cannot be unmounted from %s", volume.disk,
                volume.partition.number, change, at.c_str());
        return false;
    }
    return true;
}

bool LinuxStation::VolumeOfHandle(HANDLE handle, Volume& volume, const char* change)
{
    util::MutexLock lock(m_Lock);
    OpenDevice device;
    if (!Find(handle, device)) return false;
    if (device.target.partition == 0) return Fail(ERROR_INVALID_FUNCTION);
    volume = {device.target.number, device.name, device.refusal, false, device.partition};
    volume.system = !m_RootDevice.empty() && device.partition.deviceNumber == m_RootDevice;
    return MayChange(volume, change);
}

bool LinuxStation::HoldVolume(HANDLE handle, bool dismount)
{
    const auto hold = dismount ? VolumeBook::Hold::kDismount : VolumeBook::Hold::kLock;
    const char* change = dismount ? "dismounted" : "locked";
    Volume volume;
    if (!VolumeOfHandle(handle, volume, change)) return false;
    const VolumeKey key{volume.diskName, volume.partition.number};
    const auto self = reinterpret_cast<uintptr_t>(handle);
    if (!m_Book->Take(key, self, hold, volume.disk)) return false;
    // No file system works on a locked or dismounted volume.
    if (!UnmountOwn(volume, change)) {
        const uint32_t error = GetLastError();
        m_Book->Drop(key, self, hold);
        return Fail(error);
    }
    return Succeed();
}

bool LinuxStation::LockVolume(HANDLE handle) { return HoldVolume(handle, false); }

bool LinuxStation::DismountVolume(HANDLE handle) { return HoldVolume(handle, true); }

bool LinuxStation::UnlockVolume(HANDLE handle)
{
    OpenDevice device;
    {
        util::MutexLock lock(m_Lock);
        if (!Find(handle, device)) return false;
    }
    if (device.target.partition == 0 ||
        !m_Book->Unlock({device.name, device.target.partition}, reinterpret_cast<uintptr_t>(handle)))
        return Fail(ERROR_NOT_LOCKED);
    return Succeed();
}

std::vector<VolumeLocation> LinuxStation::Volumes()
{
    std::vector<VolumeLocation> volumes, others;
    util::MutexLock lock(m_Lock);
    Refresh();
    for (const Disk& disk : m_Disks)
        for (const BlockPartition& partition : m_Tree.Partitions(disk.block)) {
            const bool system = !m_RootDevice.empty() && partition.deviceNumber == m_RootDevice;
            if (!system && !MayCarryFileSystem(disk.block.name, partition)) continue;
            (system ? volumes : others)
                .push_back({disk.number, partition.number, partition.startBytes, partition.lengthBytes, system});
        }
    volumes.insert(volumes.end(), others.begin(), others.end());
    SetLastError(ERROR_SUCCESS);
    return volumes;
}

bool LinuxStation::ProbeVolume(uint32_t disk, uint32_t partition, ProbedVolume& probed)
{
    probed = {};
    Volume volume;
    if (!FindVolume(disk, partition, volume)) return false;
    const uint32_t sectorSize = volume.partition.sectorSize ? volume.partition.sectorSize : 512;
    if (volume.system) {
        // The root's own file system, as statvfs tells it.
        if (!SpaceOf(m_Tree.Root().string(), sectorSize, probed)) return Fail(ERROR_UNRECOGNIZED_VOLUME);
        for (const MountEntry& mount : m_Tree.Mounts())
            if (mount.mountPoint == "/") probed.fileSystem = mount.fileSystem;
        return Succeed();
    }
    const auto facts = m_Book->volumes.Probe(volume.partition);  // blkid, without the station lock
    if (!facts) return false;
    probed.fileSystem = facts->fileSystem.fileSystem;
    probed.label = facts->fileSystem.label;
    probed.serial = facts->fileSystem.serial;
    probed.bytesPerSector = sectorSize;
    if (!facts->mountPoint.empty()) {
        SpaceOf(facts->mountPoint, sectorSize, probed);
        return Succeed();
    }
    // Unmounted: its space is known once it is mounted, for the moment, when the
    // station may mount it; otherwise the cluster figures stay 0.
    const VolumeKey key{volume.diskName, partition};
    if (volume.refusal.empty() && m_Book->Claim(key, "mounted to learn its space", false)) {
        const std::string name = MountName(disk, partition);
        if (const auto folder = m_Book->volumes.Mount(volume.partition, volume.refusal, name)) {
            SpaceOf(folder->string(), sectorSize, probed);
            if (!m_Book->volumes.Unmount(name))
                DBG_ERR("%s:%d: disk %u partition %u stays mounted at %s", disk, partition, folder->c_str());
        }
        m_Book->Release(key);
    }
    return Succeed();
}

bool LinuxStation::FormatVolume(uint32_t disk, uint32_t partition, const std::string& fileSystem)
{
    if (!util::EqualNoCase(fileSystem, "NTFS") && !util::EqualNoCase(fileSystem, "EXFAT")) {
        DBG_ERR("%s:%d: disk %u partition %u not formatted: no quick format for \"%s\"", disk, partition,
                fileSystem.c_str());
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Volume volume;
    if (!FindVolume(disk, partition, volume)) return false;
    if (!MayChange(volume, "formatted")) return false;
    const VolumeKey key{volume.diskName, partition};
    if (!m_Book->Claim(key, "formatted")) return false;
    // The label is set afterwards, by SetVolumeLabel.
    const bool formatted =
        UnmountOwn(volume, "formatted") && m_Book->volumes.Format(volume.partition, volume.refusal, fileSystem, "");
    m_Book->Release(key);
    return formatted;
}

bool LinuxStation::SetVolumeLabel(uint32_t disk, uint32_t partition, const std::string& label)
{
    Volume volume;
    if (!FindVolume(disk, partition, volume)) return false;
    if (!MayChange(volume, "labelled")) return false;
    const VolumeKey key{volume.diskName, partition};
    if (!m_Book->Claim(key, "labelled")) return false;
    // A volume the station mounted is labelled unmounted, then mounted again where it was.
    std::string remount;
    if (const std::string at = m_Book->volumes.MountPointOf(volume.partition); !at.empty()) {
        remount = RunFolderName(at);
        if (remount.empty()) {
            DBG_ERR("%s:%d: disk %u partition %u not labelled: it is mounted at %s, not by this station", disk,
                    partition, at.c_str());
            m_Book->Release(key);
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (!m_Book->volumes.Unmount(remount)) {
            const uint32_t error = GetLastError();
            m_Book->Release(key);
            return Fail(error);
        }
    }
    const bool labelled = m_Book->volumes.SetLabel(volume.partition, volume.refusal, label);
    const uint32_t error = GetLastError();
    if (!remount.empty() && !m_Book->volumes.Mount(volume.partition, volume.refusal, remount)) {
        DBG_ERR("%s:%d: disk %u partition %u is not mounted again at %s", disk, partition,
                m_Book->volumes.MountFolder(remount).c_str());
        m_Book->ForgetMount(key);  // views of its files reach nothing now
    }
    m_Book->Release(key);
    SetLastError(error);
    return labelled;
}

std::unique_ptr<IVolumeFiles> LinuxStation::OpenVolumeFiles(uint32_t disk, uint32_t partition, std::string& error)
{
    const std::string what = "disk " + std::to_string(disk) + " partition " + std::to_string(partition);
    Volume volume;
    if (!FindVolume(disk, partition, volume)) {
        error = what + " is no volume of this station";
        return nullptr;
    }
    if (volume.system || !volume.refusal.empty()) {
        error = what + (volume.system ? " is the system volume" : " is on a refused disk: " + volume.refusal);
        DBG_ERR("%s:%d: %s: its files are not handed out", error.c_str());
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const VolumeKey key{volume.diskName, partition};
    std::string why;
    if (!m_Book->Claim(key, "handed out", true, &why)) {
        error = what + " is " + why;
        return nullptr;
    }
    // Mounted already for other views: one more.
    std::string name;
    if (const uint64_t generation = m_Book->AddView(key, name)) {
        m_Book->Release(key);
        SetLastError(ERROR_SUCCESS);
        return std::make_unique<VolumeView>(m_Book, key, generation, m_Book->volumes.MountFolder(name));
    }
    // A mount the station left in its run folder is taken as it is.
    name = MountName(disk, partition);
    const std::string at = m_Book->volumes.MountPointOf(volume.partition);
    if (const std::string own = RunFolderName(at); !own.empty()) name = own;
    const auto folder = m_Book->volumes.Mount(volume.partition, volume.refusal, name);  // the tool, without any lock
    const uint32_t mountError = GetLastError();
    if (!folder) {
        m_Book->Release(key);
        error = what + (!at.empty() && RunFolderName(at).empty()
                            ? " is mounted at " + at + ", not by this station"
                            : " cannot be mounted (error " + std::to_string(mountError) + ")");
        return Fail(mountError), nullptr;
    }
    const uint64_t generation = m_Book->FirstView(key, name);
    m_Book->Release(key);
    SetLastError(ERROR_SUCCESS);
    return std::make_unique<VolumeView>(m_Book, key, generation, *folder);
}

std::unique_ptr<IPcieRegion> LinuxStation::OpenPcieConfig(const PcieLocation& location)
{
    auto region = m_Pcie.OpenConfig(location);
    if (!region) Fail(ERROR_FILE_NOT_FOUND);
    return region;
}

std::unique_ptr<IPcieRegion> LinuxStation::MapPcieBar(const PcieLocation& location, int bar)
{
    auto region = m_Pcie.MapBar(location, bar);
    if (!region) Fail(ERROR_FILE_NOT_FOUND);
    return region;
}

void LinuxStation::RegisterDeviceNotification(DeviceChangeHandler handler)
{
    std::lock_guard lock(m_NotifyLock);
    m_Arrivals.SetFollowing(false);
    const bool started = m_Monitor.Start([this, handler = std::move(handler)](const UdevEvent& event) {
        NoteUdevEvent(event);  // before the handler: it may search for the disk at once
        if (const auto change = ChangeOf(event)) handler(*change);
    });
    m_Arrivals.SetFollowing(started);
    if (!started) DBG_ERR("%s:%d: udev monitor unavailable: no device arrival or removal will be seen");
}

void LinuxStation::UnregisterDeviceNotification()
{
    std::lock_guard lock(m_NotifyLock);
    m_Arrivals.SetFollowing(false);
    m_Monitor.Stop();
}

std::vector<uint32_t> LinuxStation::DisksArrivedSince(uint64_t mark)
{
    const std::vector<std::string> names = m_Arrivals.Since(mark);
    std::vector<uint32_t> numbers;
    if (names.empty()) return numbers;
    util::MutexLock lock(m_Lock);
    Refresh();
    for (const std::string& name : names) {
        const Disk* disk = FindDiskByName(name);
        // A disk that went again, or the system disk, is nothing to search.
        if (disk && disk->number != 0 && std::find(numbers.begin(), numbers.end(), disk->number) == numbers.end())
            numbers.push_back(disk->number);
    }
    return numbers;
}

bool LinuxStation::WaitForDiskArrival(uint64_t mark, int64_t ms)
{
    if (!m_Arrivals.Following()) return IStation::WaitForDiskArrival(mark, ms);
    return m_Arrivals.WaitSince(mark, ms);
}

}  // namespace platform::linuxst
