#pragma once
// The sector device a formatter writes to: a volume seen as whole sectors from
// its own first sector, with the geometry and partition facts the system reports
// for it. The station's raw volume access and an image file both provide one.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace disk {

// What the drive-geometry and partition-information queries answer.
struct VolumeGeometry {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t tracksPerCylinder = 0;
    uint64_t startingOffset = 0;   // bytes from the start of the disk
    uint64_t partitionLength = 0;  // bytes
    uint32_t hiddenSectors = 0;    // as the MBR partition information reports it
};

class ISectorDevice {
public:
    virtual ~ISectorDevice() = default;

    // False when the geometry or partition query fails.
    virtual bool GetGeometry(VolumeGeometry& geometry) = 0;
    // `count` whole sectors at sector `lba` of the volume; `buffer` is sector-aligned.
    virtual bool ReadSectors(uint64_t lba, uint32_t count, uint8_t* buffer) = 0;
    virtual bool WriteSectors(uint64_t lba, uint32_t count, const uint8_t* buffer) = 0;

    // Volume control around a format: exclusive lock, dismount, unlock, the
    // partition-type update and the properties refresh. Each reports success.
    virtual bool Lock() = 0;
    virtual bool Dismount() = 0;
    virtual bool Unlock() = 0;
    virtual bool SetPartitionType(uint8_t type) = 0;
    virtual bool UpdateProperties() = 0;
};

// Zero-filled memory aligned to a page, so unbuffered transfers can use it.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    // Empty (Data() null) when the allocation fails.
    explicit AlignedBuffer(size_t size);
    uint8_t* Data() const { return m_pData.get(); }
    size_t Size() const { return m_nSize; }
    explicit operator bool() const { return m_pData != nullptr; }

private:
    struct Free {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, Free> m_pData;
    size_t m_nSize = 0;
};

}  // namespace disk
