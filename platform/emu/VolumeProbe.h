#pragma once
// What the emulated station's file-system drivers find on an NTFS or exFAT
// volume: its file-system name, label, serial number, cluster geometry and free
// clusters, read from the boot sector and the file system's own records (the
// $Volume and $Bitmap records of NTFS; the label and allocation-bitmap entries
// of the exFAT root directory).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Station.h"

namespace platform {


// Reads `size` bytes at `offset` of the volume; false when they cannot be read.
using VolumeReader = std::function<bool(uint64_t offset, uint8_t* out, size_t size)>;

// The NTFS or exFAT volume of `length` bytes read through `read`; nullopt when it
// holds neither or its records do not hold together.
std::optional<ProbedVolume> ProbeNtfsOrExfat(const VolumeReader& read, uint64_t length);

}  // namespace platform
