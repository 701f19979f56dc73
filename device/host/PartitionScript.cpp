#include "device/host/PartitionScript.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "util/Text.h"

namespace device::host {

namespace {

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
    return std::equal(start.begin(), start.end(), words.begin(),
                      [](const char* a, const std::string& b) { return b == a; });
}

bool NoErrTail(const std::vector<std::string>& words, size_t from)
{
    return words.size() == from || (words.size() == from + 1 && words[from] == "noerr");
}

}  // namespace

std::optional<platform::PartitionPlan> ParseDiskPartScript(const std::string& script, std::string& error)
{
    platform::PartitionPlan plan;
    bool selected = false;
    bool cleaned = false, converted = false, created = false;
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        const auto w = Words(line);
        if (w.empty() || (Is(w, {"list", "disk"}) && w.size() == 2)) continue;
        if (Is(w, {"online", "disk"}) && NoErrTail(w, 2)) continue;
        if (Is(w, {"attributes", "disk", "clear", "readonly"}) && NoErrTail(w, 4)) continue;
        if (Is(w, {"select", "disk"}) && w.size() == 3 && !selected) {
            const auto number = util::ParseInteger(w[2], 0, 255);
            if (!number) return error = "bad disk number: " + line, std::nullopt;
            plan.disk = static_cast<uint32_t>(*number);
            selected = true;
        } else if (w == std::vector<std::string>{"clean"} && selected) {
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
            // The letter is the tool's: it names the volume once the disk is read back.
        } else {
            return error = "not carried out here: " + line, std::nullopt;
        }
    }
    if (!created) return error = "the script creates no partition", std::nullopt;
    return plan;
}

}  // namespace device::host
