#pragma once
// Command lines of the system's file-system tools: a quick NTFS or exFAT format
// of one partition (a partition block device, or an image file holding exactly
// the partition's bytes), and the label of a volume.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct FormatTarget {
    std::string path;             // partition block device or image file
    bool regularFile = false;     // an image file: mkfs.ntfs must be told to go on
    uint64_t hiddenSectors = 0;   // sectors before the partition on its disk
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerTrack = 63;
    uint32_t heads = 255;
};

// "NTFS" or "EXFAT" (any case): mkfs.ntfs --quick or mkfs.exfat, giving the new
// volume `label` when it is not empty; nullopt for any other file system.
std::optional<std::vector<std::string>> QuickFormatCommand(const std::string& fileSystem, const FormatTarget& target,
                                                           const std::string& label = {});

// Sets `label` on the volume at `path` holding `fileSystem` ("NTFS", "exFAT",
// "FAT32", any case); nullopt for any other file system, and for a label that
// begins with "-", which ntfslabel and exfatlabel would read as options.
std::optional<std::vector<std::string>> LabelCommand(const std::string& fileSystem, const std::string& path,
                                                     const std::string& label);

}  // namespace platform
