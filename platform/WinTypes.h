#pragma once
// The Windows-shaped vocabulary the tool keeps for its own world (handles, device
// paths, pass-through blocks, error codes). Each station maps it onto what it has.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

// Access, sharing, disposition and flag values of CreateFile.
constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
constexpr uint32_t FILE_SHARE_READ = 0x1;
constexpr uint32_t FILE_SHARE_WRITE = 0x2;
constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000u;
constexpr uint32_t FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// Error codes reported through GetLastError.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_READY = 21;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_SEM_TIMEOUT = 121;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_IO_DEVICE = 1117;
constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

// Device I/O control codes.
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH = 0x0004D004;
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014;

constexpr uint8_t SCSI_IOCTL_DATA_OUT = 0;
constexpr uint8_t SCSI_IOCTL_DATA_IN = 1;

#pragma pack(push, 1)
// Pass-through header with the data at an offset inside the request buffer.
struct SCSI_PASS_THROUGH {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint8_t Reserved[3];
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    uint32_t DataBufferOffset;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

// Pass-through header whose data lives in a separate buffer. The 64-bit pointer
// takes the place of the 32-bit offset plus the filler that follows the plain
// header, so the sense bytes sit at offset 48 in both forms.
struct SCSI_PASS_THROUGH_DIRECT {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint8_t Reserved[3];
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void* DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};
#pragma pack(pop)

static_assert(sizeof(SCSI_PASS_THROUGH) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 48);

constexpr uint32_t kSenseOffset = 48;       // after the header and its filler
constexpr uint32_t kSenseBufferSize = 32;
constexpr uint32_t kDataOffset = 80;         // after the sense buffer
constexpr uint32_t kMaxBufferedData = 65536;  // data area of a plain request

// --- disks and volumes ---
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_SECTOR_NOT_FOUND = 27;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_NOT_LOCKED = 158;
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_UNRECOGNIZED_VOLUME = 1005;
constexpr uint32_t ERROR_DISK_FULL = 112;
constexpr uint32_t ERROR_INVALID_NAME = 123;

// Device types of a storage device number.
constexpr uint32_t FILE_DEVICE_CD_ROM = 2;
constexpr uint32_t FILE_DEVICE_DISK = 7;

// Media types of a drive geometry.
constexpr uint32_t MEDIA_TYPE_UNKNOWN = 0;
constexpr uint32_t MEDIA_TYPE_REMOVABLE = 11;  // RemovableMedia
constexpr uint32_t MEDIA_TYPE_FIXED = 12;      // FixedMedia

// Drive types of a root path.
constexpr uint32_t DRIVE_UNKNOWN = 0;
constexpr uint32_t DRIVE_NO_ROOT_DIR = 1;
constexpr uint32_t DRIVE_REMOVABLE = 2;
constexpr uint32_t DRIVE_FIXED = 3;
constexpr uint32_t DRIVE_REMOTE = 4;
constexpr uint32_t DRIVE_CDROM = 5;
constexpr uint32_t DRIVE_RAMDISK = 6;

// Partition styles of a drive layout.
constexpr uint32_t PARTITION_STYLE_MBR = 0;
constexpr uint32_t PARTITION_STYLE_GPT = 1;
constexpr uint32_t PARTITION_STYLE_RAW = 2;

// Sizes of the layout query's answer: header, then one entry per partition.
constexpr uint32_t kDriveLayoutHeaderSize = 48;
constexpr uint32_t kPartitionEntrySize = 144;

// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: the geometry and the disk size.
struct DiskGeometryEx {
    int64_t Cylinders = 0;
    uint32_t MediaType = MEDIA_TYPE_UNKNOWN;
    uint32_t TracksPerCylinder = 0;
    uint32_t SectorsPerTrack = 0;
    uint32_t BytesPerSector = 0;
    int64_t DiskSize = 0;
};

// One entry of IOCTL_DISK_GET_DRIVE_LAYOUT_EX. An MBR layout always lists the
// four primary slots; unused slots have partition number 0.
struct PartitionEntry {
    uint32_t PartitionStyle = PARTITION_STYLE_MBR;
    int64_t StartingOffset = 0;   // bytes
    int64_t PartitionLength = 0;  // bytes
    uint32_t PartitionNumber = 0;
    uint8_t PartitionType = 0;    // MBR type byte (0xEE: GPT protective)
    bool BootIndicator = false;
    uint32_t HiddenSectors = 0;   // MBR: the partition's first sector
};

struct DriveLayout {
    uint32_t PartitionStyle = PARTITION_STYLE_RAW;
    uint32_t Signature = 0;  // MBR disk signature
    std::vector<PartitionEntry> Entries;  // every entry, whatever their number
};

// IOCTL_STORAGE_GET_DEVICE_NUMBER.
struct StorageDeviceNumber {
    uint32_t DeviceType = 0;       // FILE_DEVICE_DISK or FILE_DEVICE_CD_ROM
    uint32_t DeviceNumber = 0;     // disk or CD-ROM number
    uint32_t PartitionNumber = 0;  // 0: the whole disk; 0xFFFFFFFF: not partitionable
};

// One extent of IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS.
struct DiskExtent {
    uint32_t DiskNumber = 0;
    int64_t StartingOffset = 0;
    int64_t ExtentLength = 0;
};

// GetDiskFreeSpaceA.
struct DiskFreeSpace {
    uint32_t SectorsPerCluster = 0;
    uint32_t BytesPerSector = 0;
    uint32_t NumberOfFreeClusters = 0;
    uint32_t TotalNumberOfClusters = 0;
};

// GetVolumeInformationA.
struct VolumeInformation {
    std::string VolumeName;  // label
    uint32_t VolumeSerialNumber = 0;
    uint32_t MaximumComponentLength = 0;
    uint32_t FileSystemFlags = 0;
    std::string FileSystemName;  // "FAT32", "NTFS"
};

}  // namespace platform
