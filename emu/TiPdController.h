#pragma once
// A TI PD controller behind an emulated bridge, reached by the 0xED command: an
// 8-byte block whose byte 1 is the function. Its data travels in the same
// request: function 6 carries the 64-byte row as data out, functions 1, 2 and 7
// answer 20 bytes as data in; the others move no data.
//
// Files of the bridge folder: ti.ini (version, loaded region, erased sectors,
// next row), ti_region1.bin and ti_region2.bin (the two flash regions).
// Rules: erase, write and verify act on the region loaded by function 3; rows
// must come in order from row 0 after function 5 and fit the erased sectors;
// verify answers byte 0 = 0 when every announced row arrived; a reset makes the
// first four bytes of region 1 the firmware version.
#include <cstdint>
#include <filesystem>
#include <string>

#include "emu/KeyValueFile.h"
#include "emu/ScsiTarget.h"

namespace emu {

constexpr uint8_t kOpTiPd = 0xED;
constexpr uint32_t kTiRowSize = 64;
constexpr uint32_t kTiAnswerSize = 20;
constexpr uint32_t kTiSectorSize = 4096;

class TiPdController {
public:
    explicit TiPdController(std::filesystem::path bridgeFolder);
    void Execute(ScsiExchange& exchange);
    std::string Region(int region, uint32_t size) const;

private:
    void Answer(ScsiExchange& exchange, const uint8_t* bytes);
    std::filesystem::path RegionFile(int region) const;

    std::filesystem::path m_Folder;
    KeyValueFile m_State;
};

}  // namespace emu
