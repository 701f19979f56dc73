#pragma once
// Parsing and printing helpers shared by the devedactl command groups.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// "E4 01 51 00 00 00" or "E401510000 00" -> bytes; nullopt for odd digits or
// other characters.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);
// Decimal or 0x-prefixed integer within [min, max]; nullopt otherwise.
std::optional<long> ParseInteger(const std::string& text, long min, long max);
// Upper-case hex bytes separated by blanks, on one line.
std::string HexBytes(const uint8_t* data, size_t size);
// Rows of 16 upper-case hex bytes separated by blanks, each row prefixed by
// its offset ("0000: ") when `offsets` is set.
std::string HexDump(const uint8_t* data, size_t size, bool offsets);

}  // namespace cli
