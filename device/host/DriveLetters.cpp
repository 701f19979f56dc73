#include "device/host/DriveLetters.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace device::host {

namespace {
constexpr char kSystemLetter = 'C';
constexpr char kFirstLetter = 'D';

char UpperLetter(const std::string& text, size_t at)
{
    const auto c = static_cast<unsigned char>(text[at]);
    return std::isalpha(c) ? static_cast<char>(std::toupper(c)) : 0;
}
}  // namespace

std::vector<LetteredVolume> DriveLetters(const std::vector<platform::VolumeLocation>& volumes)
{
    std::vector<LetteredVolume> lettered;
    for (const auto& volume : volumes)
        if (volume.system) {
            lettered.push_back({kSystemLetter, volume});
            break;
        }
    std::vector<platform::VolumeLocation> others;
    for (const auto& volume : volumes)
        if (!volume.system) others.push_back(volume);
    std::stable_sort(others.begin(), others.end(), [](const auto& a, const auto& b) {
        return a.disk != b.disk ? a.disk < b.disk : a.partition < b.partition;
    });
    std::set<uint32_t> systemDisks;
    for (const auto& v : lettered) systemDisks.insert(v.location.disk);
    char next = kFirstLetter;
    std::set<uint32_t> letteredDisks;
    for (const auto& volume : others) {
        if (next > 'Z') break;
        if (systemDisks.count(volume.disk) || !letteredDisks.insert(volume.disk).second) continue;
        lettered.push_back({next++, volume});
    }
    return lettered;
}

char LetterOfRootPath(const std::string& rootPath)
{
    if (rootPath.size() != 3 || rootPath[1] != ':' || rootPath[2] != '\\') return 0;
    return UpperLetter(rootPath, 0);
}

char LetterOfVolumePath(const std::string& path)
{
    if (path.size() != 6 || path.compare(0, 4, "\\\\.\\") != 0 || path[5] != ':') return 0;
    return UpperLetter(path, 4);
}

std::optional<LetteredVolume> VolumeOfLetter(platform::IStation& station, char letter)
{
    if (!letter) return std::nullopt;
    for (const auto& volume : DriveLetters(station.Volumes()))
        if (volume.letter == letter) return volume;
    return std::nullopt;
}

std::string VolumeName(const platform::VolumeLocation& volume)
{
    char name[64];
    std::snprintf(name, sizeof name, "\\\\?\\Volume{%08x-4445-5645-4441-%012x}\\", volume.disk, volume.partition);
    return name;
}

}  // namespace device::host
