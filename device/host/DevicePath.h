#pragma once
// The device paths of the tool's own world: disks and CD-ROMs by number.
#include <string>

namespace device::host {

// Parses "\\.\PHYSICALDRIVE%d" (any case) or "\\.\CDROM%d".
bool ParseDevicePath(const std::string& path, bool& cdrom, int& number);

}  // namespace device::host
