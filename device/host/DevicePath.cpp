#include "device/host/DevicePath.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "util/Text.h"

namespace device::host {

bool ParseDevicePath(const std::string& path, bool& cdrom, int& number)
{
    static const char* const kDisk = "\\\\.\\PHYSICALDRIVE";
    static const char* const kCdrom = "\\\\.\\CDROM";
    size_t digits;
    auto startsWith = [&](const char* prefix) {
        return util::EqualNoCase(std::string_view(path).substr(0, std::strlen(prefix)), prefix);
    };
    if (startsWith(kDisk)) cdrom = false, digits = std::strlen(kDisk);
    else if (startsWith(kCdrom)) cdrom = true, digits = std::strlen(kCdrom);
    else return false;
    const std::string tail = path.substr(digits);
    if (tail.empty() || tail.size() > 3 || !std::all_of(tail.begin(), tail.end(), ::isdigit)) return false;
    number = std::stoi(tail);
    return true;
}

}  // namespace device::host
