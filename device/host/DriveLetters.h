#pragma once
// Drive letters of the tool's own world, given to the station's volumes: C for
// the system volume; D, E, F, ... for the first partition that may carry a file
// system on every other disk, in the order of the disk numbers. Letters follow
// the disks as they are now: a disk that gains or loses its partition moves the
// letters after it.
#include <optional>
#include <string>
#include <vector>

#include "platform/Station.h"

namespace device::host {

struct LetteredVolume {
    char letter = 0;
    platform::VolumeLocation location;
};

// The letters of `volumes` (as IStation::Volumes lists them), C first.
std::vector<LetteredVolume> DriveLetters(const std::vector<platform::VolumeLocation>& volumes);

// The drive letter of a root path "X:\" (`rootPath`) or of a device path
// "\\.\X:"; 0 when the text is neither. Upper case.
char LetterOfRootPath(const std::string& rootPath);
char LetterOfVolumePath(const std::string& path);

// The volume that has `letter` on the station now; nullopt when none has it.
std::optional<LetteredVolume> VolumeOfLetter(platform::IStation& station, char letter);

// The volume name "\\?\Volume{...}\" the tool's world gives a partition: it
// names the disk and the partition, so it stays while they do.
std::string VolumeName(const platform::VolumeLocation& volume);

}  // namespace device::host
