#pragma once
// Partition tables and FAT32 volumes laid down in the disk images of emulated
// bridges, as a partitioning tool and a formatter would leave them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emu/NvmeDisk.h"

namespace testsupport {

constexpr uint32_t kPartitionStart = 2048;  // sectors

inline void PutLe(std::vector<uint8_t>& b, size_t at, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// An MBR whose slots 0.. hold the given (first sector, sector count, type).
struct MbrSlot {
    uint32_t first;
    uint32_t count;
    uint8_t type;
};
inline void WriteMbr(const emu::NvmeDisk& disk, const std::vector<MbrSlot>& slots)
{
    std::vector<uint8_t> mbr(512);
    PutLe(mbr, 440, 0x12345678, 4);
    for (size_t i = 0; i < slots.size(); ++i) {
        const size_t e = 446 + 16 * i;
        mbr[e + 4] = slots[i].type;
        PutLe(mbr, e + 8, slots[i].first, 4);
        PutLe(mbr, e + 12, slots[i].count, 4);
    }
    mbr[510] = 0x55, mbr[511] = 0xAA;
    disk.Write(0, mbr.data(), mbr.size());
}

// One FAT32 volume of `sectors` 512-byte sectors at `first`, with the FSInfo free
// count and a volume-label entry in the root directory.
inline void WriteFat32(const emu::NvmeDisk& disk, uint32_t first, uint32_t sectors, uint8_t sectorsPerCluster,
                       uint32_t freeClusters, const std::string& label)
{
    const uint32_t reserved = 32, fatSize = 1024;
    std::vector<uint8_t> boot(512);
    boot[0] = 0xEB, boot[1] = 0x58, boot[2] = 0x90;
    std::memcpy(&boot[3], "MSWIN4.1", 8);
    PutLe(boot, 11, 512, 2);
    boot[13] = sectorsPerCluster;
    PutLe(boot, 14, reserved, 2);
    boot[16] = 2;
    boot[21] = 0xF8;
    PutLe(boot, 28, first, 4);
    PutLe(boot, 32, sectors, 4);
    PutLe(boot, 36, fatSize, 4);
    PutLe(boot, 44, 2, 4);
    PutLe(boot, 48, 1, 2);
    PutLe(boot, 50, 6, 2);
    boot[66] = 0x29;
    PutLe(boot, 67, 0xCAFE1234, 4);
    std::memcpy(&boot[71], "NO NAME    ", 11);
    std::memcpy(&boot[82], "FAT32   ", 8);
    boot[510] = 0x55, boot[511] = 0xAA;
    std::vector<uint8_t> info(512);
    PutLe(info, 0, 0x41615252, 4);
    PutLe(info, 484, 0x61417272, 4);
    PutLe(info, 488, freeClusters, 4);
    PutLe(info, 492, 3, 4);
    PutLe(info, 508, 0xAA550000, 4);
    std::vector<uint8_t> root(512);
    std::string padded = label;
    padded.resize(11, ' ');
    std::memcpy(root.data(), padded.data(), 11);
    root[11] = 0x08;
    const uint64_t base = uint64_t{first} * 512;
    disk.Write(base, boot.data(), 512);
    disk.Write(base + 512, info.data(), 512);
    disk.Write(base + uint64_t{reserved + 2 * fatSize} * 512, root.data(), 512);
}

}  // namespace testsupport
