#include "platform/linux/FileSystemProbe.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace platform::linuxst {

namespace {

std::string Field(const std::map<std::string, std::string>& fields, const std::string& key)
{
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

// "4E06-6968" (FAT, exFAT) or "0C53B521468B8E3E" (NTFS): the low 32 bits, which
// is the serial number an NTFS volume shows; 0 when it is not hexadecimal.
uint32_t SerialOf(const std::string& uuid)
{
    std::string digits;
    for (char c : uuid)
        if (c != '-') digits += c;
    if (digits.empty() || digits.size() > 16) return 0;
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return 0;
    return static_cast<uint32_t>(std::strtoull(digits.c_str(), nullptr, 16) & 0xFFFFFFFFull);
}

}  // namespace

std::map<std::string, std::string> ParseBlkidUdev(const std::string& text)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

std::string DecodeBlkidValue(const std::string& encoded)
{
    std::string text;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(encoded[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(encoded[i + 3]))) {
            text += static_cast<char>(std::strtoul(encoded.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            text += encoded[i];
        }
    }
    return text;
}

std::optional<FileSystemFacts> FileSystemOf(const std::map<std::string, std::string>& fields)
{
    const std::string type = Field(fields, "ID_FS_TYPE");
    FileSystemFacts facts;
    if (type == "vfat") facts.fileSystem = Field(fields, "ID_FS_VERSION") == "FAT32" ? "FAT32" : "FAT";
    else if (type == "ntfs") facts.fileSystem = "NTFS";
    else if (type == "exfat") facts.fileSystem = "exFAT";
    else return std::nullopt;
    facts.label = DecodeBlkidValue(Field(fields, "ID_FS_LABEL_ENC"));
    facts.serial = SerialOf(Field(fields, "ID_FS_UUID"));
    return facts;
}

std::optional<FileSystemFacts> ProbeFileSystem(const LimitedToolRunner& run, const std::string& node,
                                               std::string& error)
{
    const ToolRun result = run({"blkid", "-p", "-o", "udev", node}, kProbeTimeLimitMs);
    if (!result.Succeeded()) {
        error = "blkid finds no file system on " + node + " (exit " + std::to_string(result.exitCode) + ")" +
                (result.output.empty() ? "" : ": " + result.output);
        return std::nullopt;
    }
    const auto fields = ParseBlkidUdev(result.output);
    auto facts = FileSystemOf(fields);
    if (!facts) error = node + " holds " + Field(fields, "ID_FS_TYPE") + ", not FAT, NTFS or exFAT";
    return facts;
}

}  // namespace platform::linuxst
