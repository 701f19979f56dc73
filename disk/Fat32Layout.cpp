// FAT32 sizes and sector images.
#include "disk/Fat32Layout.h"

#include <algorithm>
#include <cstring>

namespace disk {

namespace {
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kFatEntryBytes = 4;
constexpr uint64_t kFat32ReservedEntries = 2;  // FAT entries 0 and 1 hold no cluster
constexpr size_t kLabelLength = 11;
constexpr uint8_t kVolumeLabelAttribute = 0x08;

void Put16(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* p, uint32_t value)
{
    Put16(p, value);
    Put16(p + 2, value >> 16);
}
}  // namespace

uint32_t Fat32VolumeId(const FatStamp& stamp)
{
    const uint32_t low = static_cast<uint32_t>(stamp.day + stamp.month * 256 + stamp.millisecond / 10 +
                                               stamp.second * 256) % 65536;
    const uint32_t high = static_cast<uint32_t>(stamp.minute + stamp.hour * 256 + stamp.year) % 65536;
    return high << 16 | low;
}

uint16_t FatTime(const FatStamp& stamp)
{
    return static_cast<uint16_t>(stamp.hour * 2048 + stamp.minute * 32 + stamp.second / 2);
}

uint16_t FatDate(const FatStamp& stamp)
{
    return static_cast<uint16_t>((stamp.year - 1980) * 512 + stamp.month * 32 + stamp.day);
}

uint8_t Fat32DefaultSectorsPerCluster(uint64_t partitionLength, uint32_t bytesPerSector)
{
    const uint64_t mib = partitionLength / kMiB;
    if (mib <= 512) return 1;
    uint32_t clusterKiB = 32;
    if (mib <= 8192) clusterKiB = 4;
    else if (mib <= 16384) clusterKiB = 8;
    else if (mib <= 32768) clusterKiB = 16;
    return static_cast<uint8_t>(std::max<uint32_t>(1, clusterKiB * 1024 / bytesPerSector));
}

int Fat32ClusterSizeForDisk(int64_t diskMiB)
{
    if (diskMiB <= 0) return 128;
    if (diskMiB <= 140288) return 16;
    if (diskMiB <= 280576) return 32;
    if (diskMiB <= 562176) return 64;
    return 128;
}

uint32_t Fat32Layout::RootBlockSectors() const
{
    const uint32_t blockSectors = std::max<uint32_t>(1, kFat32RootBlockBytes / bytesPerSector);
    return std::min(blockSectors, sectorsPerCluster);
}

Fat32Layout ComputeFat32Layout(uint32_t totalSectors, uint32_t bytesPerSector, uint32_t sectorsPerCluster)
{
    Fat32Layout layout;
    layout.bytesPerSector = bytesPerSector;
    layout.sectorsPerCluster = sectorsPerCluster;
    layout.totalSectors = totalSectors;
    uint64_t fatSize = (uint64_t{totalSectors} - kFat32ReservedSectors) * kFatEntryBytes /
                           (uint64_t{sectorsPerCluster} * bytesPerSector + kFatEntryBytes * kFat32NumFats) +
                       1;
    // The estimate above can fall one or two entries short of the two reserved
    // entries plus one per cluster, which leaves the last clusters without an
    // entry; a FAT sector more always covers them (the cluster count only shrinks).
    const auto clustersFor = [&](uint64_t fat) {
        return (totalSectors - kFat32NumFats * fat - kFat32ReservedSectors) / sectorsPerCluster;
    };
    if ((clustersFor(fatSize) + kFat32ReservedEntries) * kFatEntryBytes > fatSize * bytesPerSector) ++fatSize;
    layout.fatSize = static_cast<uint32_t>(fatSize);
    layout.userAreaSize = static_cast<uint32_t>(totalSectors - kFat32NumFats * fatSize - kFat32ReservedSectors);
    layout.clusterCount = layout.userAreaSize / sectorsPerCluster;
    layout.fatNeeded = ((layout.clusterCount + kFat32ReservedEntries) * kFatEntryBytes + bytesPerSector - 1) /
                       bytesPerSector;
    layout.systemAreaSize = kFat32ReservedSectors + kFat32NumFats * layout.fatSize + sectorsPerCluster;
    return layout;
}

uint32_t Fat32FittingSectorsPerCluster(uint32_t totalSectors, uint32_t bytesPerSector, uint32_t preferred)
{
    uint32_t sectors = std::max<uint32_t>(preferred, 1);
    while (sectors > 1 && ComputeFat32Layout(totalSectors, bytesPerSector, sectors).clusterCount < kFat32MinClusters)
        sectors /= 2;
    return sectors;
}

void FillBootSector(uint8_t* sector, const Fat32Layout& layout, const BootSectorFields& fields)
{
    const uint8_t jump[3] = {0xEB, 0x5A, 0x90};
    std::memcpy(sector, jump, sizeof(jump));
    std::memcpy(sector + 3, "MSWIN4.1", 8);
    Put16(sector + 11, layout.bytesPerSector);
    sector[13] = static_cast<uint8_t>(layout.sectorsPerCluster);
    Put16(sector + 14, kFat32ReservedSectors);
    sector[16] = kFat32NumFats;
    Put16(sector + 17, 0);  // root entries
    Put16(sector + 19, 0);  // 16-bit total sectors
    sector[21] = 0xF8;      // media: fixed disk
    Put16(sector + 22, 0);  // 16-bit FAT size
    Put16(sector + 24, fields.sectorsPerTrack);
    Put16(sector + 26, fields.heads);
    Put32(sector + 28, fields.hiddenSectors);
    Put32(sector + 32, layout.totalSectors);
    Put32(sector + 36, layout.fatSize);
    Put16(sector + 40, 0);  // extended flags: FATs mirrored
    Put16(sector + 42, 0);  // version 0.0
    Put32(sector + 44, kFat32RootCluster);
    Put16(sector + 48, kFat32FsInfoSector);
    Put16(sector + 50, kFat32BackupBootSector);
    sector[64] = 0x80;  // drive number
    sector[66] = 0x29;  // extended boot signature
    Put32(sector + 67, fields.volumeId);
    std::memcpy(sector + 71, "NO NAME    ", kLabelLength);
    std::memcpy(sector + 82, "FAT32   ", 8);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    sector[layout.bytesPerSector - 2] = 0x55;
    sector[layout.bytesPerSector - 1] = 0xAA;
}

void FillFsInfoSector(uint8_t* sector, uint32_t freeClusters)
{
    Put32(sector, 0x41615252);
    Put32(sector + 484, 0x61417272);
    Put32(sector + 488, freeClusters);
    Put32(sector + 492, 3);  // next free cluster: the one after the root directory
    Put32(sector + 508, 0xAA550000);
}

void FillFirstFatSector(uint8_t* sector)
{
    Put32(sector, 0x0FFFFFF8);
    Put32(sector + 4, 0x0FFFFFFF);
    Put32(sector + 8, 0x0FFFFFFF);  // root directory: one cluster, end of chain
}

bool IsValidFatLabel(const std::string& label)
{
    for (const char c : label.substr(0, kLabelLength)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr) return false;
    }
    return true;
}

void FillRootDirectory(uint8_t* block, const std::string& label, const FatStamp& stamp)
{
    std::string text = label.substr(0, kLabelLength);
    if (text.find_first_not_of(' ') == std::string::npos) return;
    text.resize(kLabelLength, ' ');
    std::memcpy(block, text.data(), kLabelLength);
    block[11] = kVolumeLabelAttribute;
    Put16(block + 22, FatTime(stamp));
    Put16(block + 24, FatDate(stamp));
}

}  // namespace disk
