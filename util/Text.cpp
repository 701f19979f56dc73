#include "util/Text.h"

#include <cctype>
#include <cstdlib>

namespace util {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::tm LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}

std::optional<long> ParseInteger(const std::string& text, long min, long max)
{
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (*end != '\0' || value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace util
