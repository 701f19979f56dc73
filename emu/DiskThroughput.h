#pragma once
// How fast, and how badly, an emulated NVMe disk moves data. Kept in the bridge's
// bridge.ini:
//   disk_read_mibps=N, disk_write_mibps=N   rate of the whole disk (0 or unset: no delay)
//   disk_sector_faults=RANGE;RANGE...        sector ranges (512-byte sectors of the
//       disk) that are "FIRST-LAST slow N" (N MiB/s there), "FIRST-LAST fail"
//       (transfers touching them fail)
//   disk_corrupt_writes=1                    every piece of file data written to the
//       volume is stored with its first byte inverted (raw sector writes stay
//       intact, so the disk still partitions and formats)
// A transfer's duration is spent on the process clock, so a scaled clock runs a
// slow disk fast while its measured rate stays the configured one.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

class Bridge;

constexpr const char* kDiskSectorFaultsKey = "disk_sector_faults";

struct SectorRange {
    uint64_t first = 0;
    uint64_t last = 0;
    bool fails = false;  // else slow
    double mibps = 0;    // rate inside a slow range
};

// "FIRST-LAST fail" or "FIRST-LAST slow N"; nullopt for anything else.
std::optional<SectorRange> ParseSectorRange(const std::string& text);
std::string SectorRangeText(const SectorRange& range);

class DiskThroughput {
public:
    static DiskThroughput Of(const Bridge& bridge);

    // Whether a transfer of `bytes` at byte `offset` of the disk touches a failing range.
    bool Fails(uint64_t offset, uint64_t bytes) const;
    // Whether the disk has any failing range at all.
    bool HasFailingRanges() const;
    // Microseconds the transfer takes: at the slowest rate among the disk's and
    // those of the slow ranges it touches; 0 when no rate applies.
    int64_t DurationUs(bool write, uint64_t offset, uint64_t bytes) const;
    // Spends DurationUs on the process clock.
    void Delay(bool write, uint64_t offset, uint64_t bytes) const;
    // The damage a corrupting disk does to file data it stores (nothing otherwise).
    void Damage(uint8_t* data, uint64_t bytes) const;

private:
    double m_dReadMibps = 0;
    double m_dWriteMibps = 0;
    bool m_bCorruptWrites = false;
    std::vector<SectorRange> m_Ranges;
};

}  // namespace emu
