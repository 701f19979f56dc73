#pragma once
// A volume inside an image file: the byte range [offset, offset + length) seen as
// whole sectors. Used to format image files by hand and by the tests; the image's
// geometry is that of a disk behind a USB bridge (63 sectors per track, 255 heads).
#include <cstdint>
#include <fstream>
#include <string>

#include "disk/SectorDevice.h"

namespace disk {

class CImageSectorDevice final : public ISectorDevice {
public:
    // `length` 0: to the end of the file as it is now.
    CImageSectorDevice(std::string path, uint64_t offset, uint64_t length, uint32_t bytesPerSector);

    // False when the file cannot be opened, the offset is not on a sector
    // boundary or the range leaves the file.
    bool Open();

    bool GetGeometry(VolumeGeometry& geometry) override;
    bool ReadSectors(uint64_t lba, uint32_t count, uint8_t* buffer) override;
    bool WriteSectors(uint64_t lba, uint32_t count, const uint8_t* buffer) override;
    // An image file has no mounted file system to lock or dismount.
    bool Lock() override { return true; }
    bool Dismount() override { return true; }
    bool Unlock() override { return true; }
    bool UpdateProperties() override { return true; }
    // Sets the type of the image's MBR entry that starts at this volume's offset;
    // an image without such an entry (a bare volume, a GPT disk) has nothing to set.
    bool SetPartitionType(uint8_t type) override;

private:
    bool InRange(uint64_t lba, uint32_t count) const;

    std::string m_strPath;
    uint64_t m_ullOffset;
    uint64_t m_ullLength;
    uint32_t m_dwBytesPerSector;
    std::fstream m_File;
};

}  // namespace disk
