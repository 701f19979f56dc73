#include "disk/StationSectorDevice.h"
#include "device/host/DiskHost.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace disk {

namespace {
constexpr uint32_t kMbrEntries = 446;
constexpr uint8_t kTypeGptProtective = 0xEE;

uint32_t Le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
}  // namespace

CStationSectorDevice::CStationSectorDevice(platform::IStation& station, std::string path)
    : m_Station(station), m_strPath(std::move(path))
{
}

CStationSectorDevice::~CStationSectorDevice()
{
    if (m_hDevice != platform::INVALID_HANDLE_VALUE && m_hDevice != nullptr) m_Station.CloseHandle(m_hDevice);
}

std::string CStationSectorDevice::DiskPath(int physicalDrive)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", physicalDrive);
    return path;
}

std::string CStationSectorDevice::VolumePath(char driveLetter)
{
    char path[8];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", driveLetter);
    return path;
}

bool CStationSectorDevice::Open()
{
    m_hDevice = device::host::CreateFile(m_Station, m_strPath, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                         platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                         platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING);
    return m_hDevice != platform::INVALID_HANDLE_VALUE && m_hDevice != nullptr;
}

bool CStationSectorDevice::GetGeometry(VolumeGeometry& geometry)
{
    platform::DiskGeometryEx disk;
    if (!device::host::GetDriveGeometryEx(m_Station, m_hDevice, disk) || disk.BytesPerSector == 0 || disk.DiskSize < 0)
        return false;
    m_Geometry = {};
    m_Geometry.bytesPerSector = disk.BytesPerSector;
    m_Geometry.sectorsPerTrack = disk.SectorsPerTrack;
    m_Geometry.tracksPerCylinder = disk.TracksPerCylinder;
    std::vector<platform::DiskExtent> extents;
    m_bVolume = device::host::GetVolumeDiskExtents(m_Station, m_hDevice, extents) && !extents.empty();
    if (m_bVolume) {
        // A volume: its partition, the hidden sectors being the sectors before it.
        m_dwDiskNumber = extents.front().DiskNumber;
        m_Geometry.startingOffset = static_cast<uint64_t>(extents.front().StartingOffset);
        m_Geometry.partitionLength = static_cast<uint64_t>(extents.front().ExtentLength);
        m_Geometry.hiddenSectors = static_cast<uint32_t>(
            std::min<uint64_t>(m_Geometry.startingOffset / disk.BytesPerSector, UINT32_MAX));
    } else {
        m_Geometry.partitionLength = static_cast<uint64_t>(disk.DiskSize);
    }
    m_bKnown = true;
    geometry = m_Geometry;
    return true;
}

bool CStationSectorDevice::ReadSectors(uint64_t lba, uint32_t count, uint8_t* buffer)
{
    VolumeGeometry g;
    if (!m_bKnown && !GetGeometry(g)) return false;
    const uint64_t length = uint64_t{count} * m_Geometry.bytesPerSector;
    if (length > UINT32_MAX) return false;
    uint32_t moved = 0;
    return m_Station.ReadAt(m_hDevice, lba * m_Geometry.bytesPerSector, buffer, static_cast<uint32_t>(length),
                            &moved) &&
           moved == length;
}

bool CStationSectorDevice::WriteSectors(uint64_t lba, uint32_t count, const uint8_t* buffer)
{
    VolumeGeometry g;
    if (!m_bKnown && !GetGeometry(g)) return false;
    const uint64_t length = uint64_t{count} * m_Geometry.bytesPerSector;
    if (length > UINT32_MAX) return false;
    uint32_t moved = 0;
    return m_Station.WriteAt(m_hDevice, lba * m_Geometry.bytesPerSector, buffer, static_cast<uint32_t>(length),
                             &moved) &&
           moved == length;
}

bool CStationSectorDevice::Lock() { return m_Station.LockVolume(m_hDevice); }
bool CStationSectorDevice::Dismount() { return m_Station.DismountVolume(m_hDevice); }
bool CStationSectorDevice::Unlock() { return m_Station.UnlockVolume(m_hDevice); }
bool CStationSectorDevice::UpdateProperties() { return device::host::UpdateDiskProperties(m_Station, m_hDevice); }

bool CStationSectorDevice::SetPartitionType(uint8_t type)
{
    VolumeGeometry g;
    if ((!m_bKnown && !GetGeometry(g)) || !m_bVolume) return false;
    CStationSectorDevice disk(m_Station, DiskPath(static_cast<int>(m_dwDiskNumber)));
    const uint32_t bps = m_Geometry.bytesPerSector;
    AlignedBuffer sector(std::max<uint32_t>(bps, 512));
    // Sector 0 is written back only as it was read, with the one type byte changed.
    if (!sector || !disk.Open() || !disk.ReadSectors(0, 1, sector.Data())) return false;
    uint8_t* mbr = sector.Data();
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) return false;
    const uint64_t first = m_Geometry.startingOffset / bps;
    for (uint32_t i = 0; i < 4; ++i) {
        uint8_t* entry = mbr + kMbrEntries + 16 * i;
        if (entry[4] == kTypeGptProtective) return false;
        if (entry[4] == 0 || Le32(entry + 8) != first) continue;
        entry[4] = type;
        return disk.WriteSectors(0, 1, mbr);
    }
    return false;
}

}  // namespace disk
