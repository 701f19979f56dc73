#pragma once
// What the emulated station's file-system drivers find on an NTFS or exFAT
// volume: its file-system name, label, serial number, cluster geometry and free
// clusters, read from the boot sector and the file system's own records (the
// $Volume and $Bitmap records of NTFS; the label and allocation-bitmap entries
// of the exFAT root directory).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Station.h"

namespace platform {


// The layout a FAT32 boot sector gives its volume, in bytes from the disk's start.
struct Fat32Geometry {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t fatSectors = 0;
    uint32_t totalSectors = 0;
    uint64_t volumeOffset = 0;
    uint64_t SystemAreaSectors() const { return reservedSectors + uint64_t{fatCount} * fatSectors; }
    uint64_t ClusterBytes() const { return uint64_t{sectorsPerCluster} * bytesPerSector; }
    // Byte offset of cluster `cluster` (2 is the first) on the disk.
    uint64_t ClusterOffset(uint64_t cluster) const
    {
        return volumeOffset + SystemAreaSectors() * bytesPerSector + (cluster - 2) * ClusterBytes();
    }
};

// The FAT32 boot sector `boot` of a volume at `offset` of `length` bytes;
// nullopt when it is none or its fields do not hold together.
std::optional<Fat32Geometry> Fat32GeometryOf(const uint8_t (&boot)[512], uint64_t offset, uint64_t length);

// Reads `size` bytes at `offset` of the volume; false when they cannot be read.
using VolumeReader = std::function<bool(uint64_t offset, uint8_t* out, size_t size)>;

// The NTFS or exFAT volume of `length` bytes read through `read`; nullopt when it
// holds neither or its records do not hold together.
std::optional<ProbedVolume> ProbeNtfsOrExfat(const VolumeReader& read, uint64_t length);

}  // namespace platform
