// The disk-level half of the formatter: partitioning through the station's
// partitioning tool, the capacity class, and the format of a partition with its
// post-check through the file-system queries.
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>

#include "device/BrvtUSBDev.h"
#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "disk/DiskPartScript.h"
#include "disk/Fat32Format.h"
#include "disk/MbrPostProcess.h"
#include "disk/StationSectorDevice.h"
#include "log/DebugLog.h"
#include "platform/Station.h"
#include "util/Clock.h"
#include "util/Text.h"
#include "util/USBUtility.h"

namespace disk {

namespace {
namespace fs = std::filesystem;

constexpr int kPartitionAttempts = 3;
constexpr int kFormatAttemptLimit = 3;  // attempts counted from 1 while below this
constexpr int64_t kStartFailPauseMs = 500;
constexpr int64_t kPartitionSettleMs = 1500;
constexpr int64_t kPostCheckPauseMs = 1000;
constexpr int64_t kNtfsOnlyMiB = 0x800000;  // 8 TiB
constexpr uint32_t kShareReadWrite = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;
constexpr uint32_t kReadWrite = platform::GENERIC_READ | platform::GENERIC_WRITE;

std::string RootPath(char letter) { return std::string(1, letter) + ":\\"; }

// Asks the system to read the disk's layout again; a failure is only traced.
void UpdateDiskProperties(platform::IStation& station, uint8_t physicalDrive, char letter)
{
    ScopedHandle disk(station, device::host::CreateFile(station, CStationSectorDevice::DiskPath(physicalDrive),
                                                        kReadWrite, kShareReadWrite, platform::OPEN_EXISTING, 0));
    if (!disk.Valid() || !device::host::UpdateDiskProperties(station, disk.Get()))
        DBG_ERR("%s:%d: [%c] IOCTL_DISK_UPDATE_PROPERTIES Fail , dwErrorCode %d", letter, platform::GetLastError());
}
// The size rule's sectors per cluster, made smaller where the volume would
// otherwise have too few clusters for FAT32.
uint32_t FittingClusterSize(ISectorDevice& volume, int ruleSectors)
{
    VolumeGeometry geometry;
    if (ruleSectors <= 0 || !volume.GetGeometry(geometry) || geometry.bytesPerSector == 0)
        return static_cast<uint32_t>(std::max(ruleSectors, 0));
    const uint64_t sectors = geometry.partitionLength / geometry.bytesPerSector;
    if (sectors < 65536 || sectors > 0xFFFFFFFEull) return static_cast<uint32_t>(ruleSectors);  // the pre-check refuses it
    const uint32_t fitted = Fat32FittingSectorsPerCluster(static_cast<uint32_t>(sectors), geometry.bytesPerSector,
                                                          static_cast<uint32_t>(ruleSectors));
    if (fitted != static_cast<uint32_t>(ruleSectors))
        DBG_MSG("%s:%d: vLowLevelFormatTracks: %d sectors per cluster leave too few clusters, %u taken", ruleSectors,
                fitted);
    return fitted;
}
}  // namespace

std::string FileSystemForFormat(int capacityClass, uint8_t formatType)
{
    if (capacityClass == kCapacityNtfsOnly) return "NTFS";
    if (capacityClass == kCapacityAnyFs && formatType == kFormatNtfs) return "NTFS";
    if (capacityClass == kCapacityAnyFs && formatType == kFormatExfat) return "EXFAT";
    return "FAT32";
}

int SectorsPerClusterForDiskMiB(int64_t diskMiB)
{
    if (diskMiB <= 0) return 128;
    if (diskMiB <= 140288) return 16;
    if (diskMiB <= 280576) return 32;
    if (diskMiB <= 562176) return 64;
    return 128;
}

bool CFat32Format::vCreatePartition(char cDriveLetter, uint8_t ucPhysicalAddress, uint8_t bGptPartition,
                                    uint32_t dwBytesPerSector, uint32_t dwOffsetMiB)
{
    std::lock_guard partition(CUSBUtility::Instance().m_PartitionCriticalSection);
    m_strFailure.clear();
    std::error_code ec;
    const fs::path folder = fs::current_path(ec);
    bool result = false;
    try {
        if (ec || !vSetDiskPartSetupInfo(folder, cDriveLetter, ucPhysicalAddress, bGptPartition, dwOffsetMiB)) {
            DBG_ERR("%s:%d: vCreatePartition: [%d] Script File Not Exist , ErrorCode:%d", ucPhysicalAddress,
                    platform::GetLastError());
            // Drive 0 never gets a script, so there is none of it to delete.
            return Failed(ucPhysicalAddress == 0 ? "disk 0 is the system disk and is never partitioned"
                                                 : "the partitioning script could not be written in " + folder.string());
        }
        platform::IStation& station = Station();
        CBrvtUSBDev dev(station);
        const std::string script = (folder / DiskPartScriptName(ucPhysicalAddress)).string();
        for (int attempt = 0; attempt < kPartitionAttempts; ++attempt) {
            const bool started = device::host::RunDiskPartScript(station, script);
            DBG_MSG("%s:%d: vCreatePartition000: bResult:%d, ErrorCode:%d ", started, platform::GetLastError());
            DBG_MSG("%s:%d: vCreatePartition111: ErrorCode:%d ", platform::GetLastError());
            if (!started) {
                util::SleepMs(kStartFailPauseMs);
                DBG_ERR("%s:%d: vCreatePartition: ucPhysicalAddress[%d] PartitionParam:%s Fail, ErrorCode:%d ",
                        ucPhysicalAddress, script.c_str(), platform::GetLastError());
                m_strFailure = "the partitioning of disk " + std::to_string(ucPhysicalAddress) + " failed (" +
                               std::to_string(attempt + 1) + " attempts)";
                continue;
            }
            util::SleepMs(kPartitionSettleMs);
            const int32_t count = dev.vGetPartitionCount(ucPhysicalAddress);
            if (count == kNoPartitionCount) {
                DBG_ERR("%s:%d: vCreatePartition: Fail ucPhysicalAddress [%d] Check Partition Count %d",
                        ucPhysicalAddress, count);
                m_strFailure = "no partition appeared on disk " + std::to_string(ucPhysicalAddress);
                result = false;
                continue;
            }
            DBG_MSG("%s:%d: vCreatePartition: [%d] Check Partition Count %d", ucPhysicalAddress, count);
            result = true;
            m_strFailure.clear();
            CStationSectorDevice disk(station, CStationSectorDevice::DiskPath(ucPhysicalAddress));
            VolumeGeometry geometry;
            if (!disk.Open() || !disk.UpdateProperties())
                DBG_ERR("%s:%d: vCreatePartition: %c IOCTL_DISK_UPDATE_PROPERTIES Fail , dwErrorCode %d",
                        cDriveLetter, platform::GetLastError());
            // One partition: the MBR case, whose first entry may need the repair.
            if (count == 1)
                result = (disk.GetGeometry(geometry) &&
                          vPostProcessMbr(disk, dwBytesPerSector, geometry.partitionLength, ucPhysicalAddress,
                                          cDriveLetter)) ||
                         Failed("the MBR of disk " + std::to_string(ucPhysicalAddress) + " could not be repaired");
            break;
        }
    } catch (...) {
        DBG_ERR("%s:%d: ucPhysicalAddress : %d , dwErrorCode %d", ucPhysicalAddress, platform::GetLastError());
        result = Failed("the partitioning ended in an unexpected error");
    }
    if (!vDelDiskPartSetupInfo(folder, ucPhysicalAddress))
        result = Failed("the partitioning script could not be deleted from " + folder.string());
    return result;
}

int CFat32Format::vCheckFileSystemCapacity(uint8_t ucPhysicalAddress)
{
    platform::IStation& station = Station();
    const std::string path = CStationSectorDevice::DiskPath(ucPhysicalAddress);
    ScopedHandle disk(station, device::host::CreateFile(station, path, kReadWrite, kShareReadWrite,
                                                        platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING));
    if (!disk.Valid()) {
        DBG_ERR("%s:%d: vCheckFileSystemCapacity: CreateFile[%s] Fail, ErrorCode:%d", path.c_str(),
                platform::GetLastError());
        return kCapacityUnknown;
    }
    platform::DiskGeometryEx geometry;
    if (!device::host::GetDriveGeometryEx(station, disk.Get(), geometry)) {
        DBG_ERR("%s:%d: vCheckFileSystemCapacity: [%s] not support  , ErrorCode:%d", path.c_str(),
                platform::GetLastError());
        return kCapacityUnknown;
    }
    return geometry.DiskSize / 1048576 >= kNtfsOnlyMiB ? kCapacityNtfsOnly : kCapacityAnyFs;
}

bool CFat32Format::vLowLevelFormatTracks(uint8_t ucPhysicalAddress, uint8_t ucFormatDriveType, uint8_t bGptPartition,
                                         const std::string& label, char cDriveLetter)
{
    m_strFailure.clear();
    const std::string testDrive = CStationSectorDevice::VolumePath(cDriveLetter);
    const int capacity = vCheckFileSystemCapacity(ucPhysicalAddress);
    if (cDriveLetter == kNoDriveLetter || capacity == kCapacityUnknown) {
        DBG_ERR("%s:%d: vLowLevelFormatTracks: Pre-Check Fail , ucPhysicalAddress:[%d] , m_cDriveLetter:[%c] ,  "
                "strTestLogicalDrive: %s , iFSCapacity : %d ",
                ucPhysicalAddress, cDriveLetter, testDrive.c_str(), capacity);
        return Failed(cDriveLetter == kNoDriveLetter ? "the volume has no drive letter"
                                                     : "the capacity of disk " + std::to_string(ucPhysicalAddress) +
                                                           " cannot be read");
    }
    try {
        for (int attempt = 1; attempt < kFormatAttemptLimit; ++attempt) {
            const std::string fileSystem = FileSystemForFormat(capacity, ucFormatDriveType);
            if (capacity == kCapacityAnyFs && ucFormatDriveType > kFormatExfat)
                DBG_ERR("%s:%d: vLowLevelFormatTracks: Pre-Set Format Param Impossible , ucPhysicalAddress:[%d] , "
                        "m_cDriveLetter:[%c] ,  ucFormat_drive_type %d",
                        ucPhysicalAddress, cDriveLetter, ucFormatDriveType);
            m_strFailure.clear();  // each attempt is judged on its own
            // An attempt passes when the format itself succeeded and the
            // post-check finds a usable volume: a volume whose system area could
            // not be written, or an old file system left by a formatter that
            // failed, would pass the post-check alone.
            bool formatted = false;
            if (util::EqualNoCase(fileSystem, "FAT32")) {
                CBrvtUSBDev dev(Station());
                CStationSectorDevice volume(Station(), testDrive);
                if (volume.Open()) {
                    bSetFormatParam(cDriveLetter, FittingClusterSize(volume, SectorsPerClusterForDiskMiB(
                                                                                 dev.vGetDiskPhysicalSize(ucPhysicalAddress))),
                                    bGptPartition);
                    formatted = bFormatVolume(volume, label);
                } else {
                    Failed("the new volume " + testDrive + " cannot be opened");
                }
            } else if (device::host::FormatVolume(Station(), RootPath(cDriveLetter), fileSystem)) {
                // NTFS and exFAT: the system's formatter, quick, without a label
                // (the post-check sets it).
                formatted = true;
            } else {
                DBG_ERR("%s:%d: vLowLevelFormatTracks: FormatVolume Fail , m_cDriveLetter:[%c] , "
                        "strFileSystemParam %s , dwErrorCode %d",
                        cDriveLetter, fileSystem.c_str(), platform::GetLastError());
                Failed("the system's " + fileSystem + " formatter failed");
            }
            if (formatted && bPostCheckFormat(ucPhysicalAddress, cDriveLetter, fileSystem, label)) {
                m_strFailure.clear();
                return true;
            }
            UpdateDiskProperties(Station(), ucPhysicalAddress, cDriveLetter);
        }
    } catch (...) {
        DBG_ERR("%s:%d: ucPhysicalAddress : %d , dwErrorCode %d", ucPhysicalAddress, platform::GetLastError());
    }
    return false;
}

bool CFat32Format::bPostCheckFormat(uint8_t ucPhysicalAddress, char cDriveLetter, const std::string& fileSystem,
                                    const std::string& label)
{
    platform::IStation& station = Station();
    const std::string root = RootPath(cDriveLetter);
    // The volume must be one the system can put files on: its file system is
    // recognised and tells its free space.
    platform::DiskFreeSpace space;
    if (!device::host::GetDiskFreeSpace(station, root, space)) {
        util::SleepMs(kPostCheckPauseMs);
        DBG_ERR("%s:%d: vLowLevelFormatTracks: Post-Check (CreateDirectory) Fail , ucPhysicalAddress:[%d] , "
                "m_cDriveLetter:[%c] ,  strTestDirectory : %s , dwErrorCode %d",
                ucPhysicalAddress, cDriveLetter, (root + "tmp").c_str(), platform::GetLastError());
        return Failed("the formatted volume " + root + " shows no file system the system can use");
    }
    // FAT32 volumes carry the label from our formatter; the system's formatters
    // leave it to the volume-label request, tried once more when it fails.
    bool labelled = true;
    if (!util::EqualNoCase(fileSystem, "FAT32")) {
        labelled = device::host::SetVolumeLabel(station, root, label);
        if (!labelled) {
            DBG_ERR("%s:%d: vLowLevelFormatTracks: SetVolumeLabel Fail , strLogicalAddress: %s , strDriveLabelName "
                    "%s , bResult %d",
                    root.c_str(), label.c_str(), labelled);
            labelled = device::host::SetVolumeLabel(station, root, label);
        }
    }
    DBG_MSG("%s:%d: vLowLevelFormatTracks: SetVolumeLabel , strLogicalAddress: %s , strDriveLabelName %s , "
            "bResult %d",
            root.c_str(), label.c_str(), labelled);
    platform::VolumeInformation information;
    if (!device::host::GetVolumeInformation(station, root, information)) {
        DBG_ERR("%s:%d: vLowLevelFormatTracks: GetVolumeInformation Fail , strLogicalAddress:[%s] , dwErrorCode %d",
                root.c_str(), platform::GetLastError());
        return Failed("the file system of " + root + " cannot be read back");
    }
    DBG_MSG("%s:%d: vLowLevelFormatTracks: GetVolumeInformation , strCheckFSType: %s strFileSystemParam %s , "
            "strCheckDriveLabel %s , strDriveLabelName %s",
            information.FileSystemName.c_str(), fileSystem.c_str(), information.VolumeName.c_str(), label.c_str());
    if (util::EqualNoCase(information.FileSystemName, fileSystem) && util::EqualNoCase(information.VolumeName, label))
        return true;
    DBG_ERR("%s:%d: vLowLevelFormatTracks: Post-Check Fail , ucPhysicalAddress:[%d] , m_cDriveLetter:[%c] ,  Cmp "
            "FSParam[%s] and CheckFSType[%s] , Cmp DriveLabelName[%s] and CheckDriveLabelName[%s] , dwErrorCode %d",
            ucPhysicalAddress, cDriveLetter, fileSystem.c_str(), information.FileSystemName.c_str(), label.c_str(),
            information.VolumeName.c_str(), platform::GetLastError());
    return Failed(root + " reads back as " + information.FileSystemName + " \"" + information.VolumeName +
                  "\", not " + fileSystem + " \"" + label + "\"");
}

}  // namespace disk
