#pragma once
// The system's partitioning tool as the emulated station runs it: carries a
// script ("select disk", "clean", "convert mbr|gpt", "create partition primary
// [offset=KiB]", "select partition", "assign letter=", ...) out on the disk images
// of the emulated drives, the way the tool does on real disks:
//   - MBR: one primary partition from the first 1 MiB boundary (or the offset) to
//     the end of the disk, type 0x06 (no file system yet), not active;
//   - GPT: "convert gpt" puts a 16 MiB Microsoft reserved partition at 1 MiB, so
//     the partition "create partition primary" makes is number 2, a basic data
//     partition from the next 1 MiB boundary to the last usable sector.
// Like the tool run with a script, it stops at the first failing command unless
// that command says "noerr".
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace emu {

struct DiskPartDisk {
    int number = 0;  // as in "select disk N"
    std::filesystem::path image;
    uint64_t sizeBytes = 0;
    uint32_t bytesPerSector = 512;
};

struct DiskPartOutcome {
    bool ok = false;
    std::string messages;     // what the tool prints, one line per command
    char assignedLetter = 0;  // 0 when no letter was assigned
    int partitionNumber = 0;  // the partition that had the focus at the end
};

DiskPartOutcome RunDiskPartScript(const std::string& script, const std::vector<DiskPartDisk>& disks);

}  // namespace emu
