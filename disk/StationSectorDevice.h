#pragma once
// A disk or a volume of the station as a sector device: "\\.\PhysicalDrive%d"
// from its first sector, or "\\.\X:" from the first sector of its partition, read
// and written with the station's raw positioned transfers. Geometry comes from the
// drive-geometry query; a volume's place on its disk from its disk extents.
#include <cstdint>
#include <string>

#include "disk/SectorDevice.h"
#include "platform/Station.h"

namespace disk {

class CStationSectorDevice final : public ISectorDevice {
public:
    CStationSectorDevice(platform::IStation& station, std::string path);
    ~CStationSectorDevice() override;
    CStationSectorDevice(const CStationSectorDevice&) = delete;
    CStationSectorDevice& operator=(const CStationSectorDevice&) = delete;
    // "\\.\PhysicalDrive3" and "\\.\E:".
    static std::string DiskPath(int physicalDrive);
    static std::string VolumePath(char driveLetter);
    // Opens the path for reading and writing, unbuffered; false (last error set)
    // when the station cannot open it.
    bool Open();
    bool GetGeometry(VolumeGeometry& geometry) override;
    bool ReadSectors(uint64_t lba, uint32_t count, uint8_t* buffer) override;
    bool WriteSectors(uint64_t lba, uint32_t count, const uint8_t* buffer) override;
    bool Lock() override;
    bool Dismount() override;
    bool Unlock() override;
    bool UpdateProperties() override;
    // Sets the type of the disk's MBR entry that starts where this volume starts.
    // False for a whole disk, a GPT disk or when sector 0 cannot be read or written.
    bool SetPartitionType(uint8_t type) override;

private:
    platform::IStation& m_Station;
    std::string m_strPath;
    platform::HANDLE m_hDevice = platform::INVALID_HANDLE_VALUE;
    VolumeGeometry m_Geometry;
    bool m_bKnown = false;  // m_Geometry read
    bool m_bVolume = false;
    uint32_t m_dwDiskNumber = 0;
};

}  // namespace disk
