#include "platform/SystemFormat.h"

#include "util/Text.h"

namespace platform {

std::optional<std::vector<std::string>> QuickFormatCommand(const std::string& fileSystem, const FormatTarget& target,
                                                           const std::string& label)
{
    if (util::EqualNoCase(fileSystem, "EXFAT")) {
        if (label.empty()) return std::vector<std::string>{"mkfs.exfat", target.path};
        return std::vector<std::string>{"mkfs.exfat", "-L", label, target.path};
    }
    if (!util::EqualNoCase(fileSystem, "NTFS")) return std::nullopt;
    // The boot sector carries where the partition starts and the disk's geometry,
    // which mkfs.ntfs cannot learn from an image file.
    std::vector<std::string> command{"mkfs.ntfs", "--quick", "--quiet"};
    if (target.regularFile) command.push_back("--force");
    for (const std::string& word :
         {std::string("--partition-start"), std::to_string(target.hiddenSectors), std::string("--sector-size"),
          std::to_string(target.bytesPerSector), std::string("--sectors-per-track"),
          std::to_string(target.sectorsPerTrack), std::string("--heads"), std::to_string(target.heads)})
        command.push_back(word);
    if (!label.empty()) {
        command.push_back("--label");
        command.push_back(label);
    }
    command.push_back(target.path);
    return command;
}

std::optional<std::vector<std::string>> LabelCommand(const std::string& fileSystem, const std::string& path,
                                                     const std::string& label)
{
    const char* tool = util::EqualNoCase(fileSystem, "NTFS")    ? "ntfslabel"
                       : util::EqualNoCase(fileSystem, "EXFAT") ? "exfatlabel"
                       : util::EqualNoCase(fileSystem, "FAT32") ? "fatlabel"
                                                                : nullptr;
    if (!tool || label.rfind('-', 0) == 0) return std::nullopt;
    return std::vector<std::string>{tool, path, label};
}

}  // namespace platform
