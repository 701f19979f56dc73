#pragma once
// The disks and volumes of the tool's own world, made of the station's
// OS-neutral requests: device paths ("\\.\PhysicalDrive%d", "\\.\CDROM%d",
// "\\.\X:", "\\?\Volume{...}"), drive letters and root paths "X:\", the
// geometry, layout, device number and extents a Windows host reports, free
// space and volume information, and the partitioning tool run on a script.
// Every call returns false (or INVALID_HANDLE_VALUE) and sets the station's
// last error when it fails. Handles are the station's: close them with
// IStation::CloseHandle.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Station.h"

namespace device::host {

using platform::HANDLE;

// Opens a device path. An access of 0 opens for queries and commands only.
HANDLE CreateFile(platform::IStation& station, const std::string& path, uint32_t desiredAccess, uint32_t shareMode,
                  uint32_t creationDisposition, uint32_t flagsAndAttributes);

// Of a disk, CD-ROM or volume handle (a volume reports its disk's geometry).
bool GetDriveGeometryEx(platform::IStation& station, HANDLE handle, platform::DiskGeometryEx& geometry);
// The whole layout of a disk handle.
bool GetDriveLayoutEx(platform::IStation& station, HANDLE handle, platform::DriveLayout& layout);
// Disk or CD-ROM number (and partition) an opened disk, CD-ROM or volume reaches.
bool GetStorageDeviceNumber(platform::IStation& station, HANDLE handle, platform::StorageDeviceNumber& number);
// "\\?\Volume{...}\" of a mount point "X:\".
bool GetVolumeNameForVolumeMountPoint(platform::IStation& station, const std::string& mountPoint,
                                      std::string& volumeName);
// The disk extents of a volume handle, first extent first.
bool GetVolumeDiskExtents(platform::IStation& station, HANDLE handle, std::vector<platform::DiskExtent>& extents);
// Makes the system read the disk's layout again.
bool UpdateDiskProperties(platform::IStation& station, HANDLE handle);

// Of a root path "X:\"; ERROR_UNRECOGNIZED_VOLUME when no file system is known.
bool GetDiskFreeSpace(platform::IStation& station, const std::string& rootPath, platform::DiskFreeSpace& space);
bool GetVolumeInformation(platform::IStation& station, const std::string& rootPath,
                          platform::VolumeInformation& information);
// DRIVE_FIXED for the letter of a volume, DRIVE_NO_ROOT_DIR otherwise.
uint32_t GetDriveType(platform::IStation& station, const std::string& rootPath);
// Quick-formats the volume of a root path with the system's tool for
// `fileSystem` ("NTFS" or "EXFAT", any case); the system volume is refused.
bool FormatVolume(platform::IStation& station, const std::string& rootPath, const std::string& fileSystem);
bool SetVolumeLabel(platform::IStation& station, const std::string& rootPath, const std::string& label);
// The files of the bridge volume of a root path; nullptr with the last error set
// and `error` naming the cause otherwise.
std::unique_ptr<platform::IVolumeFiles> OpenVolumeFiles(platform::IStation& station, const std::string& rootPath,
                                                        std::string& error);

// The system's partitioning tool run on a script file ("diskpart /s FILE"): the
// script is read as one partition plan (PartitionScript.h) which the station
// carries out. False (last error set) when the file cannot be read, the script
// cannot be carried out whole, or the station refuses the plan; what the
// script did is read back from the disks afterwards.
bool RunDiskPartScript(platform::IStation& station, const std::string& scriptPath);

}  // namespace device::host
