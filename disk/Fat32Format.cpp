// The FAT32 format procedure over a sector device, with its trace.
#include "disk/Fat32Format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cwchar>

#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/Text.h"

namespace disk {

namespace {
constexpr uint64_t kMinFat32Sectors = 65536;
constexpr uint64_t kMaxFat32Sectors = 0xFFFFFFFE;
constexpr uint32_t kZeroBurstSectors = 128;
constexpr uint8_t kPartitionTypeFat32Lba = 0x0C;
}  // namespace

FatStamp FatStampNow()
{
    const std::tm local = util::LocalTimeNow();
    FatStamp stamp;
    stamp.year = local.tm_year + 1900;
    stamp.month = local.tm_mon + 1;
    stamp.day = local.tm_mday;
    stamp.hour = local.tm_hour;
    stamp.minute = local.tm_min;
    stamp.second = local.tm_sec;
    stamp.millisecond = static_cast<int>(util::NowMs() % 1000);
    return stamp;
}

CFat32Format::CFat32Format() { Reset(); }

CFat32Format::CFat32Format(platform::IStation& station) : m_pStation(&station) { Reset(); }

CFat32Format::~CFat32Format() { Reset(); }

void CFat32Format::Reset()
{
    m_Geometry = VolumeGeometry{};
    m_dwBytesPerSector = 0;
    m_dwVolumeId = 0;
    m_dwTotalSectors = 0;
    m_Layout = Fat32Layout{};
    ReleaseBuffers();
}

bool CFat32Format::Failed(const std::string& cause)
{
    if (m_strFailure.empty()) m_strFailure = cause;
    return false;
}

void CFat32Format::ReleaseBuffers()
{
    m_BootSector = AlignedBuffer{};
    m_FsInfoSector = AlignedBuffer{};
    m_FirstFatSector = AlignedBuffer{};
}

std::string CFat32Format::LogicalAddress() const { return std::string("\\\\.\\") + m_cDriveLetter + ":"; }

bool CFat32Format::bSetFormatParam(char cDriveLetter, int iClusterSize, uint8_t bGptPartition)
{
    // Above 128 sectors is refused; so is a size that is no power of two, which
    // no FAT reader accepts.
    const bool powerOfTwo = (iClusterSize & (iClusterSize - 1)) == 0;
    if (iClusterSize > static_cast<int>(kFat32MaxSectorsPerCluster) || iClusterSize < 0 || !powerOfTwo) {
        DBG_ERR("%s:%d: bSetFormatParam: cDriveLetter %C , iClusterSize %d", static_cast<wchar_t>(cDriveLetter),
                iClusterSize);
        m_cDriveLetter = kNoDriveLetter;
        m_iClusterSize = kRefusedClusterSize;
        m_bGptPartition = 0;
        return false;
    }
    m_cDriveLetter = cDriveLetter;
    m_iClusterSize = iClusterSize;
    m_bGptPartition = bGptPartition;
    return true;
}

uint8_t CFat32Format::bGetSectorsPerCluster(uint64_t partitionLength, uint32_t bytesPerSector) const
{
    return Fat32DefaultSectorsPerCluster(partitionLength, bytesPerSector);
}

bool CFat32Format::bPreCheckFat32FormatParam(ISectorDevice& volume)
{
    const std::string address = LogicalAddress();
    if (!volume.GetGeometry(m_Geometry) || m_Geometry.bytesPerSector == 0) {
        DBG_ERR("%s:%d: bPreCheckFat32FormatParam:[%s] IOCTL_DISK_GET_DRIVE_GEOMETRY Fail , strLogicalAddress %s , "
                "dwErrorCode:%d",
                address.c_str(), address.c_str(), errno);
        return Failed("the geometry of the new volume cannot be read");
    }
    m_dwBytesPerSector = m_Geometry.bytesPerSector;
    const uint64_t totalSectors = m_Geometry.partitionLength / m_dwBytesPerSector;
    if (totalSectors < kMinFat32Sectors || totalSectors > kMaxFat32Sectors) {
        DBG_ERR("%s:%d: bPreCheckFat32FormatParam:[%s] This drive is too small(64K Clusters) or too large(2TB) [%d] "
                "for FAT32 Specification , strLogicalAddress %s , dwErrorCode:%d",
                address.c_str(), static_cast<int>(totalSectors), address.c_str(), 0);
        return Failed("the volume has " + std::to_string(totalSectors) +
                      " sectors; FAT32 takes 65536 to 4294967294");
    }
    m_dwTotalSectors = static_cast<uint32_t>(totalSectors);
    return true;
}

bool CFat32Format::bFormatVolume(ISectorDevice& volume, const std::string& label)
{
    m_strFailure.clear();
    if (std::toupper(static_cast<unsigned char>(m_cDriveLetter)) == 'C') {
        DBG_ERR("%s:%d: bFormatVolume: Force not to Do Format %C", static_cast<wchar_t>(m_cDriveLetter));
        return Failed("drive C is never formatted");
    }
    if (m_iClusterSize == kRefusedClusterSize || m_cDriveLetter == kNoDriveLetter)
        return Failed("no volume or cluster size was set for the format");
    // A label a FAT directory cannot hold would be an invalid entry on the volume.
    if (!IsValidFatLabel(label)) {
        DBG_ERR("%s:%d: bFormatVolume: Drive[%c]: label [%s] holds characters a FAT volume label cannot hold",
                m_cDriveLetter, label.c_str());
        return Failed("the volume label \"" + label + "\" holds characters a FAT volume label cannot hold");
    }
    const FatStamp stamp = FatStampNow();
    m_dwVolumeId = Fat32VolumeId(stamp);
    const std::string address = LogicalAddress();
    bool locked = false;
    try {
        if (!volume.Lock()) {
            DBG_ERR("%s:%d: bFormatVolume:[%s] FSCTL_LOCK_VOLUME Fail , strLogicalAddress %s , dwErrorCode:%d",
                    address.c_str(), address.c_str(), errno);
            return Failed("the volume cannot be locked for the format");
        }
        locked = true;
        bool result = FormatLocked(volume, label, stamp);
        if (!volume.Dismount()) {
            DBG_ERR("%s:%d: bFormatVolume: %C FSCTL_DISMOUNT_VOLUME Fail , dwErrorCode %d",
                    static_cast<wchar_t>(m_cDriveLetter), errno);
            result = Failed("the volume cannot be dismounted after the format");
        }
        locked = false;
        if (!volume.Unlock())
            DBG_ERR("%s:%d: bFormatVolume: %C FSCTL_UNLOCK_VOLUME Fail , dwErrorCode %d",
                    static_cast<wchar_t>(m_cDriveLetter), errno);
        if (!volume.UpdateProperties())
            DBG_ERR("%s:%d: bFormatVolume: %C IOCTL_DISK_UPDATE_PROPERTIES Fail , dwErrorCode %d",
                    static_cast<wchar_t>(m_cDriveLetter), errno);
        ReleaseBuffers();
        return result;
    } catch (...) {
        if (locked) volume.Unlock();
        ReleaseBuffers();
        DBG_ERR("%s:%d: bFormatVolume: %C dwErrorCode %d", static_cast<wchar_t>(m_cDriveLetter), errno);
        return Failed("the format ended in an unexpected error");
    }
}

// Steps between the lock and the dismount: pre-check, layout, system area and
// the partition type.
bool CFat32Format::FormatLocked(ISectorDevice& volume, const std::string& label, const FatStamp& stamp)
{
    const std::string address = LogicalAddress();
    if (!bPreCheckFat32FormatParam(volume)) {
        DBG_ERR("%s:%d: bFormatVolume:[%s] bPreCheckFat32FormatParam Fail , strLogicalAddress %s , dwErrorCode:%d",
                address.c_str(), address.c_str(), errno);
        return Failed("the volume cannot take FAT32");
    }
    m_BootSector = AlignedBuffer(m_dwBytesPerSector);
    m_FsInfoSector = AlignedBuffer(m_dwBytesPerSector);
    m_FirstFatSector = AlignedBuffer(m_dwBytesPerSector);
    if (!m_BootSector || !m_FsInfoSector || !m_FirstFatSector) {
        DBG_ERR("%s:%d: bFormatVolume:[%s] VirtualAlloc Fail , strLogicalAddress %s , dwErrorCode:%d",
                address.c_str(), address.c_str(), errno);
        return Failed("no memory for the format's sectors");
    }
    const uint32_t sectorsPerCluster =
        m_iClusterSize != 0 ? static_cast<uint32_t>(m_iClusterSize)
                            : bGetSectorsPerCluster(m_Geometry.partitionLength, m_dwBytesPerSector);
    m_Layout = ComputeFat32Layout(m_dwTotalSectors, m_dwBytesPerSector, sectorsPerCluster);
    const char letter = m_cDriveLetter;
    // A cluster count outside the FAT32 range makes a volume every reader takes
    // for FAT16 or finds broken, and a FAT too short for its clusters corrupts
    // files: both are refused before anything is written.
    if (m_Layout.clusterCount > kFat32MaxClusters || m_Layout.clusterCount < kFat32MinClusters) {
        DBG_ERR("%s:%d: Drive has more than 2^28 clusters or at least 65536 clusters , m_ullClusterCount %d",
                static_cast<int>(m_Layout.clusterCount));
        return Failed("the volume would have " + std::to_string(m_Layout.clusterCount) + " clusters of " +
                      std::to_string(m_Layout.sectorsPerCluster) + " sectors; FAT32 takes 65525 to 268435445");
    }
    if (m_Layout.fatNeeded > m_Layout.fatSize) {
        DBG_ERR("%s:%d: Drive[%c]: m_ullFatNeeded[%d] > m_dwFatSize[%d] ", letter,
                static_cast<int>(m_Layout.fatNeeded), static_cast<int>(m_Layout.fatSize));
        return Failed("the FAT would be too short for the volume's clusters");
    }
    BootSectorFields fields;
    fields.sectorsPerTrack = static_cast<uint16_t>(m_Geometry.sectorsPerTrack);
    fields.heads = static_cast<uint16_t>(m_Geometry.tracksPerCylinder);
    fields.hiddenSectors = m_bGptPartition != 0 ? static_cast<uint32_t>(m_Geometry.startingOffset / m_dwBytesPerSector)
                                                : m_Geometry.hiddenSectors;
    fields.volumeId = m_dwVolumeId;
    FillBootSector(m_BootSector.Data(), m_Layout, fields);

    DBG_MSG("%s:%d: Drive[%c]: Size : %gGB %u sectors", letter,
            static_cast<double>(m_dwTotalSectors) * m_dwBytesPerSector / (1000.0 * 1000.0 * 1000.0), m_dwTotalSectors);
    DBG_MSG("%s:%d: Drive[%c]: %d Bytes Per Sector, Cluster size %d bytes ", letter,
            static_cast<int>(m_dwBytesPerSector), static_cast<int>(sectorsPerCluster * m_dwBytesPerSector));
    DBG_MSG("%s:%d: Drive[%c]: Volume ID is %x:%x", letter, m_dwVolumeId >> 16, m_dwVolumeId & 0xFFFF);
    DBG_MSG("%s:%d: Drive[%c]: %d Reserved Sectors, %d Sectors per FAT, %d fats", letter,
            static_cast<int>(kFat32ReservedSectors), static_cast<int>(m_Layout.fatSize),
            static_cast<int>(kFat32NumFats));
    DBG_MSG("%s:%d: Drive[%c]: Total clusters %d", letter, static_cast<int>(m_Layout.clusterCount));
    FillFsInfoSector(m_FsInfoSector.Data(), m_Layout.FreeClusters());
    DBG_MSG("%s:%d: Drive[%c]: Free Clusters %d", letter, static_cast<int>(m_Layout.FreeClusters()));

    bool result = WriteSystemArea(volume, label, stamp);
    if (m_bGptPartition == 0 && m_Geometry.hiddenSectors != 0 && !volume.SetPartitionType(kPartitionTypeFat32Lba)) {
        DBG_ERR("%s:%d: bFormatVolume: %C IOCTL_DISK_SET_PARTITION_INFO Fail , dwErrorCode %d",
                static_cast<wchar_t>(letter), errno);
        result = Failed("the partition type cannot be set to FAT32");
    }
    return result;
}

bool CFat32Format::WriteSystemArea(ISectorDevice& volume, const std::string& label, const FatStamp& stamp)
{
    const char letter = m_cDriveLetter;
    const uint32_t bps = m_dwBytesPerSector;
    DBG_MSG("%s:%d: bFormatVolume: Drive[%c]: Clean out %d sectors for ReservedSector, fat table and root cluster %g",
            letter, static_cast<int>(m_Layout.systemAreaSize),
            static_cast<double>(m_Layout.systemAreaSize) * bps / (1024.0 * 1024.0));
    bool result = vZeroSectors(volume, 0, bps, m_Layout.systemAreaSize);

    DBG_MSG("%s:%d: bFormatVolume: Drive[%c]: Initialising reserved sectors and FATs", letter);
    result &= vWriteSect(volume, 0, m_BootSector.Data(), 1);
    result &= vWriteSect(volume, kFat32FsInfoSector, m_FsInfoSector.Data(), 1);
    result &= vWriteSect(volume, kFat32BackupBootSector, m_BootSector.Data(), 1);
    result &= vWriteSect(volume, kFat32BackupBootSector + kFat32FsInfoSector, m_FsInfoSector.Data(), 1);
    FillFirstFatSector(m_FirstFatSector.Data());
    for (uint32_t fat = 0; fat < kFat32NumFats; ++fat)
        result &= vWriteSect(volume, m_Layout.FirstFatSector(fat), m_FirstFatSector.Data(), 1);

    const AlignedBuffer root(size_t{m_Layout.RootBlockSectors()} * bps);
    if (!root) return false;
    FillRootDirectory(root.Data(), label, stamp);
    result &= vWriteSect(volume, m_Layout.RootSector(), root.Data(), m_Layout.RootBlockSectors());
    return result || Failed("sector writes of the FAT32 system area failed");
}

bool CFat32Format::vZeroSectors(ISectorDevice& volume, uint64_t first, uint32_t bytesPerSector, uint64_t count)
{
    try {
        const AlignedBuffer zeros(size_t{kZeroBurstSectors} * bytesPerSector);
        if (!zeros) return false;
        const auto start = std::chrono::steady_clock::now();
        bool result = true;
        for (uint64_t done = 0; done < count;) {
            const auto burst = static_cast<uint32_t>(std::min<uint64_t>(kZeroBurstSectors, count - done));
            if (!volume.WriteSectors(first + done, burst, zeros.Data())) {
                DBG_ERR("%s:%d: vZeroSectors: WriteFile Fail , dwNumberOfBytesToWrite %d , dwErrorCode %d",
                        static_cast<int>(burst * bytesPerSector), errno);
                result = false;
            }
            done += burst;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto bytes = static_cast<long long>(count * bytesPerSector);
        DBG_MSG("%s:%d: vZeroSectors: Wrote %lld bytes in %.2f seconds, %.2f Megabytes/sec", bytes, seconds,
                seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0.0);
        return result;
    } catch (...) {
        DBG_ERR("%s:%d: vZeroSectors: dwErrorCode %d", errno);
        return false;
    }
}

bool CFat32Format::vWriteSect(ISectorDevice& volume, uint64_t sector, const uint8_t* buffer, uint32_t count)
{
    try {
        if (volume.WriteSectors(sector, count, buffer)) return true;
        DBG_ERR("%s:%d: vWriteSect: WriteFile Fail , dwErrorCode %d", errno);
        return false;
    } catch (...) {
        DBG_ERR("%s:%d: vWriteSect: dwErrorCode %d", errno);
        return false;
    }
}

}  // namespace disk
