#pragma once
// The partitioning script: "DiskPartTarget<drive>.sc" in the working folder,
// written before the system's partitioning tool runs it and deleted afterwards.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace disk {

// "DiskPartTarget3.sc" for physical drive 3.
std::string DiskPartScriptName(int physicalDrive);

// The script text for one of the four templates (MBR or GPT, with or without an
// offset in MiB, written in KiB). Nothing for drive 0 (the system disk), for a
// drive letter that is no letter, or for an offset that does not fit in KiB.
std::optional<std::string> DiskPartScriptText(int physicalDrive, char driveLetter, uint8_t gpt, uint32_t offsetMiB);

// Writes the script of `physicalDrive` whole (temporary file and rename) into
// `folder`, replacing an older one. False, with the described trace, for drive 0
// or when the file does not exist afterwards.
bool vSetDiskPartSetupInfo(const std::filesystem::path& folder, char driveLetter, int physicalDrive, uint8_t gpt,
                           uint32_t offsetMiB);

// Deletes the script of `physicalDrive` when it exists; false when that fails.
bool vDelDiskPartSetupInfo(const std::filesystem::path& folder, int physicalDrive);

}  // namespace disk
