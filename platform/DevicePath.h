#pragma once
// The device paths of the tool's own world, as every station reads them.
#include <string>

namespace platform {

// Parses "\\.\PHYSICALDRIVE%d" (any case) or "\\.\CDROM%d".
bool ParseDevicePath(const std::string& path, bool& cdrom, int& number);

}  // namespace platform
