#include "cli/CliText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace cli {

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
