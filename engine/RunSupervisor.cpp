#include "engine/RunSupervisor.h"

#include <algorithm>

#include "engine/DeviceWorker.h"
#include "engine/MPResultLog.h"
#include "log/DebugLog.h"
#include "util/Clock.h"

namespace engine {

CRunSupervisor::CRunSupervisor(const RunContext& run, RunResources& resources, RunCallbacks callbacks)
    : m_Run(run), m_Resources(resources), m_Callbacks(std::move(callbacks))
{
}

void CRunSupervisor::StartWorkers()
{
    const RunParam& param = m_Run.param;
    for (uint8_t i = 0; i < MAX_DEVICES; ++i) {
        WorkerParam& worker = m_Resources.workers[i];
        worker.ucPort = i;
        worker.ucWorkerCount = param.ucThreadCount;
        worker.fProgress = 0.0f;
        worker.ullBytesDone = 0;
        worker.ullBytesTotal = 0;
        worker.ucTestItems = param.ucPort[i] ? std::max<uint8_t>(param.ucTestItemCount, 1) : 0;
        worker.ucState = param.ucPort[i] ? kWorkerRunning : kWorkerIdle;
        worker.ucPhase = kPhaseWaiting;
        worker.llEndMs = 0;
        worker.bPartitionReached = false;
    }
    for (uint8_t i = 0; i < MAX_DEVICES; ++i)
        if (param.ucPort[i])
            m_WorkerThreads.emplace_back([this, i](std::stop_token s) { CDeviceWorker(m_Run, m_Resources, i).Run(s); });
}

void CRunSupervisor::SuperviseWorkers(const std::stop_token& stop)
{
    const RunParam& param = m_Run.param;
    for (int pass = 0;; ++pass) {
        m_Resources.table.iAdvanceProgressActivity();
        float sum = 0;
        int finished = 0;
        for (int i = 0; i < MAX_DEVICES; ++i) {
            if (!param.ucPort[i]) continue;
            sum += m_Resources.workers[i].fProgress;
            finished += m_Resources.workers[i].ucState == kWorkerFinished;
        }
        m_Resources.table.vShowAverageProgress(static_cast<int>(sum / param.ucThreadCount));
        if (finished == param.ucThreadCount) break;
        if (pass + 1 >= m_Run.supervisionPolls || stop.stop_requested()) {
            DBG_ERR("%s:%d: MainThreadFun: TimeOut dwErrorCode %d", 0);
            for (int i = 0; i < MAX_DEVICES; ++i)
                m_TimedOut[i] = param.ucPort[i] && m_Resources.workers[i].ucState != kWorkerFinished;
            // Never killed: each worker is asked to stop and ends at its next step.
            for (auto& worker : m_WorkerThreads) worker.request_stop();
            break;
        }
        util::SleepMs(kSupervisionPollMs);
    }
    for (auto& worker : m_WorkerThreads) worker.join();
    for (int i = 0; i < MAX_DEVICES; ++i)
        if (m_TimedOut[i]) DBG_ERR("%s:%d: MainThreadFun: worker [%d] timed out; its device fails", i);
}

void CRunSupervisor::Run(const std::stop_token& stop)
{
    try {
        for (auto& results : m_Resources.results) results = StepResults{};
        m_Resources.table.vClearMainResultSubItemStatusTable();
        m_Resources.table.vSetProgressPosition(0);
        StartWorkers();
        SuperviseWorkers(stop);
    } catch (...) {
        // Threads could not be started: those that were are stopped and waited for.
        DBG_ERR("%s:%d: MainThreadFun: dwErrorCode %d", 0);
        for (auto& worker : m_WorkerThreads) worker.request_stop();
        m_WorkerThreads.clear();
        m_TimedOut.fill(true);
    }
    m_WorkerThreads.clear();
    m_Resources.table.vSetProgressPosition(100);
    m_Resources.observer.OnControlsEnabled(ControlSet::kNormal);
    const uint8_t runResult = Evaluate();
    util::SleepMs(1000, stop);
    m_Resources.table.vShowRunResult(runResult);
    // From here on the device list and the results belong to the engine thread again.
    m_Callbacks.evaluated(runResult, m_strRecordFailure);
    if (m_Run.flags.m_bAutoSafeRemove && m_Run.interactive &&
        util::SleepMs(static_cast<int64_t>(m_Run.removeSeconds) * 1000, stop))
        m_Callbacks.safelyRemove();
}

uint8_t CRunSupervisor::Evaluate()
{
    const RunFlags& f = m_Run.flags;
    const IniSettings& s = m_Run.settings;
    if (m_Run.bSerialReserved) m_Callbacks.serialAdvanced(m_Run.strNextSerial, m_Run.strNextComponentId);
    uint8_t runResult = kRunPass;
    for (int i = 0; i < MAX_DEVICES; ++i) {
        if (!m_Run.param.ucPort[i]) continue;
        const StepResults& r = m_Resources.results[i];
        const bool pass = !m_TimedOut[i] && m_Resources.devices.Devs[i].m_strIdentifyFailure.empty() &&
                          (!f.m_bUpdateFW || r.UpdateFWResult) &&
                          (!f.m_bReloadFW || r.ReloadFWResult) &&
                          (!f.m_bPartitionFormat || (r.PartitionResult && r.FormatResult)) &&
                          (!f.m_bWrRdTest || r.DoWrRdTestResult) && (!f.m_bPreload || r.DoPreloadResult) &&
                          (!f.m_bUsbStatusCheck || r.UsbStatusResult) && (!f.m_bConfigCheck || r.ConfigCheckResult);
        if (!pass) runResult = kRunFail;
        m_Resources.table.vCountDevice(pass);
        // Every run is recorded, unattended ones included: the result log is the
        // line's record of what left the station. A record that cannot be written
        // fails the run, whatever the drives did: the operator must know.
        std::string error;
        if (!vLogMPResult(i, m_Resources.devices.Devs[i], r, s, m_Run.serialWritten[i], &error)) {
            runResult = kRunFail;
            if (m_strRecordFailure.empty()) m_strRecordFailure = error;
        }
    }
    return runResult;
}

}  // namespace engine
