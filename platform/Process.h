#pragma once
// Runs a system tool and waits for it: the one way the stations start other
// programs (file-system tools on emulated disks, mount helpers).
#include <string>
#include <vector>

namespace platform {

struct ProcessResult {
    int exitCode = -1;   // -1 when the tool could not be started or did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// Starts argv[0] (searched on PATH) with the arguments argv[1..] and the
// process's environment plus `environment` ("NAME=VALUE" entries), and collects
// its output until it exits.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

}  // namespace platform
