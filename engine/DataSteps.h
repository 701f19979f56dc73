#pragma once
// The data steps of a worker on its bridge's new volume: the write/read test
// with the speed test inside it (column 12), then the preload of the preload
// folder (column 13, one bridge at a time under the preload lock). Bytes moved
// are published per port through the worker's progress atomics.
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "engine/RunContext.h"
#include "platform/VolumeFiles.h"

namespace engine {

// Pause before the disk is opened again after a preload.
constexpr int64_t kPreloadSettleMs = 500;
// Speed test attempts, one per test position.
constexpr uint8_t kSpeedTestAttempts = 3;

// How the steps report to their worker.
struct StepHooks {
    std::function<void()> addIncrement;
    // Shows a step's column: PASS/FAIL when enabled, else empty.
    std::function<void(int column, bool enabled, uint8_t result)> show;
    // The cause of a failing step, for the operator.
    std::function<void(const std::string& cause)> failed;
};

class CDataSteps {
public:
    CDataSteps(const RunContext& run, RunResources& resources, uint8_t port, StepHooks hooks);
    // Step 7, then step 8; returns the running result.
    uint8_t Run(uint8_t r, const std::stop_token& stop);

private:
    // The speed test: up to three attempts against the thresholds, as judged by
    // the measured speeds. True when an attempt passed.
    bool SpeedTest(char letter);
    uint8_t WriteReadStep(uint8_t r);
    uint8_t WriteReadTest();
    uint8_t PreloadStep(uint8_t r);
    uint8_t Preload();
    // The files of the bridge's own volume at `letter`, else nullptr (cause set).
    std::unique_ptr<platform::IVolumeFiles> OwnVolume(char letter);
    // The lock, dismount, unlock and update sequence on the disk after a preload.
    void RefreshDisk();
    void StartBytes(uint64_t total);
    void AddBytes(uint64_t bytes);
    uint8_t Fail(const std::string& cause);

    const RunContext& m_Run;
    RunResources& m_Resources;
    const uint8_t m_Port;
    DeviceInfo& m_Device;
    StepResults& m_Results;
    WorkerParam& m_Worker;
    StepHooks m_Hooks;
};

}  // namespace engine
