#pragma once
// Small text and time helpers every layer shares.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace util {

// ASCII comparison that ignores case.
bool EqualNoCase(std::string_view a, std::string_view b);

// The local date and time now.
std::tm LocalTimeNow();

// "E4 01 51 00 00 00" or "E401510000 00" -> bytes; nullopt for odd digits or
// other characters.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);
// Decimal or 0x-prefixed integer within [min, max]; nullopt otherwise.
std::optional<long> ParseInteger(const std::string& text, long min, long max);

}  // namespace util
