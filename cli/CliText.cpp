#include "cli/CliText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace cli {

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

std::string HexBytes(const uint8_t* data, size_t size)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(cell, sizeof cell, "%02X", data[i]);
        if (i > 0) text += ' ';
        text += cell;
    }
    return text;
}

std::string HexDump(const uint8_t* data, size_t size, bool offsets)
{
    std::string text;
    for (size_t row = 0; row < size; row += 16) {
        if (offsets) {
            char offset[16];
            std::snprintf(offset, sizeof offset, "%04X: ", static_cast<unsigned>(row));
            text += offset;
        }
        text += HexBytes(data + row, std::min<size_t>(16, size - row)) + '\n';
    }
    return text;
}

}  // namespace cli
