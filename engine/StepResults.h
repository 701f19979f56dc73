#pragma once
// The engine's per-device run fields: one byte per MP step, 1 pass and 0 fail,
// cleared by the supervisor at the start of every run and written by the device's
// own worker. The result table and the MP result log read them.
#include <array>
#include <cstdint>
#include <string>

#include "config/LanguageTable.h"
#include "device/DeviceList.h"

namespace engine {

// Result words of the table and the result log.
inline constexpr const char* PassText = kLanguageTable.strPass;
inline constexpr const char* FailText = kLanguageTable.strFail;

struct StepResults {
    uint8_t ConfigWriteResult = 0;
    uint8_t UpdateFWResult = 0;
    uint8_t ConfigVerifyResult = 0;
    uint8_t ReloadFWResult = 0;
    uint8_t UsbStatusResult = 0;
    uint8_t ConfigCheckResult = 0;
    uint8_t PartitionResult = 0;
    uint8_t FormatResult = 0;
    uint8_t DoWrRdTestResult = 0;
    uint8_t DoPreloadResult = 0;
    uint8_t PartitionReached = 0;  // mark of the partition barrier
    uint8_t FormatStepDone = 0;    // mark of the format step
    // Why the device failed: the column of the first step that failed and its
    // cause in words, as the screen, the JSON and the trace show it; -1 and empty
    // while nothing failed.
    int FailColumn = -1;
    std::string FailCause;
};

// The cause shown for a step that failed only because one before it did.
inline constexpr const char* kEarlierStepFailed = "an earlier step failed";

// One record per position of the DeviceList.
using RunResults = std::array<StepResults, MAX_DEVICES>;

}  // namespace engine
