#pragma once
// The supervising thread of one run (MainThreadFun): starts one worker per taking
// part position, shows the average progress, ends the run at the supervision
// time-out or a stop request, waits until every worker has ended, evaluates the
// devices, counts them, writes the result log and reports to the engine thread.
#include <array>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/RunContext.h"

namespace engine {

class CRunSupervisor {
public:
    CRunSupervisor(const RunContext& run, RunResources& resources, RunCallbacks callbacks);
    void Run(const std::stop_token& stop);

private:
    void StartWorkers();
    // Polls until every worker finished, the time-out passed or a stop was asked
    // for; then asks the workers still running to stop and waits for each to end.
    void SuperviseWorkers(const std::stop_token& stop);
    uint8_t Evaluate();

    const RunContext& m_Run;
    RunResources& m_Resources;
    RunCallbacks m_Callbacks;
    std::vector<std::jthread> m_WorkerThreads;  // touched by the supervising thread only
    std::array<bool, MAX_DEVICES> m_TimedOut{};  // workers still running at the time-out
    std::string m_strRecordFailure;              // why a result record was not written
};

}  // namespace engine
