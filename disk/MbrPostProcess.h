#pragma once
// Repairs of the MBR the partitioning tool wrote: a first partition that is
// active and starts at LBA 63 is moved to LBA 64 with a size in whole 64-sector
// units; on a disk above 2 TiB the first partition runs to the disk's last
// 64-sector boundary, as far as the 32-bit sector count reaches.
#include <cstdint>

#include "disk/SectorDevice.h"

namespace disk {

enum class MbrChange {
    kNone,          // left as it was
    kMovedTo64,     // start 63 became 64
    kSizedToDisk,   // sector count set for a disk above 2 TiB
};

// The largest sector count the 32-bit field holds in whole 64-sector units; a
// disk whose remaining sectors do not fit gets this count, never a wrapped one.
constexpr uint32_t kMaxMbrSectorCount64 = 0xFFFFFFC0;

// Applies the repair to the image of sector 0 (at least 512 bytes). The sector
// must carry the boot signature and a used first entry; anything else is left.
MbrChange PostProcessMbrSector(uint8_t* sector, uint32_t bytesPerSector, uint64_t diskSizeBytes);

// Reads sector 0 of `disk` (the whole disk as a sector device), repairs it and
// writes it back when it changed. A failed read never leads to a write. The lock
// is tried up to 5 times, 200 ms apart; lock, dismount and unlock failures are
// only traced. False when the read or the write failed.
bool vPostProcessMbr(ISectorDevice& disk, uint32_t bytesPerSector, uint64_t diskSizeBytes, int physicalDrive,
                     char driveLetter);

}  // namespace disk
