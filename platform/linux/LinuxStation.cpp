#include "platform/linux/LinuxStation.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "log/DebugLog.h"
#include "platform/DevicePath.h"
#include "platform/linux/DiskPartPlan.h"

namespace platform::linuxst {

namespace {
constexpr uint16_t kBridgeVendorId = 0x2B9D;

uint32_t ErrorOfErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
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

LinuxStation::LinuxStation(const std::string& root, IoctlFunction ioctl) : m_Tree(root), m_Ioctl(std::move(ioctl))
{
    std::lock_guard lock(m_Lock);
    Refresh();
}

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
    std::lock_guard lock(m_Lock);
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

HANDLE LinuxStation::OpenDisk(const Disk& disk, uint32_t desiredAccess)
{
    OpenDevice device{disk.block.name, disk.number, -1, -1};
    if (desiredAccess != 0) {
        if (!disk.refusal.empty()) {
            DBG_ERR("%s:%d: disk %u (%s) refused: %s", disk.number, disk.block.name.c_str(), disk.refusal.c_str());
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        const std::string node = "dev/" + (disk.block.sgName.empty() ? disk.block.name : disk.block.sgName);
        device.fd = ::open(m_Tree.Under(node).c_str(), O_RDWR | O_CLOEXEC);
        if (device.fd < 0) {
            const int error = errno;
            DBG_ERR("%s:%d: disk %u: cannot open %s: errno %d", disk.number, node.c_str(), error);
            SetLastError(ErrorOfErrno(error));
            return INVALID_HANDLE_VALUE;
        }
    }
    return Add(std::move(device));
}

HANDLE LinuxStation::CreateFile(const std::string& path, uint32_t desiredAccess, uint32_t, uint32_t, uint32_t)
{
    std::lock_guard lock(m_Lock);
    bool cdrom = false;
    int number = -1;
    if (ParseDevicePath(path, cdrom, number)) {
        const Disk* disk = cdrom ? nullptr : FindDisk(static_cast<uint32_t>(number));
        if (!disk && !cdrom) {
            Refresh();
            disk = FindDisk(static_cast<uint32_t>(number));
        }
        if (!disk) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return OpenDisk(*disk, desiredAccess);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

bool LinuxStation::CloseHandle(HANDLE handle)
{
    std::lock_guard lock(m_Lock);
    const auto found = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_Handles.end()) return Fail(ERROR_INVALID_HANDLE);
    if (found->second.fd >= 0) ::close(found->second.fd);
    if (found->second.blockFd >= 0) ::close(found->second.blockFd);
    m_Handles.erase(found);
    return true;
}

bool LinuxStation::SendScsi(HANDLE handle, const ScsiRequest& request, ScsiOutcome& outcome)
{
    OpenDevice device;
    {
        std::lock_guard lock(m_Lock);
        if (!Find(handle, device)) return false;
    }
    if (device.fd < 0) return Fail(ERROR_INVALID_FUNCTION);
    // The command runs without the station lock: other bridges go on meanwhile.
    outcome = linuxst::SendScsi(device.fd, request, m_Ioctl);
    if (outcome.transport != ScsiTransport::kDone)
        DBG_ERR("%s:%d: disk %u: SG_IO opcode %02X failed, transport %d, errno %d", device.number,
                request.cdb.empty() ? 0 : request.cdb[0], static_cast<int>(outcome.transport), outcome.systemError);
    return true;
}

std::vector<UsbNode> LinuxStation::UsbTree() { return m_Tree.UsbNodes(); }

bool LinuxStation::GetStorageDeviceNumber(HANDLE device, StorageDeviceNumber& number)
{
    std::lock_guard lock(m_Lock);
    OpenDevice open;
    if (!Find(device, open)) return false;
    number = {FILE_DEVICE_DISK, open.number, 0};
    return true;
}

bool LinuxStation::GetDriveGeometryEx(HANDLE handle, DiskGeometryEx& geometry)
{
    std::lock_guard lock(m_Lock);
    OpenDevice open;
    if (!Find(handle, open)) return false;
    const Disk* disk = FindDiskByName(open.name);
    if (!disk) return Fail(ERROR_INVALID_FUNCTION);
    geometry = DiskGeometryEx{};
    geometry.MediaType = MEDIA_TYPE_FIXED;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = disk->block.sectorSize;
    geometry.DiskSize = static_cast<int64_t>(disk->block.sizeBytes);
    geometry.Cylinders = static_cast<int64_t>(disk->block.sizeBytes / (255ull * 63 * disk->block.sectorSize));
    return true;
}

int LinuxStation::BlockFd(HANDLE handle, bool write)
{
    std::lock_guard lock(m_Lock);
    const auto found = m_Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_Handles.end()) return Fail(ERROR_INVALID_HANDLE), -1;
    OpenDevice& open = found->second;
    // Only a disk opened for commands (refusals passed) moves sectors.
    if (open.fd < 0) return Fail(write ? ERROR_ACCESS_DENIED : ERROR_INVALID_FUNCTION), -1;
    if (open.blockFd < 0) {
        open.blockFd = ::open(m_Tree.Under("dev/" + open.name).c_str(), O_RDWR | O_CLOEXEC);
        if (open.blockFd < 0) return Fail(ErrorOfErrno(errno)), -1;
    }
    return open.blockFd;
}

bool LinuxStation::ReadAt(HANDLE handle, uint64_t offset, void* buffer, uint32_t length, uint32_t* transferred)
{
    if (transferred) *transferred = 0;
    const int fd = BlockFd(handle, false);
    if (fd < 0) return false;
    const ssize_t n = ::pread(fd, buffer, length, static_cast<off_t>(offset));
    if (n < 0) return Fail(ErrorOfErrno(errno));
    if (transferred) *transferred = static_cast<uint32_t>(n);
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool LinuxStation::WriteAt(HANDLE handle, uint64_t offset, const void* buffer, uint32_t length, uint32_t* transferred)
{
    if (transferred) *transferred = 0;
    const int fd = BlockFd(handle, true);
    if (fd < 0) return false;
    const ssize_t n = ::pwrite(fd, buffer, length, static_cast<off_t>(offset));
    if (n < 0) return Fail(ErrorOfErrno(errno));
    if (transferred) *transferred = static_cast<uint32_t>(n);
    SetLastError(ERROR_SUCCESS);
    return true;
}

// Partition tables, volumes and their mount points are not served yet: every
// such request fails plainly, so a run stops at the step that needs it.
bool LinuxStation::GetDriveLayoutEx(HANDLE, DriveLayout&) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::GetVolumeNameForVolumeMountPoint(const std::string&, std::string&) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::GetVolumeDiskExtents(HANDLE, std::vector<DiskExtent>&) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::LockVolume(HANDLE) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::DismountVolume(HANDLE) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::UnlockVolume(HANDLE) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::UpdateDiskProperties(HANDLE) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::GetDiskFreeSpace(const std::string&, DiskFreeSpace&) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::GetVolumeInformation(const std::string&, VolumeInformation&) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::FormatVolume(const std::string&, const std::string&) { return Fail(ERROR_NOT_SUPPORTED); }
bool LinuxStation::SetVolumeLabel(const std::string&, const std::string&) { return Fail(ERROR_NOT_SUPPORTED); }

// Volumes are not mounted into the run folder yet: no drive letter has a root.
uint32_t LinuxStation::GetDriveType(const std::string&) { return DRIVE_NO_ROOT_DIR; }

bool LinuxStation::RunDiskPartScript(const std::string& scriptPath)
{
    std::ifstream file(scriptPath, std::ios::binary);
    if (!file) return Fail(ERROR_FILE_NOT_FOUND);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string error;
    const auto plan = ParseDiskPartScript(text, error);
    if (!plan) {
        DBG_ERR("%s:%d: partition script %s refused: %s", scriptPath.c_str(), error.c_str());
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string node;
    uint32_t sectorSize = 0;
    {
        std::lock_guard lock(m_Lock);
        Refresh();
        const Disk* disk = FindDisk(static_cast<uint32_t>(plan->disk));
        if (!disk) return Fail(ERROR_FILE_NOT_FOUND);
        if (!disk->refusal.empty()) {
            DBG_ERR("%s:%d: disk %u (%s) not partitioned: %s", disk->number, disk->block.name.c_str(),
                    disk->refusal.c_str());
            return Fail(ERROR_ACCESS_DENIED);
        }
        node = m_Tree.Under("dev/" + disk->block.name).string();
        sectorSize = disk->block.sectorSize ? disk->block.sectorSize : 512;
    }
    // Every old partition-table and file-system signature goes, as "clean" does.
    const ToolRun run =
        m_RunTool({"sfdisk", "--wipe", "always", "--wipe-partitions", "always", node}, SfdiskScript(*plan, sectorSize));
    if (!run.Succeeded()) {
        DBG_ERR("%s:%d: sfdisk on %s failed (exit %d): %s", node.c_str(), run.exitCode, run.output.c_str());
        return Fail(run.started ? ERROR_IO_DEVICE : ERROR_FILE_NOT_FOUND);
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

std::unique_ptr<IVolumeFiles> LinuxStation::OpenVolumeFiles(const std::string& rootPath, std::string& error)
{
    // The files of a volume are reached at its mount point (MountedVolumeFiles)
    // once the volumes of the bridges are mounted into the run folder as drive letters.
    error = "no volume is mounted for " + rootPath + " on this station";
    Fail(ERROR_PATH_NOT_FOUND);
    return nullptr;
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
    std::lock_guard lock(m_Lock);
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
