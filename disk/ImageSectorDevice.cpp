// Sector access to a byte range of an image file.
#include "disk/ImageSectorDevice.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace disk {

namespace {
constexpr uint32_t kImageSectorsPerTrack = 63;
constexpr uint32_t kImageTracksPerCylinder = 255;
constexpr size_t kMbrEntries = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr uint8_t kGptProtective = 0xEE;

uint32_t Le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
}  // namespace

CImageSectorDevice::CImageSectorDevice(std::string path, uint64_t offset, uint64_t length, uint32_t bytesPerSector)
    : m_strPath(std::move(path)), m_ullOffset(offset), m_ullLength(length), m_dwBytesPerSector(bytesPerSector)
{
}

bool CImageSectorDevice::Open()
{
    if (m_dwBytesPerSector == 0 || m_ullOffset % m_dwBytesPerSector != 0) return false;
    std::error_code error;
    const uint64_t fileSize = std::filesystem::file_size(m_strPath, error);
    if (error || m_ullOffset >= fileSize) return false;
    if (m_ullLength == 0) m_ullLength = fileSize - m_ullOffset;
    if (m_ullLength > fileSize - m_ullOffset) return false;
    m_File.open(m_strPath, std::ios::in | std::ios::out | std::ios::binary);
    return m_File.is_open();
}

bool CImageSectorDevice::GetGeometry(VolumeGeometry& geometry)
{
    if (!m_File.is_open()) return false;
    geometry.bytesPerSector = m_dwBytesPerSector;
    geometry.sectorsPerTrack = kImageSectorsPerTrack;
    geometry.tracksPerCylinder = kImageTracksPerCylinder;
    geometry.startingOffset = m_ullOffset;
    geometry.partitionLength = m_ullLength;
    geometry.hiddenSectors = static_cast<uint32_t>(m_ullOffset / m_dwBytesPerSector);
    return true;
}

bool CImageSectorDevice::InRange(uint64_t lba, uint32_t count) const
{
    const uint64_t sectors = m_ullLength / m_dwBytesPerSector;
    return m_File.is_open() && lba <= sectors && count <= sectors - lba;
}

bool CImageSectorDevice::ReadSectors(uint64_t lba, uint32_t count, uint8_t* buffer)
{
    if (!InRange(lba, count)) return false;
    m_File.clear();
    m_File.seekg(static_cast<std::streamoff>(m_ullOffset + lba * m_dwBytesPerSector));
    m_File.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(uint64_t{count} * m_dwBytesPerSector));
    return static_cast<bool>(m_File);
}

bool CImageSectorDevice::WriteSectors(uint64_t lba, uint32_t count, const uint8_t* buffer)
{
    if (!InRange(lba, count)) return false;
    m_File.clear();
    m_File.seekp(static_cast<std::streamoff>(m_ullOffset + lba * m_dwBytesPerSector));
    m_File.write(reinterpret_cast<const char*>(buffer),
                 static_cast<std::streamsize>(uint64_t{count} * m_dwBytesPerSector));
    m_File.flush();
    return static_cast<bool>(m_File);
}

bool CImageSectorDevice::SetPartitionType(uint8_t type)
{
    if (!m_File.is_open()) return false;
    if (m_ullOffset == 0) return true;
    std::vector<char> mbr(m_dwBytesPerSector);
    m_File.clear();
    m_File.seekg(0);
    if (!m_File.read(mbr.data(), static_cast<std::streamsize>(mbr.size()))) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(mbr.data());
    if (bytes[510] != 0x55 || bytes[511] != 0xAA) return true;
    for (size_t entry = kMbrEntries; entry < kMbrEntries + 4 * kMbrEntrySize; entry += kMbrEntrySize) {
        const uint8_t current = bytes[entry + 4];
        if (current == 0 || current == kGptProtective) continue;
        if (uint64_t{Le32(bytes + entry + 8)} * m_dwBytesPerSector != m_ullOffset) continue;
        mbr[entry + 4] = static_cast<char>(type);
        m_File.seekp(0);
        m_File.write(mbr.data(), static_cast<std::streamsize>(mbr.size()));
        m_File.flush();
        return static_cast<bool>(m_File);
    }
    return true;
}

}  // namespace disk
