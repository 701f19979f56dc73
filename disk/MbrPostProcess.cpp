// The MBR repair after partitioning.
#include "disk/MbrPostProcess.h"

#include <cerrno>
#include <cwchar>
#include <string>

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace disk {

namespace {
constexpr size_t kFirstEntry = 446;
constexpr uint8_t kActive = 0x80;
constexpr uint8_t kGptProtective = 0xEE;
constexpr uint32_t kLba63 = 63;
constexpr uint64_t kTwoTiB = uint64_t{1} << 41;
constexpr int kLockAttempts = 5;
constexpr int64_t kLockWaitMs = 200;

uint32_t Le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Put32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
}  // namespace

MbrChange PostProcessMbrSector(uint8_t* sector, uint32_t bytesPerSector, uint64_t diskSizeBytes)
{
    uint8_t* entry = sector + kFirstEntry;
    const uint8_t type = entry[4];
    if (sector[510] != 0x55 || sector[511] != 0xAA || type == 0 || type == kGptProtective || bytesPerSector == 0)
        return MbrChange::kNone;
    const uint32_t start = Le32(entry + 8);
    const uint32_t count = Le32(entry + 12);
    if (entry[0] == kActive && start == kLba63) {
        if (count == 0) return MbrChange::kNone;
        entry[8] = 0x40;
        Put32(entry + 12, (count - 1) / 64 * 64);
        return MbrChange::kMovedTo64;
    }
    const uint64_t diskSectors = diskSizeBytes / bytesPerSector;
    if (diskSizeBytes <= kTwoTiB || diskSectors <= start) return MbrChange::kNone;
    const uint64_t sized = (diskSectors - start) / 64 * 64;
    const uint32_t newCount = sized > kMaxMbrSectorCount64 ? kMaxMbrSectorCount64 : static_cast<uint32_t>(sized);
    if (newCount == count) return MbrChange::kNone;
    Put32(entry + 12, newCount);
    return MbrChange::kSizedToDisk;
}

bool vPostProcessMbr(ISectorDevice& disk, uint32_t bytesPerSector, uint64_t diskSizeBytes, int physicalDrive,
                     char driveLetter)
{
    const std::string address = "\\\\.\\PhysicalDrive" + std::to_string(physicalDrive);
    const wchar_t letter = static_cast<wchar_t>(driveLetter);
    const AlignedBuffer sector(bytesPerSector);
    if (!sector || !disk.ReadSectors(0, 1, sector.Data())) {
        DBG_ERR("%s:%d: m_ucPhysicalAddress= %C, Get MBR  Fail , dwErrorCode %d", letter, errno);
        return false;
    }
    if (PostProcessMbrSector(sector.Data(), bytesPerSector, diskSizeBytes) == MbrChange::kNone) return true;
    bool locked = false;
    for (int attempt = 0; attempt < kLockAttempts && !locked; ++attempt) {
        util::SleepMs(kLockWaitMs);
        locked = disk.Lock();
    }
    if (!locked)
        DBG_WRN("%s:%d: FSCTL_LOCK_VOLUME Fail , strPhysicalAddress %s , dwErrorCode:%d", address.c_str(), errno);
    bool result = true;
    if (!disk.WriteSectors(0, 1, sector.Data())) {
        DBG_ERR("%s:%d: m_ucPhysicalAddress= %C, Write MBR  Fail , dwErrorCode %d", letter, errno);
        result = false;
    }
    if (!disk.Dismount())
        DBG_WRN("%s:%d:  FSCTL_DISMOUNT_VOLUME Fail , strLogicalAddress= %s,  dwErrorCode %d", address.c_str(), errno);
    if (locked && !disk.Unlock())
        DBG_WRN("%s:%d:  FSCTL_UNLOCK_VOLUME Fail , strLogicalAddress =%s dwErrorCode %d", address.c_str(), errno);
    return result;
}

}  // namespace disk
