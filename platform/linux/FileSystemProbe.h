#pragma once
// What blkid finds on a partition ("blkid -p -o udev"): the file system under
// the name the tool reports for it, its label and its serial number.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/ToolProcess.h"

namespace platform::linuxst {

struct FileSystemFacts {
    std::string fileSystem;  // "FAT32", "FAT", "NTFS" or "exFAT"
    std::string label;       // UTF-8; empty when the volume has none
    uint32_t serial = 0;     // the volume serial number as the tool shows it ("4E06-6968")
};

// The KEY=VALUE lines of "blkid -o udev"; other lines are skipped.
std::map<std::string, std::string> ParseBlkidUdev(const std::string& text);
// Undoes blkid's \xNN escapes of an *_ENC value; other bytes stay.
std::string DecodeBlkidValue(const std::string& encoded);
// The facts of a FAT, NTFS or exFAT volume among the probed fields; nullopt for
// any other file system or none.
std::optional<FileSystemFacts> FileSystemOf(const std::map<std::string, std::string>& fields);

// How long blkid may take.
constexpr int64_t kProbeTimeLimitMs = 60'000;

// Probes the partition node `node`; nullopt with `error` set when blkid finds
// no file system the tool works with, or cannot read the node.
std::optional<FileSystemFacts> ProbeFileSystem(const LimitedToolRunner& run, const std::string& node,
                                               std::string& error);

}  // namespace platform::linuxst
