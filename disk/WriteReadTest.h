#pragma once
// The file write/read test on a bridge's volume: the test file of the tool's
// folder is read, written to the volume, read back and compared, `count` times,
// with the target deleted after every cycle.
#include <cstdint>
#include <string>

#include "disk/VolumeFileIo.h"
#include "platform/VolumeFiles.h"

namespace disk {

// Largest test file (180 MiB).
constexpr uint64_t kMaxWrRdTestFileSize = 0xB400000;

struct WrRdTestPlan {
    std::string sourcePath;  // the test file in the tool's folder
    std::string fileName;    // its name, also on the volume
    uint32_t fileSize = 0;   // S, taken when Start was pressed
    uint32_t count = 0;      // cycles
    uint8_t port = 0;
    char driveLetter = 0;
};

// The free-space rule: a known free space (MiB, -1 unknown) below S * 10 in MiB fails.
bool FreeSpaceHoldsTestFile(int64_t freeMiB, uint32_t fileSize);

// Runs the cycles with two buffers of S bytes, freed at the end. Returns empty
// when every cycle passed, else the cause of the first failure (also logged with
// the tool's texts). Every byte moved is reported.
std::string RunWrRdCycles(platform::IVolumeFiles& volume, const WrRdTestPlan& plan, const ByteProgress& progress);

}  // namespace disk
