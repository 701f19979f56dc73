// libFuzzer target of the PD and MCU file parsers: the first byte picks the
// parser (0 Richtek, 1 Cypress rows, 2 Intel HEX), the rest is the file. Seed
// corpus: tests/fuzz/corpus/pd_files, the test fixtures behind their selector byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pd/PDFirmwareFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<pd::PDFileFinding> findings;
    switch (data[0] % 3) {
    case 0: pd::ParseRichtekImage(text, findings); break;
    case 1: {
        const auto file = pd::ParseCypressFile(text, findings);
        if (file.rows.size() > pd::kCypressRowCount) __builtin_trap();
        pd::CypressFileVersion(text);
        break;
    }
    default: {
        const auto file = pd::ParseMCUHexFile(text, findings);
        if (file.records.size() > pd::kMCURecordCount) __builtin_trap();
        const auto image = pd::BuildMCUImage(file);
        if (image.bytes.size() != pd::kMCUImageSize || image.length > pd::kMCUImageSize) __builtin_trap();
        break;
    }
    }
    return 0;
}
