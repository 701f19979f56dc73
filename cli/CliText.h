#pragma once
// Parsing and printing helpers shared by the devedactl command groups.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/Text.h"

namespace cli {

// The number parsers every layer shares.
using util::ParseHexBytes;
using util::ParseInteger;
// Upper-case hex bytes separated by blanks, on one line.
std::string HexBytes(const uint8_t* data, size_t size);
// Rows of 16 upper-case hex bytes separated by blanks, each row prefixed by
// its offset ("0000: ") when `offsets` is set.
std::string HexDump(const uint8_t* data, size_t size, bool offsets);

}  // namespace cli
