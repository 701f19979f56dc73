#include "device/host/DiskHost.h"

#include <fstream>
#include <sstream>

#include "device/host/DevicePath.h"
#include "device/host/DriveLetters.h"
#include "device/host/PartitionScript.h"
#include "log/DebugLog.h"
#include "util/Text.h"

namespace device::host {

namespace {
using platform::DiskTarget;
using platform::IStation;

// The geometry a Windows host reports for a fixed disk of any size.
constexpr uint32_t kSectorsPerTrack = 63;
constexpr uint32_t kTracksPerCylinder = 255;
constexpr uint32_t kNotPartitionable = 0xFFFFFFFF;

bool Fail(uint32_t error)
{
    platform::SetLastError(error);
    return false;
}

bool Succeed()
{
    platform::SetLastError(platform::ERROR_SUCCESS);
    return true;
}

// The volume a "\\?\Volume{...}" name (with or without its trailing backslash) names now.
std::optional<platform::VolumeLocation> VolumeOfName(IStation& station, const std::string& path)
{
    for (const auto& volume : DriveLetters(station.Volumes())) {
        const std::string name = VolumeName(volume.location);
        if (util::EqualNoCase(path, name) || util::EqualNoCase(path, name.substr(0, name.size() - 1)))
            return volume.location;
    }
    return std::nullopt;
}

// The lettered volume of a root path "X:\"; nullopt (last error set) when none.
std::optional<LetteredVolume> VolumeOfRoot(IStation& station, const std::string& rootPath)
{
    const char letter = LetterOfRootPath(rootPath);
    if (!letter) return Fail(platform::ERROR_INVALID_PARAMETER), std::nullopt;
    auto volume = VolumeOfLetter(station, letter);
    if (!volume) Fail(platform::ERROR_PATH_NOT_FOUND);
    return volume;
}

bool Probe(IStation& station, const std::string& rootPath, platform::ProbedVolume& probed)
{
    const auto volume = VolumeOfRoot(station, rootPath);
    return volume && station.ProbeVolume(volume->location.disk, volume->location.partition, probed);
}

uint32_t Clamp32(uint64_t value) { return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX)); }
}  // namespace

HANDLE CreateFile(IStation& station, const std::string& path, uint32_t desiredAccess, uint32_t, uint32_t, uint32_t)
{
    const auto access = desiredAccess == 0 ? platform::DiskAccess::kQuery : platform::DiskAccess::kData;
    bool cdrom = false;
    int number = 0;
    if (ParseDevicePath(path, cdrom, number))
        return station.OpenDisk(
            {cdrom ? platform::DiskKind::kCdrom : platform::DiskKind::kDisk, static_cast<uint32_t>(number), 0}, access);
    std::optional<platform::VolumeLocation> volume;
    if (const char letter = LetterOfVolumePath(path)) {
        if (const auto lettered = VolumeOfLetter(station, letter)) volume = lettered->location;
    } else {
        volume = VolumeOfName(station, path);
    }
    if (!volume) {
        Fail(platform::ERROR_FILE_NOT_FOUND);
        return platform::INVALID_HANDLE_VALUE;
    }
    return station.OpenDisk({platform::DiskKind::kDisk, volume->disk, volume->partition}, access);
}

bool GetDriveGeometryEx(IStation& station, HANDLE handle, platform::DiskGeometryEx& geometry)
{
    geometry = {};
    platform::DiskCapacity capacity;
    if (!station.GetDiskCapacity(handle, capacity)) return false;
    geometry.MediaType = capacity.removable ? platform::MEDIA_TYPE_REMOVABLE : platform::MEDIA_TYPE_FIXED;
    geometry.BytesPerSector = capacity.bytesPerSector;
    if (capacity.sizeBytes != 0 && capacity.bytesPerSector != 0) {
        geometry.SectorsPerTrack = kSectorsPerTrack;
        geometry.TracksPerCylinder = kTracksPerCylinder;
        geometry.Cylinders = static_cast<int64_t>(
            capacity.sizeBytes / (uint64_t{capacity.bytesPerSector} * kSectorsPerTrack * kTracksPerCylinder));
        geometry.DiskSize = static_cast<int64_t>(capacity.sizeBytes);
    }
    return Succeed();
}

bool GetDriveLayoutEx(IStation& station, HANDLE handle, platform::DriveLayout& layout)
{
    layout = {};
    DiskTarget target;
    if (!station.HandleTarget(handle, target)) return false;
    if (target.kind != platform::DiskKind::kDisk || target.partition != 0)
        return Fail(platform::ERROR_INVALID_FUNCTION);
    platform::PartitionTable table;
    platform::DiskCapacity capacity;
    if (!station.ReadPartitionTable(handle, table) || !station.GetDiskCapacity(handle, capacity)) return false;
    switch (table.style) {
    case platform::PartitionStyle::kMbr: layout.PartitionStyle = platform::PARTITION_STYLE_MBR; break;
    case platform::PartitionStyle::kGpt: layout.PartitionStyle = platform::PARTITION_STYLE_GPT; break;
    case platform::PartitionStyle::kRaw: layout.PartitionStyle = platform::PARTITION_STYLE_RAW; break;
    }
    layout.Signature = table.mbrSignature;
    for (const auto& slot : table.entries) {
        platform::PartitionEntry entry;
        entry.PartitionStyle = layout.PartitionStyle;
        if (slot.length != 0) {
            entry.StartingOffset = static_cast<int64_t>(slot.offset);
            entry.PartitionLength = static_cast<int64_t>(slot.length);
            entry.PartitionType = slot.mbrType;
            entry.BootIndicator = slot.bootable;
            if (capacity.bytesPerSector) entry.HiddenSectors = Clamp32(slot.offset / capacity.bytesPerSector);
            // Extended containers are listed without a number, as the system does.
            if (!slot.container) entry.PartitionNumber = slot.number;
        }
        layout.Entries.push_back(entry);
    }
    return Succeed();
}

bool GetStorageDeviceNumber(IStation& station, HANDLE handle, platform::StorageDeviceNumber& number)
{
    number = {};
    DiskTarget target;
    if (!station.HandleTarget(handle, target)) return false;
    const bool cdrom = target.kind == platform::DiskKind::kCdrom;
    number.DeviceType = cdrom ? platform::FILE_DEVICE_CD_ROM : platform::FILE_DEVICE_DISK;
    number.DeviceNumber = target.number;
    number.PartitionNumber = cdrom ? kNotPartitionable : target.partition;
    return Succeed();
}

bool GetVolumeNameForVolumeMountPoint(IStation& station, const std::string& mountPoint, std::string& volumeName)
{
    volumeName.clear();
    const auto volume = VolumeOfRoot(station, mountPoint);
    if (!volume) return false;
    volumeName = VolumeName(volume->location);
    return Succeed();
}

bool GetVolumeDiskExtents(IStation& station, HANDLE handle, std::vector<platform::DiskExtent>& extents)
{
    extents.clear();
    DiskTarget target;
    if (!station.HandleTarget(handle, target)) return false;
    if (target.kind != platform::DiskKind::kDisk || target.partition == 0)
        return Fail(platform::ERROR_INVALID_FUNCTION);
    for (const auto& volume : station.Volumes())
        if (volume.disk == target.number && volume.partition == target.partition) {
            extents.push_back({volume.disk, static_cast<int64_t>(volume.offset), static_cast<int64_t>(volume.length)});
            return Succeed();
        }
    return Fail(platform::ERROR_DEVICE_NOT_CONNECTED);
}

bool UpdateDiskProperties(IStation& station, HANDLE handle) { return station.RereadPartitionTable(handle); }

bool GetDiskFreeSpace(IStation& station, const std::string& rootPath, platform::DiskFreeSpace& space)
{
    space = {};
    platform::ProbedVolume probed;
    if (!Probe(station, rootPath, probed)) return false;
    space.BytesPerSector = probed.bytesPerSector;
    space.SectorsPerCluster = probed.sectorsPerCluster;
    space.TotalNumberOfClusters = Clamp32(probed.totalClusters);
    space.NumberOfFreeClusters = Clamp32(probed.freeClusters);
    return Succeed();
}

bool GetVolumeInformation(IStation& station, const std::string& rootPath, platform::VolumeInformation& information)
{
    information = {};
    platform::ProbedVolume probed;
    if (!Probe(station, rootPath, probed)) return false;
    information.VolumeName = probed.label;
    information.VolumeSerialNumber = probed.serial;
    information.MaximumComponentLength = 255;
    information.FileSystemName = probed.fileSystem;
    return Succeed();
}

uint32_t GetDriveType(IStation& station, const std::string& rootPath)
{
    return VolumeOfLetter(station, LetterOfRootPath(rootPath)) ? platform::DRIVE_FIXED : platform::DRIVE_NO_ROOT_DIR;
}

bool FormatVolume(IStation& station, const std::string& rootPath, const std::string& fileSystem)
{
    const auto volume = VolumeOfRoot(station, rootPath);
    if (!volume) return false;
    if (volume->location.system) return Fail(platform::ERROR_ACCESS_DENIED);
    return station.FormatVolume(volume->location.disk, volume->location.partition, fileSystem);
}

bool SetVolumeLabel(IStation& station, const std::string& rootPath, const std::string& label)
{
    const auto volume = VolumeOfRoot(station, rootPath);
    if (!volume) return false;
    if (volume->location.system) return Fail(platform::ERROR_ACCESS_DENIED);
    return station.SetVolumeLabel(volume->location.disk, volume->location.partition, label);
}

std::unique_ptr<platform::IVolumeFiles> OpenVolumeFiles(IStation& station, const std::string& rootPath,
                                                        std::string& error)
{
    const auto volume = VolumeOfRoot(station, rootPath);
    if (!volume) {
        error = "drive " + rootPath + " reaches no volume";
        return nullptr;
    }
    if (volume->location.system) {
        Fail(platform::ERROR_ACCESS_DENIED);
        error = "drive " + rootPath + " is the system volume";
        return nullptr;
    }
    return station.OpenVolumeFiles(volume->location.disk, volume->location.partition, error);
}

bool RunDiskPartScript(IStation& station, const std::string& scriptPath)
{
    std::ifstream file(scriptPath, std::ios::binary);
    if (!file) return Fail(platform::ERROR_FILE_NOT_FOUND);
    std::ostringstream text;
    text << file.rdbuf();
    std::string error;
    const auto plan = ParseDiskPartScript(text.str(), error);
    if (!plan) {
        DBG_ERR("%s:%d: %s: the partitioning script cannot be carried out: %s", scriptPath.c_str(), error.c_str());
        return Fail(platform::ERROR_INVALID_PARAMETER);
    }
    return station.ApplyPartitionPlan(*plan);
}

}  // namespace device::host
