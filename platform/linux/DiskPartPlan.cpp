#include "platform/linux/DiskPartPlan.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "util/Text.h"

namespace platform::linuxst {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kReservedBytes = 16 * kMiB;

std::vector<std::string> Words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        words.push_back(word);
    }
    return words;
}

bool Is(const std::vector<std::string>& words, std::initializer_list<const char*> start)
{
    if (words.size() < start.size()) return false;
    return std::equal(start.begin(), start.end(), words.begin(), [](const char* a, const std::string& b) { return b == a; });
}

bool NoErrTail(const std::vector<std::string>& words, size_t from)
{
    return words.size() == from || (words.size() == from + 1 && words[from] == "noerr");
}

}  // namespace

std::optional<DiskPartPlan> ParseDiskPartScript(const std::string& script, std::string& error)
{
    DiskPartPlan plan;
    bool cleaned = false, converted = false, created = false;
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        const auto w = Words(line);
        if (w.empty() || (Is(w, {"list", "disk"}) && w.size() == 2)) continue;
        if (Is(w, {"online", "disk"}) && NoErrTail(w, 2)) continue;
        if (Is(w, {"attributes", "disk", "clear", "readonly"}) && NoErrTail(w, 4)) continue;
        if (Is(w, {"select", "disk"}) && w.size() == 3 && plan.disk < 0) {
            const auto number = util::ParseInteger(w[2], 0, 255);
            if (!number) return error = "bad disk number: " + line, std::nullopt;
            plan.disk = static_cast<int>(*number);
        } else if (w == std::vector<std::string>{"clean"} && plan.disk >= 0) {
            cleaned = true;
        } else if (Is(w, {"convert"}) && w.size() == 2 && (w[1] == "mbr" || w[1] == "gpt") && cleaned && !converted) {
            plan.gpt = w[1] == "gpt";
            converted = true;
        } else if (Is(w, {"create", "partition", "primary"}) && w.size() <= 4 && converted && !created) {
            if (w.size() == 4) {
                const auto offset =
                    w[3].rfind("offset=", 0) == 0 ? util::ParseInteger(w[3].substr(7), 1, 0x7FFFFFFF) : std::nullopt;
                if (!offset) return error = "bad offset: " + line, std::nullopt;
                plan.offsetKiB = static_cast<uint64_t>(*offset);
            }
            created = true;
        } else if (Is(w, {"select", "partition"}) && w.size() == 3 && created) {
            if (w[2] != (plan.gpt ? "2" : "1")) return error = "no such partition: " + line, std::nullopt;
        } else if (Is(w, {"assign"}) && w.size() == 2 && w[1].size() == 8 && w[1].rfind("letter=", 0) == 0 &&
                   std::isalpha(static_cast<unsigned char>(w[1][7])) && created) {
            plan.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(w[1][7])));
        } else {
            return error = "not carried out here: " + line, std::nullopt;
        }
    }
    if (!created) return error = "the script creates no partition", std::nullopt;
    return plan;
}

std::string SfdiskScript(const DiskPartPlan& plan, uint32_t sectorSize)
{
    const uint64_t mib = kMiB / sectorSize;
    const uint64_t offset = plan.offsetKiB * 1024 / sectorSize;
    if (!plan.gpt) return "label: dos\nstart=" + std::to_string(offset ? offset : mib) + ", type=6\n";
    const uint64_t reserved = kReservedBytes / sectorSize;
    return "label: gpt\n"
           "start=" + std::to_string(mib) + ", size=" + std::to_string(reserved) +
           ", type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE, name=\"Microsoft reserved partition\"\n"
           "start=" + std::to_string(offset ? offset : mib + reserved) +
           ", type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=\"Basic data partition\"\n";
}

}  // namespace platform::linuxst
