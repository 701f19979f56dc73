#pragma once
// The partition-and-format step of a worker: the disk of the device gets one
// partition (one disk at a time, under the partition lock), every worker of the
// run waits at the partition barrier, then each formats its volume (one at a
// time, under the format lock). Column 11 shows the partition result, then the
// format result.
#include <cstdint>
#include <stop_token>

#include "engine/DataSteps.h"
#include "engine/RunContext.h"

namespace engine {

// Barrier poll period.
constexpr int64_t kPartitionBarrierPollMs = 100;

// False while a worker formats a volume.
bool FormatIdle();

// The first drive letter from E to Z with no root on the station; kNoDriveLetter
// when every letter is taken.
char FirstFreeDriveLetter(platform::IStation& station);

class CDiskSteps {
public:
    CDiskSteps(const RunContext& run, RunResources& resources, uint8_t port, StepHooks hooks);
    // Runs the step when the run partitions and formats (else column 11 is
    // cleared) and returns the running result. FormatStepDone is set in every case.
    uint8_t Run(uint8_t r, const std::stop_token& stop);

private:
    uint8_t Partition(uint8_t r);
    uint8_t Format(uint8_t r);
    void WaitAtBarrier(const std::stop_token& stop);
    uint8_t Fail(const std::string& cause);

    const RunContext& m_Run;
    RunResources& m_Resources;
    const uint8_t m_Port;
    DeviceInfo& m_Device;
    StepResults& m_Results;
    StepHooks m_Hooks;
};

}  // namespace engine
