// Decoding of 128-byte configuration tables and USB4 blocks.
#include <algorithm>

#include "FuzzSupport.h"
#include "config/TableText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TableBytes table{};
    std::copy(data, data + std::min(size, table.size()), table.begin());
    GuessTableKind(table);
    if (strDecodeConfigTable(table, 1).empty() || strDecodeConfigTable(table, 4).empty() ||
        strDecodeU4ConfigTable(table).empty())
        __builtin_trap();
    return 0;
}
