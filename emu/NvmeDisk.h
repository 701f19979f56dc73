#pragma once
// The NVMe disk behind an emulated bridge: a sparse image "disk.img" in the
// bridge's folder and the identify data the drive answers with.
//
// Keys of bridge.ini that describe the disk (all optional):
//   disk_size_mib   size of the disk in MiB (default 65536, 64 GiB)
//   nvme_serial     serial number, at most 20 characters (default "NVME" + bridge number, "NVME0001")
//   nvme_firmware   firmware revision, at most 8 characters (default "EMU" + bridge number, "EMU00001")
//   nvme_model      model number, at most 40 characters (default "DEVeda Emulated NVMe SSD")
// Texts are stored as given (trailing spaces kept) and padded with spaces in the
// identify data, as drives do. The image file is created on the first write and
// always has the full disk size, so unwritten sectors read as zeros.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "emu/KeyValueFile.h"
#include "emu/ScsiTarget.h"

namespace emu {

constexpr uint32_t kDiskSectorSize = 512;
constexpr uint32_t kNvmeIdentifySize = 4096;
constexpr uint32_t kAtaIdentifySize = 512;
constexpr int64_t kDefaultDiskSizeMiB = 65536;

class NvmeDisk {
public:
    // The disk of the bridge kept in `bridgeFolder` (its bridge.ini is read now).
    explicit NvmeDisk(std::filesystem::path bridgeFolder);
    // The same with the bridge's state as already read.
    NvmeDisk(std::filesystem::path bridgeFolder, KeyValueFile state);

    uint64_t SizeBytes() const;
    uint64_t SectorCount() const { return SizeBytes() / kDiskSectorSize; }
    std::string Serial() const;
    std::string Firmware() const;
    std::string Model() const;
    std::filesystem::path ImagePath() const { return m_Folder / "disk.img"; }

    // Byte access to the image; false when the range leaves the disk or the image
    // cannot be written.
    bool Read(uint64_t offset, uint8_t* out, size_t size) const;
    bool Write(uint64_t offset, const uint8_t* data, size_t size) const;

    std::array<uint8_t, kNvmeIdentifySize> IdentifyController() const;
    std::array<uint8_t, kNvmeIdentifySize> IdentifyNamespace() const;
    // ATA IDENTIFY DEVICE data of the drive as a SATA bridge would translate it.
    std::array<uint8_t, kAtaIdentifySize> AtaIdentify() const;

    // Vendor NVMe admin pass-through block E6 <opcode> 00 <CNS> ... (16 bytes).
    void NvmePassThrough(ScsiExchange& exchange) const;
    // ATA PASS-THROUGH(12) with command 0xEC, PIO data-in of one sector.
    void AtaIdentifyDevice(ScsiExchange& exchange) const;

private:
    std::filesystem::path m_Folder;
    KeyValueFile m_State;
    int m_Number = 0;  // bridge number taken from the folder name "bridge<N>"
};

}  // namespace emu
