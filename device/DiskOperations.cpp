// Operations of CBrvtUSBDev on the disk behind a bridge: drive letters, raw
// sector transfers with throughput measurement, sizes, partition count and the
// identity of the attached drive.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "device/BRV683xNVME.h"
#include "device/BrvtUSBDev.h"
#include "device/DiskInfoArea.h"
#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"
#include "util/Clock.h"

namespace {
constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kAtaIdentifySize = 512;
constexpr int64_t kLetterRetryMs = 200;
constexpr int64_t kLetterWaitMs = 5000;
constexpr int kLockTries = 3;
constexpr int64_t kLockRetryMs = 500;
constexpr int kPasses = 2;
constexpr uint32_t kReadWrite = platform::GENERIC_READ | platform::GENERIC_WRITE;
constexpr uint32_t kShareReadWrite = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;
constexpr double kMiB = 1048576.0;


// Page-aligned, zeroed buffer for unbuffered transfers.
struct PageBuffer {
    explicit PageBuffer(size_t size)
        : data(static_cast<uint8_t*>(::operator new(std::max<size_t>(size, 1), std::align_val_t{4096})))
    {
        std::memset(data, 0, size);
    }
    ~PageBuffer() { ::operator delete(data, std::align_val_t{4096}); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    uint8_t* data;
};

bool IsDriveC(char letter) { return std::toupper(static_cast<unsigned char>(letter)) == 'C'; }
bool IsDriveLetter(char letter) { return std::isalpha(static_cast<unsigned char>(letter)) != 0; }

// Paths of a disk number or a drive letter ("%c" prints the letter as given).
std::string DrivePath(const char* format, int value)
{
    char path[40];
    std::snprintf(path, sizeof path, format, value);
    return path;
}

const char* MediaTypeName(uint32_t mediaType)
{
    switch (mediaType) {
    case platform::MEDIA_TYPE_REMOVABLE: return "RemovableMedia";
    case platform::MEDIA_TYPE_FIXED: return "FixedMedia";
    default: return "Unknown";
    }
}

void AddRate(std::atomic<double>& sum, double rate)
{
    sum.fetch_add(rate, std::memory_order_relaxed);
}
}  // namespace

// --- drive letters ------------------------------------------------------------------

char CBrvtUSBDev::vGetLogicalAddressFromPhysicalAddress(uint8_t physicalAddress, uint8_t wait)
{
    std::string strLogicalAddress;
    try {
        const int64_t start = util::NowMs();
        for (;;) {
            // Drive C is the system volume and never a bridge's.
            for (char letter = 'D'; letter <= 'Z'; ++letter) {
                strLogicalAddress = DrivePath("%c:\\", letter);
                std::string volumeName;
                if (!device::host::GetVolumeNameForVolumeMountPoint(Station(), strLogicalAddress, volumeName)) continue;
                if (!volumeName.empty() && volumeName.back() == '\\') volumeName.pop_back();
                ScopedHandle volume(Station(), device::host::CreateFile(Station(), volumeName, platform::GENERIC_READ,
                                                                        kShareReadWrite, platform::OPEN_EXISTING, 0));
                if (!volume.Valid()) continue;
                std::vector<platform::DiskExtent> extents;
                if (device::host::GetVolumeDiskExtents(Station(), volume.Get(), extents) && !extents.empty() &&
                    extents.front().DiskNumber == physicalAddress)
                    return letter;
            }
            if (!wait) break;
            const int64_t elapsed = util::NowMs() - start;
            if (elapsed >= kLetterWaitMs) {
                DBG_ERR("%s:%d: : Wait Disk Letter Time Out, ucPhysicalAddress : %d , strLogicalAddress : %s , "
                        "dwErrorCode %d",
                        physicalAddress, strLogicalAddress.c_str(), platform::GetLastError());
                break;
            }
            DBG_WRN("%s:%d: : Get Disk Letter Retry, time=%02f, ucPhysicalAddress : %d , strLogicalAddress : %s , "
                    "dwErrorCode %d",
                    static_cast<double>(elapsed) / 1000.0, physicalAddress, strLogicalAddress.c_str(),
                    platform::GetLastError());
            util::SleepMs(kLetterRetryMs);
        }
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) ucPhysicalAddress : %d , dwErrorCode %d", physicalAddress,
                platform::GetLastError());
    }
    return kNoDriveLetter;
}

// --- raw sector transfers -------------------------------------------------------------

uint8_t CBrvtUSBDev::vWriteSectors(char cDriveLetter, const uint8_t* ucpWriteBuffer, uint64_t dwlWriteLocationSector,
                                   uint32_t length, uint8_t timing)
{
    if (IsDriveC(cDriveLetter)) {
        DBG_ERR("%s:%d:  cDriveLetter : %c , It will damage System", cDriveLetter);
        return 0;
    }
    try {
        if (!IsDriveLetter(cDriveLetter) || !ucpWriteBuffer || length == 0 ||
            dwlWriteLocationSector > std::numeric_limits<uint64_t>::max() / kSectorSize) {
            DBG_ERR("%s:%d: invalid argument cDriveLetter : %d , length : %u , dwlWriteLocationSector : %lld",
                    cDriveLetter, length, static_cast<long long>(dwlWriteLocationSector));
            return 0;
        }
        // Whole sectors; the tail of the last one is zeros. Data beyond 32 MiB is
        // written in further pieces of at most 32 MiB, never dropped.
        const uint64_t rounded = (uint64_t{length} + kSectorSize - 1) / kSectorSize * kSectorSize;
        const uint64_t start = dwlWriteLocationSector * kSectorSize;
        ScopedHandle volume(Station(),
                            device::host::CreateFile(Station(), DrivePath("\\\\.\\%c:", cDriveLetter), kReadWrite,
                                                     kShareReadWrite, platform::OPEN_EXISTING, 0));
        if (!volume.Valid()) {
            DBG_ERR("%s:%d:  ucpWriteBuffer : %x , dwlWriteLocationSector : %lld, dwErrorCode %d",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(ucpWriteBuffer)),
                    static_cast<long long>(dwlWriteLocationSector), platform::GetLastError());
            return 0;
        }
        if (!Station().LockVolume(volume.Get()))
            DBG_WRN("%s:%d: FSCTL_LOCK_VOLUME Fail , cDriveLetter %c , dwErrorCode:%d", cDriveLetter,
                    platform::GetLastError());
        if (!Station().DismountVolume(volume.Get()))
            DBG_WRN("%s:%d: FSCTL_DISMOUNT_VOLUME Fail , cDriveLetter %c , dwErrorCode:%d", cDriveLetter,
                    platform::GetLastError());

        bool ok = true;
        for (int pass = 0; pass < kPasses && ok; ++pass) {
            const bool timed = timing && pass == kPasses - 1;
            int64_t writeUs = 0;
            for (uint64_t done = 0; done < rounded && ok;) {
                const auto piece = static_cast<uint32_t>(std::min<uint64_t>(rounded - done, kMaxSectorTransfer));
                PageBuffer buffer(piece);
                if (done < length)
                    std::memcpy(buffer.data, ucpWriteBuffer + done, std::min<uint64_t>(piece, length - done));
                const int64_t begin = util::NowUs();
                uint32_t dwRpt = 0;
                const bool written = Station().WriteAt(volume.Get(), start + done, buffer.data, piece, &dwRpt);
                writeUs += util::NowUs() - begin;
                if (!written || dwRpt != piece) {
                    DBG_ERR("%s:%d: WriteFile Error : %d , uiWriteLogicalSector[%d] , dwRpt[%d] , dwErrorCode [%d]",
                            written, static_cast<int>((start + done) / kSectorSize), static_cast<int>(dwRpt),
                            platform::GetLastError());
                    ok = false;
                }
                done += piece;
            }
            // A transfer too quick for the clock to see adds nothing rather than infinity.
            if (timed && ok && writeUs > 0) {
                AddRate(m_fsdif_W, static_cast<double>(rounded) / (static_cast<double>(writeUs) / 1e6 * kMiB));
                DBG_MSG("%s:%d: COUNTING!ucpWriteBuffer : %x , dwlWriteLocationSector : %lld, m_fsdif_W: %f ",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(ucpWriteBuffer)),
                        static_cast<long long>(dwlWriteLocationSector), m_fsdif_W.load());
            }
        }
        Station().UnlockVolume(volume.Get());
        device::host::UpdateDiskProperties(Station(), volume.Get());
        return ok ? 1 : 0;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) cDriveLetter : %c , dwErrorCode %d", cDriveLetter, platform::GetLastError());
        return 0;
    }
}

uint8_t CBrvtUSBDev::vReadSectors(char cDriveLetter, uint8_t* ucpReadBuffer, uint64_t dwlReadLocationSector,
                                  uint32_t length, uint8_t timing)
{
    // Reading needs the volume locked, which the system volume must never be.
    if (IsDriveC(cDriveLetter)) {
        DBG_ERR("%s:%d:  cDriveLetter : %c , It will damage System", cDriveLetter);
        return 0;
    }
    try {
        if (!IsDriveLetter(cDriveLetter) || !ucpReadBuffer || length == 0 ||
            dwlReadLocationSector > std::numeric_limits<uint64_t>::max() / kSectorSize) {
            DBG_ERR("%s:%d: invalid argument cDriveLetter : %d , length : %u , dwlReadLocationSector : %lld",
                    cDriveLetter, length, static_cast<long long>(dwlReadLocationSector));
            return 0;
        }
        const std::string strReadLogicalAddress = DrivePath("\\\\.\\%c:", cDriveLetter);
        const uint64_t rounded = (uint64_t{length} + kSectorSize - 1) / kSectorSize * kSectorSize;
        const uint64_t start = dwlReadLocationSector * kSectorSize;
        ScopedHandle volume(Station(), device::host::CreateFile(Station(), strReadLogicalAddress, kReadWrite,
                                                                kShareReadWrite, platform::OPEN_EXISTING, 0));
        if (!volume.Valid()) {
            DBG_ERR("%s:%d: CreateFile Fail , strReadLogicalAddress %s , dwErrorCode:%d",
                    strReadLogicalAddress.c_str(), platform::GetLastError());
            return 0;
        }
        // Unbuffered reads move whole sectors, so they go through a sector-sized
        // buffer and only `length` bytes reach the caller's.
        PageBuffer buffer(static_cast<size_t>(std::min<uint64_t>(rounded, kMaxSectorTransfer)));
        bool ok = true;
        for (int pass = 0; pass < kPasses && ok; ++pass) {
            bool locked = false;
            for (int attempt = 0; attempt < kLockTries && !locked; ++attempt) {
                if (attempt > 0) util::SleepMs(kLockRetryMs);
                locked = Station().LockVolume(volume.Get());
            }
            if (!locked)
                DBG_ERR("%s:%d: FSCTL_LOCK_VOLUME Fail , strReadLogicalAddress %s , dwErrorCode:%d",
                        strReadLogicalAddress.c_str(), platform::GetLastError());
            const bool timed = timing && pass == kPasses - 1;
            int64_t readUs = 0;
            for (uint64_t done = 0; done < rounded && ok;) {
                const auto piece = static_cast<uint32_t>(std::min<uint64_t>(rounded - done, kMaxSectorTransfer));
                const int64_t begin = util::NowUs();
                uint32_t dwRpt = 0;
                const bool read = Station().ReadAt(volume.Get(), start + done, buffer.data, piece, &dwRpt);
                readUs += util::NowUs() - begin;
                if (!read || dwRpt != piece) {
                    DBG_ERR("%s:%d: ReadFile  Error, uiReadLogicalSector[%d] , dwRpt[%d] , dwErrorCode [%d]",
                            static_cast<int>((start + done) / kSectorSize), static_cast<int>(dwRpt),
                            platform::GetLastError());
                    ok = false;
                    break;
                }
                std::memcpy(ucpReadBuffer + done, buffer.data, std::min<uint64_t>(piece, length - done));
                done += piece;
            }
            if (locked) Station().UnlockVolume(volume.Get());
            if (timed && ok && readUs > 0) {
                AddRate(m_fsdif_R, static_cast<double>(rounded) / (static_cast<double>(readUs) / 1e6 * kMiB));
                DBG_MSG("%s:%d: vReadSectors: COUNTING!ucpReadBuffer : %x , dwlReadLocationSector : %lld , "
                        "m_fsdif_R: %f",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(ucpReadBuffer)),
                        static_cast<long long>(dwlReadLocationSector), m_fsdif_R.load());
            }
        }
        return ok ? 1 : 0;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) cDriveLetter : %c , dwErrorCode %d", cDriveLetter, platform::GetLastError());
        return 0;
    }
}

// --- sizes and layout -----------------------------------------------------------------

int64_t CBrvtUSBDev::vGetDiskPhysicalSize(uint8_t physicalAddress)
{
    try {
        ScopedHandle disk(
            Station(), device::host::CreateFile(Station(), DrivePath("\\\\.\\PhysicalDrive%d", physicalAddress),
                                                platform::GENERIC_READ, kShareReadWrite, platform::OPEN_EXISTING, 0));
        if (!disk.Valid()) {
            DBG_ERR("%s:%d: vGetDiskPhysicalSize: CreateFile Fail , ucPhysicalAddress : %d , dwErrorCode %d",
                    physicalAddress, platform::GetLastError());
            return -1;
        }
        platform::DiskGeometryEx geometry;
        if (!device::host::GetDriveGeometryEx(Station(), disk.Get(), geometry)) {
            DBG_ERR("%s:%d: vGetDiskPhysicalSize: IOCTL_DISK_GET_DRIVE_GEOMETRY_EX Fail , ucPhysicalAddress : %d , "
                    "dwErrorCode %d",
                    physicalAddress, platform::GetLastError());
            return -1;
        }
        return geometry.DiskSize / 1048576;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) ucPhysicalAddress : %d , dwErrorCode %d", physicalAddress,
                platform::GetLastError());
        return -1;
    }
}

int64_t CBrvtUSBDev::vGetDiskFreeSpace(char cDriveLetter)
{
    const std::string strLogicalAddress = DrivePath("%c:\\", cDriveLetter);
    try {
        platform::DiskFreeSpace space;
        if (!device::host::GetDiskFreeSpace(Station(), strLogicalAddress, space)) {
            // An unrecognised volume has no free space to tell either: -1, like
            // any other failure, so callers skip their space checks.
            DBG_ERR("%s:%d: vGetDiskFreeSpace: GetDiskFreeSpace Fail , strLogicalAddress : %s , dwErrorCode %d",
                    strLogicalAddress.c_str(), platform::GetLastError());
            return -1;
        }
        return int64_t{space.NumberOfFreeClusters / 1024} * space.BytesPerSector * space.SectorsPerCluster / 1024;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) strLogicalAddress : %s , dwErrorCode %d", strLogicalAddress.c_str(),
                platform::GetLastError());
        return -1;
    }
}

int32_t CBrvtUSBDev::vGetPartitionCount(uint8_t physicalAddress)
{
    try {
        ScopedHandle disk(Station(), device::host::CreateFile(
                                         Station(), DrivePath("\\\\.\\PhysicalDrive%d", physicalAddress), 0,
                                         kShareReadWrite, platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING));
        if (!disk.Valid()) {
            DBG_ERR("%s:%d: vGetPartitionCount: CreateFile Fail , ucPhysicalAddress : %d , dwErrorCode %d",
                    physicalAddress, platform::GetLastError());
            return kNoPartitionCount;
        }
        platform::DriveLayout layout;
        const bool read = device::host::GetDriveLayoutEx(Station(), disk.Get(), layout);
        const auto bytes = static_cast<int>(platform::kDriveLayoutHeaderSize +
                                            platform::kPartitionEntrySize * layout.Entries.size());
        DBG_MSG("%s:%d: vGetPartitionCount33: Send IOCTL_DISK_GET_DRIVE_LAYOUT_EX, dwbytes%d, dwErrorCode:%d",
                read ? bytes : 0, read ? 0 : static_cast<int>(platform::GetLastError()));
        if (!read) return kNoPartitionCount;
        DBG_MSG("%s:%d: vGetPartitionCount44: pDli->PartitionCount:%d", static_cast<int>(layout.Entries.size()));
        int32_t number = kNoPartitionCount;
        for (const auto& entry : layout.Entries)
            if (entry.PartitionNumber != 0) number = static_cast<int32_t>(entry.PartitionNumber);
        return number;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) ucPhysicalAddress : %d , dwErrorCode %d", physicalAddress,
                platform::GetLastError());
        return kNoPartitionCount;
    }
}

// --- drive identity ---------------------------------------------------------------------

namespace {
// ATA PASS-THROUGH(12): PIO data-in, one sector, IDENTIFY DEVICE.
constexpr uint8_t kAtaIdentifyCdb[12] = {0xA1, 0x08, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA0, 0xEC, 0x00, 0x00};
constexpr size_t kAtaSerialWord = 10, kAtaSerialChars = 20;
constexpr size_t kAtaFirmwareWord = 23, kAtaFirmwareChars = 8;
}  // namespace

CommandResult CBrvtUSBDev::ATAPassThrough_GetHDSerialNumber(HANDLE hDev, std::string& serial)
{
    serial.clear();
    if (!IsValidHandle(hDev)) {
        DBG_ERR("%s:%d:  (hDev == NULL)");
        return kCommandInvalidArgument;
    }
    uint8_t data[kAtaIdentifySize] = {};
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {kAtaIdentifyCdb, 12, platform::SCSI_IOCTL_DATA_IN, data, kAtaIdentifySize, kTimeOutAta});
    if (!outcome.Success()) {
        DBG_ERR("%s:%d: ATAPassThrough_GetHDSerialNumber: (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , "
                "dwErrorCode:%x",
                HandleText(hDev), outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
        return kCommandFailed;
    }
    serial = IdentifyText(data + 2 * kAtaSerialWord, kAtaSerialChars, true);
    return kCommandSuccess;
}

CommandResult CBrvtUSBDev::ATAPassThrough_GetHDDFW(HANDLE hDev, std::string& firmware)
{
    firmware.clear();
    if (!IsValidHandle(hDev)) {
        DBG_ERR("%s:%d: ATAPassThrough_GetHDDFW: (hDev == NULL)");
        return kCommandInvalidArgument;
    }
    uint8_t data[kAtaIdentifySize] = {};
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {kAtaIdentifyCdb, 12, platform::SCSI_IOCTL_DATA_IN, data, kAtaIdentifySize, kTimeOutAta});
    if (!outcome.Success()) {
        DBG_ERR("%s:%d: ATAPassThrough_GetHDDFW: (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , "
                "dwErrorCode:%x",
                HandleText(hDev), outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
        return kCommandFailed;
    }
    firmware = IdentifyText(data + 2 * kAtaFirmwareWord, kAtaFirmwareChars, true);
    if (firmware.empty()) DBG_WRN("%s:%d: (strFW.GetLength()[%s] <= 0", firmware.c_str());
    return kCommandSuccess;
}

CommandResult CBrvtUSBDev::ATAPassThrough_GetSSDSerialNumber(uint8_t physicalAddress, std::string& serial)
{
    serial.clear();
    ScopedHandle disk(Station(), device::host::CreateFile(
                                     Station(), DrivePath("\\\\.\\PHYSICALDRIVE%d", physicalAddress), kReadWrite,
                                     kShareReadWrite, platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING));
    std::vector<uint8_t> data(kNvmeIdentifySize);
    CBRV683xNVME nvme(m_Transport);
    const CommandResult result = disk.Valid() ? nvme.NVME_GetIdentify(disk.Get(), data.data(), kCnsIdentifyController)
                                              : kCommandDiskNotOpened;
    if (result != kCommandSuccess) {
        DBG_ERR("%s:%d: ATAPassThrough_GetSSDSerialNumber: (status = FAIL) fHandle:%x , status:%x , ScsiStatus:%x , "
                "dwErrorCode:%x",
                HandleText(disk.Get()), static_cast<unsigned>(result), 0u, platform::GetLastError());
        return result;
    }
    serial = IdentifyText(data.data() + 4, 20, false);
    return kCommandSuccess;
}

std::vector<std::pair<std::string, std::string>> CBrvtUSBDev::DiskIdentities() const
{
    std::lock_guard lock(m_DiskIdentityLock);
    return m_DiskIdentities;
}

// --- disk information of a record -------------------------------------------------------

CommandResult CBrvtUSBDev::nObtainDiSKInfo(const std::string& strPhysicalAddress, DeviceInfo& info)
{
    if (strPhysicalAddress.empty()) {
        DBG_ERR("%s:%d: strPhysicalAddress is Empty");
        return kCommandInvalidArgument;
    }
    try {
        ScopedHandle disk(Station(), device::host::CreateFile(Station(), strPhysicalAddress, kReadWrite,
                                                              kShareReadWrite, platform::OPEN_EXISTING, 0));
        if (!disk.Valid()) {
            DBG_ERR("%s:%d: CreateFile strPhysicalAddress[%s] is failed, error code=0x%x", strPhysicalAddress.c_str(),
                    platform::GetLastError());
            return kCommandDiskNotOpened;
        }

        if (info.m_ucDevType == 255) {
            DBG_WRN("%s:%d: pDevInfo->m_ucDevType==UCHAR_MAX");
        } else {
            std::string serial, firmware;
            if (info.m_ucDevType < 6) {  // SATA bridges: ATA identify
                CommandResult result = ATAPassThrough_GetHDSerialNumber(disk.Get(), serial);
                if (result != kCommandSuccess) {
                    DBG_ERR("%s:%d: ATAPassThrough_GetHDSerialNumber strPhysicalAddress[%s] Error[0x%x], Get HDD SN "
                            "is failed....Exit",
                            strPhysicalAddress.c_str(), static_cast<unsigned>(result));
                    return kCommandNothingObtained;
                }
                result = ATAPassThrough_GetHDDFW(disk.Get(), firmware);
                if (result != kCommandSuccess) {
                    DBG_ERR("%s:%d: ATAPassThrough_GetHDDFW ,strPhysicalAddress[%s] Error[0x%x], Get HDD FW is "
                            "failed....Exit",
                            strPhysicalAddress.c_str(), static_cast<unsigned>(result));
                    return kCommandNothingObtained;
                }
            } else {  // NVMe bridges, the 795x included: NVMe identify
                CBRV683xNVME nvme(m_Transport);
                nvme.NVME_GetSerialNumber(info.m_ucPhysicalAddress, serial);
                if (serial.empty()) {
                    DBG_ERR("%s:%d: NVME_GetSerialNumber strPhysicalAddress[%s], Get SSD SN is failed....Exit",
                            strPhysicalAddress.c_str());
                    return kCommandNothingObtained;
                }
                nvme.NVME_GetFWRevision(info.m_ucPhysicalAddress, firmware);
                if (firmware.empty()) DBG_WRN("%s:%d: (strFW.GetLength()[%s] <= 0", firmware.c_str());
            }
            info.m_strDiskSerialNumber = serial;
            info.m_strDiskFWVersion = firmware;
            std::lock_guard lock(m_DiskIdentityLock);
            m_DiskIdentities.emplace_back(serial, firmware);
        }

        platform::DiskGeometryEx geometry;
        if (!device::host::GetDriveGeometryEx(Station(), disk.Get(), geometry)) {
            DBG_ERR("%s:%d: strPhysicalAddress[%s] IOCTL_DISK_GET_DRIVE_GEOMETRY_EX Fail , Error:%d",
                    strPhysicalAddress.c_str(), platform::GetLastError());
            return kCommandFailed;
        }
        if (geometry.DiskSize == 0 || geometry.Cylinders == 0)
            DBG_WRN("%s:%d: strPhysicalAddress:[%s] Capacity[%x] Not Valid ", strPhysicalAddress.c_str(),
                    static_cast<unsigned>(geometry.DiskSize));
        if (info.m_bCDROM) {
            info.m_cDriveLetter = kNoDriveLetter;
            info.m_DiskInfo.fill(0);
            info.m_iDiskSizeLow = -1;
            info.m_iDiskSizeHigh = -1;
        } else {
            info.m_cDriveLetter = vGetLogicalAddressFromPhysicalAddress(info.m_ucPhysicalAddress, 0);
            DiskInfoArea area{};
            std::snprintf(area.MediaType, sizeof area.MediaType, "%s", MediaTypeName(geometry.MediaType));
            area.Cylinders = geometry.Cylinders;
            area.TracksPerCylinder = geometry.TracksPerCylinder;
            area.SectorsPerTrack = geometry.SectorsPerTrack;
            area.BytesPerSector = geometry.BytesPerSector;
            area.DiskSize = geometry.DiskSize;
            SetDiskInfoArea(info, area);
            const auto size = static_cast<uint64_t>(geometry.DiskSize);
            info.m_iDiskSizeLow = static_cast<int32_t>(static_cast<uint32_t>(size));
            info.m_iDiskSizeHigh = static_cast<int32_t>(static_cast<uint32_t>(size >> 32));
        }
        return kCommandSuccess;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...) strPhysicalAddress[%s] , dwErrorCode %d", strPhysicalAddress.c_str(),
                platform::GetLastError());
        return kCommandFailed;
    }
}
