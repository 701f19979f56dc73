#pragma once
// The partition table of a whole disk as sfdisk reads it back ("sfdisk --json"):
// its style, its identifier and every entry with its place in bytes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ToolProcess.h"

namespace platform::linuxst {

enum class PartitionStyle { kRaw, kMbr, kGpt };  // kRaw: no partition table

struct PartitionTableEntry {
    uint32_t number = 0;       // as the kernel numbers the partition nodes (sdb1, sdb2, ...)
    std::string type;          // MBR: the type byte in hex as sfdisk prints it ("7"); GPT: the type GUID
    uint8_t mbrType = 0;       // MBR: the type byte; 0 on GPT
    bool bootable = false;     // MBR: the active flag
    uint64_t startBytes = 0;
    uint64_t lengthBytes = 0;
    std::string name;          // GPT: the partition's name (UTF-8)
    std::string uuid;          // GPT: the partition's own GUID
};

struct PartitionTable {
    PartitionStyle style = PartitionStyle::kRaw;
    std::string identifier;    // MBR: "0x1234abcd"; GPT: the disk GUID
    uint32_t mbrSignature = 0; // MBR: the disk signature as a number
    uint32_t sectorSize = 512;
    std::vector<PartitionTableEntry> entries;  // by number
};

// The table in sfdisk's JSON text; nullopt when the text is not such a table
// (an entry out of the disk's reach included).
std::optional<PartitionTable> ParseSfdiskJson(const std::string& text);

// How long sfdisk may take to read a table back.
constexpr int64_t kPartitionReadTimeLimitMs = 60'000;

// Reads the table of the whole-disk node `node`; nullopt with `error` set when
// sfdisk fails or prints what is not a table. A disk whose first sector reads
// back without the boot signature 55 AA holds no table: style kRaw.
std::optional<PartitionTable> ReadPartitionTable(const LimitedToolRunner& run, const std::string& node,
                                                 std::string& error);

}  // namespace platform::linuxst
