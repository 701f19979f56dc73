#pragma once
// Layout of a record's 544-byte disk information area (DeviceInfo::m_DiskInfo):
// the name of the disk's media type, then the drive geometry.
#include <cstdint>
#include <cstring>

#include "device/DeviceList.h"

#pragma pack(push, 1)
struct DiskInfoArea {
    char MediaType[512];  // NUL-terminated media-type name ("FixedMedia")
    int64_t Cylinders;
    uint32_t TracksPerCylinder;
    uint32_t SectorsPerTrack;
    uint32_t BytesPerSector;
    uint32_t Reserved;
    int64_t DiskSize;
};
#pragma pack(pop)
static_assert(sizeof(DiskInfoArea) == sizeof(DeviceInfo::m_DiskInfo));

inline DiskInfoArea GetDiskInfoArea(const DeviceInfo& record)
{
    DiskInfoArea area;
    std::memcpy(&area, record.m_DiskInfo.data(), sizeof area);
    return area;
}

inline void SetDiskInfoArea(DeviceInfo& record, const DiskInfoArea& area)
{
    std::memcpy(record.m_DiskInfo.data(), &area, sizeof area);
}

// Disk size in bytes from the record's two 32-bit halves (-1 for a CD-ROM record).
inline int64_t RecordDiskSize(const DeviceInfo& record)
{
    return static_cast<int64_t>((uint64_t{static_cast<uint32_t>(record.m_iDiskSizeHigh)} << 32) |
                                static_cast<uint32_t>(record.m_iDiskSizeLow));
}
