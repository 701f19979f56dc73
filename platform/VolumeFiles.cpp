#include "platform/VolumeFiles.h"

#include <sstream>

namespace platform {

bool IsVolumePath(const std::string& path)
{
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');)
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) return false;
    return true;
}

}  // namespace platform
