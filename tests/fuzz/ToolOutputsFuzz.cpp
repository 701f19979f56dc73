// libFuzzer target of the readers of the system tools' outputs on the Linux
// station: the first byte picks the reader (0 sfdisk --json, 1 blkid -o udev),
// the rest is the output. Seed corpus: tests/fuzz/corpus/tool_outputs, the
// recorded outputs of the platform tests behind their selector byte.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/linux/FileSystemProbe.h"
#include "platform/linux/PartitionTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        const auto table = platform::linuxst::ParseSfdiskJson(text);
        if (table)
            for (const auto& entry : table->entries)
                if (entry.number == 0 || entry.startBytes > std::numeric_limits<uint64_t>::max() - entry.lengthBytes)
                    __builtin_trap();
    } else {
        const auto facts = platform::linuxst::FileSystemOf(platform::linuxst::ParseBlkidUdev(text));
        if (facts && facts->fileSystem.empty()) __builtin_trap();
    }
    return 0;
}
