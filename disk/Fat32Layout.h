#pragma once
// The FAT32 system area as pure data: the sizes a format derives from the volume
// and the images of the sectors it writes (boot sector, FSInfo, first FAT sector,
// root directory with the volume label).
#include <cstdint>
#include <string>

namespace disk {

constexpr uint32_t kFat32ReservedSectors = 32;
constexpr uint32_t kFat32NumFats = 2;
constexpr uint32_t kFat32BackupBootSector = 6;
constexpr uint32_t kFat32FsInfoSector = 1;
constexpr uint32_t kFat32RootCluster = 2;
constexpr uint32_t kFat32RootBlockBytes = 4096;
constexpr uint32_t kFat32MaxSectorsPerCluster = 128;
// Cluster counts a FAT32 volume may have: fewer is FAT16 to every reader, more
// leaves the 28-bit cluster numbers.
constexpr uint64_t kFat32MinClusters = 65525;
constexpr uint64_t kFat32MaxClusters = 0x0FFFFFF5;

// Local date and time of a format, as the clock reports it.
struct FatStamp {
    int year = 1980;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The volume ID made from the local clock.
uint32_t Fat32VolumeId(const FatStamp& stamp);
// Directory-entry encodings of the time and the date.
uint16_t FatTime(const FatStamp& stamp);
uint16_t FatDate(const FatStamp& stamp);

// Sectors per cluster chosen by the partition length when none was requested.
uint8_t Fat32DefaultSectorsPerCluster(uint64_t partitionLength, uint32_t bytesPerSector);

// Sectors per cluster the partition step requests for a disk of `diskMiB`
// (the disk size query's answer; 0 or -1 when it failed).
int Fat32ClusterSizeForDisk(int64_t diskMiB);

struct Fat32Layout {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t totalSectors = 0;
    uint32_t fatSize = 0;         // sectors per FAT
    uint32_t userAreaSize = 0;    // sectors after the FATs
    uint32_t systemAreaSize = 0;  // reserved sectors, FATs and the root cluster
    uint64_t clusterCount = 0;
    uint64_t fatNeeded = 0;       // FAT sectors the two reserved entries and the clusters need

    uint32_t FirstFatSector(uint32_t fat) const { return kFat32ReservedSectors + fat * fatSize; }
    uint32_t RootSector() const { return kFat32ReservedSectors + kFat32NumFats * fatSize; }
    // Free clusters of the fresh volume: all but the root directory's.
    uint32_t FreeClusters() const { return userAreaSize / sectorsPerCluster - 1; }
    // Sectors of the root-directory block: 4096 bytes, within the root cluster.
    uint32_t RootBlockSectors() const;
};

// `totalSectors` and `sectorsPerCluster` must be non-zero.
Fat32Layout ComputeFat32Layout(uint32_t totalSectors, uint32_t bytesPerSector, uint32_t sectorsPerCluster);

// `preferred` sectors per cluster, halved while the volume would have fewer
// clusters than FAT32 allows (a small volume at a size rule's cluster would be
// taken for FAT16); at least 1.
uint32_t Fat32FittingSectorsPerCluster(uint32_t totalSectors, uint32_t bytesPerSector, uint32_t preferred);

// Geometry fields of the boot sector.
struct BootSectorFields {
    uint16_t sectorsPerTrack = 0;
    uint16_t heads = 0;
    uint32_t hiddenSectors = 0;
    uint32_t volumeId = 0;
};

// Whether the label's first 11 characters may stand in a volume-label entry:
// no control characters and none of " * + , . / : ; < = > ? [ \ ] |.
bool IsValidFatLabel(const std::string& label);

// Each fill writes a zero-filled buffer of one sector (the root block: of
// RootBlockSectors() sectors).
void FillBootSector(uint8_t* sector, const Fat32Layout& layout, const BootSectorFields& fields);
void FillFsInfoSector(uint8_t* sector, uint32_t freeClusters);
void FillFirstFatSector(uint8_t* sector);
// The volume-label entry holds the label cut or padded with spaces to 11 bytes.
// A label whose first 11 characters are all blanks (or that is empty) is no
// label: the directory stays empty.
void FillRootDirectory(uint8_t* block, const std::string& label, const FatStamp& stamp);

}  // namespace disk
