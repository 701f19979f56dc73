#pragma once
// Our own FAT32 formatter: lays a FAT32 file system onto an existing partition
// with raw sector writes (32 reserved sectors, two FATs, root directory in
// cluster 2, FSInfo in sector 1, backup boot sector in sector 6). Only the system
// area is written, never the data area.
#include <cstdint>
#include <string>

#include "disk/Fat32Layout.h"
#include "disk/SectorDevice.h"
#include "platform/Station.h"

namespace disk {

class CFat32Format {
public:
    static constexpr char kNoDriveLetter = 0x7F;
    static constexpr int kRefusedClusterSize = 0x7FFFFFFF;

    CFat32Format();
    // The disk-level operations go to `station` (without it, to the process station).
    explicit CFat32Format(platform::IStation& station);
    ~CFat32Format();
    CFat32Format(const CFat32Format&) = delete;
    CFat32Format& operator=(const CFat32Format&) = delete;

    // Drive letter, sectors per cluster (0: the partition size decides) and
    // partition style. A cluster size above 128 sectors, or one that is no power
    // of two, is refused.
    bool bSetFormatParam(char cDriveLetter, int iClusterSize, uint8_t bGptPartition);

    // Formats `volume`, the volume of the drive letter set before, with `label`
    // in its root directory. Drive C is never formatted, nor a volume whose label
    // a FAT directory entry cannot hold. False on any failure,
    // including a failed sector write: a volume with holes in its system area
    // must not pass as formatted.
    bool bFormatVolume(ISectorDevice& volume, const std::string& label);

    // Reads geometry and partition information and checks the size: 65,536 to
    // 0xFFFFFFFE sectors.
    bool bPreCheckFat32FormatParam(ISectorDevice& volume);

    uint8_t bGetSectorsPerCluster(uint64_t partitionLength, uint32_t bytesPerSector) const;

    // Zeroes `count` sectors from `first` in bursts of 128 sectors; every burst
    // is tried, false when any failed.
    bool vZeroSectors(ISectorDevice& volume, uint64_t first, uint32_t bytesPerSector, uint64_t count);
    // `count` sectors from `buffer` at `sector` of the volume.
    bool vWriteSect(ISectorDevice& volume, uint64_t sector, const uint8_t* buffer, uint32_t count);

    // --- the disk-level half, through the process station ---
    // Writes the partitioning script, has the station's partitioning tool carry it
    // out (three attempts), checks that a partition appeared, repairs the MBR of
    // an MBR disk and deletes the script, all under the partition lock. Drive 0 is
    // refused before any script is written.
    bool vCreatePartition(char cDriveLetter, uint8_t ucPhysicalAddress, uint8_t bGptPartition,
                          uint32_t dwBytesPerSector, uint32_t dwOffsetMiB);
    // kCapacityNtfsOnly for a disk of 8 TiB or more, kCapacityAnyFs below,
    // kCapacityUnknown when the disk cannot be opened or measured.
    int vCheckFileSystemCapacity(uint8_t ucPhysicalAddress);
    // Formats the volume of `cDriveLetter` (two attempts) and checks its file
    // system name and label read back as configured.
    bool vLowLevelFormatTracks(uint8_t ucPhysicalAddress, uint8_t ucFormatDriveType, uint8_t bGptPartition,
                               const std::string& label, char cDriveLetter);

    char DriveLetter() const { return m_cDriveLetter; }
    int ClusterSize() const { return m_iClusterSize; }
    uint8_t GptPartition() const { return m_bGptPartition; }
    // The layout of the last format that got past the pre-check.
    const Fat32Layout& Layout() const { return m_Layout; }
    // Why the last partitioning or format failed, in words for the operator
    // (the step's first cause); empty after a success.
    const std::string& Failure() const { return m_strFailure; }

private:
    // Notes `cause` unless a cause of this operation is already noted; returns false.
    bool Failed(const std::string& cause);
    bool bPostCheckFormat(uint8_t ucPhysicalAddress, char cDriveLetter, const std::string& fileSystem,
                          const std::string& label);
    platform::IStation& Station() const { return m_pStation ? *m_pStation : platform::Station(); }
    void Reset();
    void ReleaseBuffers();
    bool FormatLocked(ISectorDevice& volume, const std::string& label, const FatStamp& stamp);
    bool WriteSystemArea(ISectorDevice& volume, const std::string& label, const FatStamp& stamp);
    std::string LogicalAddress() const;

    platform::IStation* m_pStation = nullptr;
    std::string m_strFailure;
    char m_cDriveLetter = kNoDriveLetter;
    int m_iClusterSize = 0;
    uint8_t m_bGptPartition = 0;
    VolumeGeometry m_Geometry;
    uint32_t m_dwBytesPerSector = 0;
    uint32_t m_dwVolumeId = 0;
    uint32_t m_dwTotalSectors = 0;
    Fat32Layout m_Layout;
    AlignedBuffer m_BootSector;
    AlignedBuffer m_FsInfoSector;
    AlignedBuffer m_FirstFatSector;
};

// Capacity classes of vCheckFileSystemCapacity.
constexpr int kCapacityNtfsOnly = 0;
constexpr int kCapacityAnyFs = 1;
constexpr int kCapacityUnknown = 0x7FFFFFFF;
// Format types of the settings.
constexpr uint8_t kFormatNtfs = 0;
constexpr uint8_t kFormatFat32 = 1;
constexpr uint8_t kFormatExfat = 2;

// The file-system name a format uses: "NTFS" only for a disk of 8 TiB or more,
// else by the format type, "FAT32" for a type or a class it does not know.
std::string FileSystemForFormat(int capacityClass, uint8_t formatType);
// Sectors per cluster of a FAT32 format by the disk size in MiB (16, 32, 64 or
// 128; a size of 0 or -1, an unknown one, gives 128).
int SectorsPerClusterForDiskMiB(int64_t diskMiB);

// The local date and time now, for the volume ID and the label entry.
FatStamp FatStampNow();

}  // namespace disk
