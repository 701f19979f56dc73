#pragma once
// The partitioning scripts the tool writes ("select disk N", "clean", "convert
// mbr|gpt", "create partition primary [offset=KiB]", "select partition N",
// "assign letter=X", with "list disk", "online disk" and "attributes disk clear
// readonly" as no-ops here) read as one plan, and the sfdisk script that lays
// the same partition table on a Linux disk:
//   - MBR: one primary partition of type 0x06 from the first 1 MiB boundary (or
//     the offset) to the end of the disk, not active;
//   - GPT: a 16 MiB Microsoft reserved partition at 1 MiB, then the basic data
//     partition (number 2) from the next 1 MiB boundary (or the offset) to the
//     last usable sector.
#include <cstdint>
#include <optional>
#include <string>

namespace platform::linuxst {

struct DiskPartPlan {
    int disk = -1;
    bool gpt = false;
    uint64_t offsetKiB = 0;  // 0: the first free 1 MiB boundary
    char letter = 0;         // the letter the script assigns (0: none)
};

// The plan of a script that selects one disk, cleans it, converts it and creates
// one primary partition; nullopt with `error` set for anything else, so that a
// script this station cannot carry out whole changes no disk.
std::optional<DiskPartPlan> ParseDiskPartScript(const std::string& script, std::string& error);

// sfdisk's input for `plan` on a disk of `sectorSize`-byte sectors.
std::string SfdiskScript(const DiskPartPlan& plan, uint32_t sectorSize);

}  // namespace platform::linuxst
