#include "engine/MPEngine.h"

#include <algorithm>

#include "config/Ini.h"
#include "engine/DeviceScan.h"
#include "engine/MPResultLog.h"
#include "engine/RunSupervisor.h"
#include "platform/FileLock.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/Text.h"
#include "util/USBUtility.h"

namespace engine {

namespace {
// A wait of `realMs` milliseconds, at most a year (longer ones overflow the clock).
std::chrono::milliseconds WaitLimit(int64_t realMs)
{
    constexpr int64_t kYearMs = 365LL * 24 * 3600 * 1000;
    return std::chrono::milliseconds(std::clamp<int64_t>(realMs, 0, kYearMs));
}
}  // namespace

CMPEngine::CMPEngine(RunObserver& observer, platform::IStation& station)
    : m_Observer(observer),
      m_Station(station),
      m_QueuedObserver([this](ObserverCall call) { PostObserverCall(std::move(call)); }),
      m_Dev(station),
      m_Pcie(station),
      m_Table(&m_QueuedObserver)
{
    m_Dev.SetDeviceList(&m_DevList);
    m_Table.vSetMainResultItemTable();
    m_Limitation.vLoadLimitationTableFromFolder(CUSBUtility::Instance().GetProgramFolder());
    Publish();
    m_EngineThread = std::jthread([this] { EngineThreadFun(); });
    station.RegisterDeviceNotification([this](platform::DeviceChange change) { OnUSBDeviceChange(change); });
}

CMPEngine::~CMPEngine()
{
    // No new notification after this; one being delivered has only posted.
    m_Station.UnregisterDeviceNotification();
    {
        util::MutexLock lock(m_QueueLock);
        m_bStopping = true;
    }
    m_QueueWake.notify_all();
    m_EngineThread.join();
}

// --- the queue and the engine thread ---------------------------------------------------

void CMPEngine::Post(Request request)
{
    {
        util::MutexLock lock(m_QueueLock);
        m_Requests.push_back(std::move(request));
    }
    m_QueueWake.notify_all();
}

void CMPEngine::PostObserverCall(ObserverCall call)
{
    {
        util::MutexLock lock(m_QueueLock);
        m_ObserverCalls.push_back(std::move(call));
    }
    m_QueueWake.notify_all();
}

bool CMPEngine::IdleLocked() const
{
    return m_Requests.empty() && m_ObserverCalls.empty() && !m_bHandling && !m_bThreadsAlive;
}

void CMPEngine::EngineThreadFun()
{
    bool threadsAlive = false;
    for (;;) {
        std::deque<Request> requests;
        std::vector<ObserverCall> calls;
        {
            util::MutexLock lock(m_QueueLock);
            m_bHandling = false;
            m_bThreadsAlive = threadsAlive;
            m_QueueWake.notify_all();  // a new snapshot, perhaps idle: waiters look again
            lock.Wait(m_QueueWake, [this]() REQUIRES(m_QueueLock) {
                return m_bStopping || !m_Requests.empty() || !m_ObserverCalls.empty();
            });
            if (m_bStopping) break;
            requests.swap(m_Requests);
            calls.swap(m_ObserverCalls);
            m_bHandling = true;
        }
        for (const auto& call : calls) Notify(call);
        for (auto& request : requests) request();
        Publish();
        threadsAlive = m_ScanThread.joinable() || m_MainThread.joinable() || m_RemoveThread.joinable();
    }
    ShutDownThreads();
    // Work that never ran breaks its promise now: whoever waits for it learns at once.
    m_DeviceWork.clear();
    // What the stopped threads still had to show reaches the front end.
    std::vector<ObserverCall> calls;
    {
        util::MutexLock lock(m_QueueLock);
        calls.swap(m_ObserverCalls);
        m_Requests.clear();
    }
    for (const auto& call : calls) Notify(call);
    Publish();
}

void CMPEngine::ShutDownThreads()
{
    // Each thread is asked to stop and waited for; none is killed. The supervisor
    // asks its workers to stop and waits for them before it ends.
    m_Dev.m_ucScanInterrupt = 1;
    for (std::jthread* thread : {&m_ScanThread, &m_MainThread, &m_RemoveThread}) {
        thread->request_stop();
        if (thread->joinable()) thread->join();
    }
}

void CMPEngine::Publish()
{
    auto next = std::make_shared<EngineSnapshot>(*Snapshot());
    next->activity = m_Activity;
    next->runResult = m_ucRunResult;
    next->recordFailure = m_strRecordFailure;
    next->settings = m_Settings;
    next->settingsRevision = m_uSettingsRevision;
    next->settingsTicket = m_uSettingsTicket;
    next->exitCode = m_ExitCode;
    next->exitReason = m_strExitReason;
    next->resetCount = m_Dev.m_iResetCount.load();
    next->relinkProbes = m_Dev.m_iRelinkProbes.load();
    // The device list and the results are the engine thread's only between scans
    // and runs; meanwhile the last published ones stand.
    if (!m_ScanThread.joinable() && !m_Activity.running) {
        next->devices = m_DevList;
        next->pcieCount = m_iPcieCount;
        next->results = m_Results;
    }
    next->table = m_Table.View();
    if (m_Run) PublishPorts(*m_Run, next->ports);
    util::MutexLock lock(m_SnapshotLock);
    m_Snapshot = std::move(next);
}

void CMPEngine::PublishPorts(const RunContext& run, std::array<PortView, MAX_DEVICES>& ports) const
{
    // The worker fields read here are atomics: safe while the workers run.
    const int64_t now = util::NowMs();
    for (int i = 0; i < MAX_DEVICES; ++i) {
        PortView& port = ports[i];
        port.taking = run.param.ucPort[i] != 0;
        if (!port.taking) continue;
        const WorkerParam& worker = m_Workers[i];
        port.phase = PortPhaseText(worker.ucPhase);
        port.percent = std::clamp(static_cast<int>(worker.fProgress.load()), 0, 100);
        port.bytesTotal = worker.ullBytesTotal;
        port.bytesDone = std::min<uint64_t>(worker.ullBytesDone, port.bytesTotal);
        const int64_t end = worker.llEndMs;
        port.elapsedMs = (end != 0 ? end : now) - run.llStartMs;
        port.serialWritten = run.serialWritten[i];
        port.firmwareWritten = run.firmwareWritten[i];
    }
}

std::shared_ptr<const EngineSnapshot> CMPEngine::Snapshot() const
{
    util::MutexLock lock(m_SnapshotLock);
    return m_Snapshot ? m_Snapshot : std::make_shared<const EngineSnapshot>();
}

void CMPEngine::WaitUntilIdle()
{
    util::MutexLock lock(m_QueueLock);
    lock.Wait(m_QueueWake, [this]() REQUIRES(m_QueueLock) { return IdleLocked(); });
}

bool CMPEngine::WaitUntilIdleFor(int64_t realMs)
{
    util::MutexLock lock(m_QueueLock);
    return lock.WaitFor(m_QueueWake, WaitLimit(realMs), [this]() REQUIRES(m_QueueLock) { return IdleLocked(); });
}

bool CMPEngine::WaitUntil(const std::function<bool(const EngineSnapshot&)>& ready, int64_t realMs)
{
    util::MutexLock lock(m_QueueLock);
    return lock.WaitFor(m_QueueWake, WaitLimit(realMs), [&] { return ready(*Snapshot()); });
}

// --- requests ----------------------------------------------------------------------------

uint64_t CMPEngine::SetSettings(const IniSettings& settings)
{
    return UpdateSettings([this, settings](IniSettings& s) {
        s = settings;
        m_strStoredSerial = settings.serial_number;
    });
}

uint64_t CMPEngine::UpdateSettings(std::function<void(IniSettings&)> change)
{
    const uint64_t ticket = ++m_uSettingsTickets;
    Post([this, ticket, change = std::move(change)] {
        change(m_Settings);
        ++m_uSettingsRevision;
        m_uSettingsTicket = ticket;
    });
    return ticket;
}

void CMPEngine::SetInteractive(bool interactive)
{
    Post([this, interactive] { m_bInteractive = interactive; });
}

void CMPEngine::SetSendSHA256Key(bool send)
{
    Post([this, send] { m_bSendSHA256Key = send; });
}

void CMPEngine::SetRemoveSeconds(uint32_t seconds)
{
    Post([this, seconds] { m_uRemoveSeconds = seconds; });
}

void CMPEngine::SetSupervisionPolls(int polls)
{
    Post([this, polls] { m_iSupervisionPolls = polls; });
}

void CMPEngine::SetCommandLine(const CmdLineInit& commandLine)
{
    Post([this, commandLine] {
        m_CommandLine = commandLine;
        m_bInteractive = commandLine.bInteractive;
    });
}

void CMPEngine::TriggerScanThread()
{
    Post([this] { HandleScanRequest(); });
}

void CMPEngine::OnUSBDeviceChange(platform::DeviceChange change)
{
    Post([this, change] { HandleDeviceChange(change); });
}

std::future<StartResult> CMPEngine::OnBnClickedButtonStart(std::string snText)
{
    auto done = std::make_shared<std::promise<StartResult>>();
    auto result = done->get_future();
    Post([this, snText = std::move(snText), done]() mutable { HandleStart(std::move(snText), *done); });
    return result;
}

void CMPEngine::OnBnClickedButtonClearcount()
{
    Post([this] { m_Table.vClearCount(); });
}

void CMPEngine::OnBnClickedButtonSafelyRemove()
{
    Post([this] { HandleSafelyRemove(); });
}

void CMPEngine::StopRun()
{
    Post([this] {
        if (m_Activity.running) m_MainThread.request_stop();
    });
}

void CMPEngine::PostDeviceWork(DeviceWork work)
{
    Post([this, work = std::move(work)]() mutable {
        m_DeviceWork.push_back(std::move(work));
        RunDeviceWork();
    });
}

// --- handlers (engine thread) ---------------------------------------------------------------

bool CMPEngine::DevicesInUse() const
{
    return m_Activity.scanning || m_Activity.running || m_ScanThread.joinable() || m_RemoveThread.joinable();
}

void CMPEngine::RunDeviceWork()
{
    while (!m_DeviceWork.empty() && !DevicesInUse()) {
        DeviceWork work = std::move(m_DeviceWork.front());
        m_DeviceWork.pop_front();
        EngineAccess access{m_Dev, m_Pcie, m_DevList, m_Settings};
        work(access);
    }
}

void CMPEngine::Exit(int code, const std::string& reason)
{
    if (m_ExitCode) return;
    m_ExitCode = code;
    m_strExitReason = reason;
    if (!reason.empty()) DBG_ERR("%s:%d: exit %d: %s", code, reason.c_str());
    m_QueuedObserver.OnExitRequest(code);
}

void CMPEngine::HandleDeviceChange(platform::DeviceChange change)
{
    if (m_ExitCode) return;  // the process is ending: no new scan, no new run
    const bool arrival = change == platform::DeviceChange::kArrival;
    // While a run goes on the list belongs to the workers: bridges leave and come
    // back by design, and a newly plugged one waits for the next scan.
    if (m_Activity.running || m_Activity.removing) {
        DBG_MSG("%s:%d: OnUSBDeviceChange: %s ignored, a run or a removal is active",
                arrival ? "DBT_DEVICEARRIVAL" : "DBT_DEVICEREMOVECOMPLETE");
        return;
    }
    if (arrival) DBG_MSG("%s:%d: trigger scan thread, DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE");
    else DBG_MSG("%s:%d: trigger scan thread, DBT_DEVICEREMOVECOMPLETE");
    if (!arrival) m_Table.vHideResultIndicators();
    HandleScanRequest();
}

void CMPEngine::HandleScanRequest()
{
    if (m_ScanThread.joinable()) {
        // The running scan is cut short and one more follows it, so the list ends
        // up matching what is plugged in now.
        DBG_WRN("%s:%d:   ScanThreadFun is running...Exit!!!, dwErrorCode =%d", 0);
        m_Dev.m_ucScanInterrupt = 1;
        m_bRescanPending = true;
        return;
    }
    StartScan();
}

void CMPEngine::StartScan()
{
    m_Activity.scanning = true;
    m_QueuedObserver.OnStartEnabled(false);
    m_Table.vResetProgress();
    m_ScanThread = std::jthread([this, settings = m_Settings] {
        ScanThreadFun({settings, m_Dev, m_Pcie, m_Table, m_QueuedObserver, m_DevList, m_iPcieCount});
        Post([this] { HandleScanFinished(); });
    });
}

void CMPEngine::HandleScanFinished()
{
    m_ScanThread.join();
    m_Dev.m_ucScanInterrupt = 0;
    if (m_bRescanPending) {
        m_bRescanPending = false;
        StartScan();
        return;
    }
    m_Activity.scanning = false;
    m_QueuedObserver.OnStartEnabled(true);
    if (m_DeferredStart) {
        auto [snText, done] = std::move(*m_DeferredStart);
        m_DeferredStart.reset();
        HandleStart(std::move(snText), *done);
    } else if (m_DevList.DevNums + static_cast<uint32_t>(m_iPcieCount) > 0 && m_CommandLine.CommandIndex > 0) {
        vCmdLineHandler();
    } else if (m_bInteractive && m_DevList.DevNums > 0 && m_Settings.SN_EditType == kSnFromBarcode) {
        // Barcode serial numbers: the operator scans one for the devices just found.
        DBG_MSG("%s:%d: OpenSNAndPStringEnteringDialog: this->m_DevList.DevNums : %i",
                static_cast<int>(m_DevList.DevNums));
        m_QueuedObserver.OnSerialNumberEntryWanted(m_DevList.DevNums);
    }
    RunDeviceWork();
}

void CMPEngine::JoinEndedRun()
{
    // The run's context stays until the next Start: the snapshot's port view reads it.
    if (m_MainThread.joinable()) m_MainThread.join();
}

std::string CMPEngine::AcquireRunLocks()
{
    // A second run on the same tool folder would write the same settings,
    // counters and result log; one on the same station, the same bridges.
    const std::pair<std::string, const char*> locks[] = {
        {CUSBUtility::Instance().GetProgramFolder() + "/.deveda-run.lock", "this tool folder"},
        {m_Station.RunLockPath(), "this station"},
    };
    for (const auto& [path, what] : locks) {
        std::string holder;
        bool held = false;
        auto lock = platform::FileLock::Acquire(path, false, holder, &held);
        if (!lock) {
            m_RunLocks.clear();
            if (held) return std::string("Another MP run uses ") + what + ": " + holder;
            return std::string("The run cannot take the lock of ") + what + ", so nothing is written: " + holder;
        }
        m_RunLocks.push_back(std::move(lock));
    }
    return {};
}

void CMPEngine::HandleStart(std::string snText, std::promise<StartResult>& done)
{
    if (m_Activity.scanning) {
        // The Start button is off while a scan runs; a Start that came anyway
        // waits for the scan's list.
        if (m_DeferredStart) m_DeferredStart->second->set_value({StartOutcome::kRefused, m_DeferredStart->first});
        m_DeferredStart.emplace(std::move(snText), std::make_shared<std::promise<StartResult>>(std::move(done)));
        return;
    }
    if (m_Activity.running || m_Activity.removing) {
        DBG_WRN("%s:%d: OnBnClickedButtonStart: a run or a removal is going on (%d), Start ignored",
                m_Activity.running);
        done.set_value({StartOutcome::kRefused, snText});
        return;
    }
    if (m_MainThread.joinable()) {
        // The last run waits for its automatic safe removal: the operator wants
        // the bridges again, so that removal is called off.
        DBG_MSG("%s:%d: OnBnClickedButtonStart: automatic safe removal of the last run cancelled");
        m_MainThread.request_stop();
        JoinEndedRun();
    }
    m_Table.vSetRunStartBarColour(m_DevList.Devs[0].m_strUsbConnectionStatus);
    if (const std::string refusal = AcquireRunLocks(); !refusal.empty()) {
        DBG_ERR("%s:%d: OnBnClickedButtonStart: %s", refusal.c_str());
        ShowOperatorMessage(&m_Observer, m_bInteractive, refusal, kMsgWarning);
        if (!m_bInteractive) Exit(kExitPreCheckFail);
        done.set_value({StartOutcome::kRefused, snText});
        return;
    }
    StartDecision decision;
    try {
        decision = DecideStart({m_Settings, snText, m_strStoredSerial, m_DevList, m_iPcieCount, m_Limitation,
                                &m_Observer, m_bInteractive});
        ++m_uSettingsRevision;  // the checks may pad the serial number into the settings
        if (decision.run.bSerialReserved) m_strStoredSerial = m_Settings.serial_number;
    } catch (...) {
        DBG_ERR("%s:%d: OnBnClickedButtonStart: dwErrorCode %d", 0);
        decision = {StartOutcome::kRefused, kExitPreCheckFail, {}, {}};
    }
    if (decision.outcome != StartOutcome::kStarted) {
        m_RunLocks.clear();
        if (!decision.reason.empty()) m_QueuedObserver.OnStartRefused(decision.reason);
        if (decision.outcome == StartOutcome::kRefused && !m_bInteractive) Exit(decision.exitCode);
        done.set_value({decision.outcome, snText});
        return;
    }
    m_Table.vHideResultIndicators();
    RunContext& run = decision.run;
    run.flags.m_bSendSHA256Key = m_bSendSHA256Key ? 1 : 0;
    // Key support: checked on the first device when the run's chip filter
    // (the settings' target chip) names the "101" chips.
    if (strChipTypeFilterFromTargetChip(m_Settings.target_chip) == "101") {
        run.flags.m_bSupportSHA256 = m_Dev.vCheckSupportSHA256(0);
        DBG_MSG(run.flags.m_bSupportSHA256 ? "%s:%d: vCheckSupportSHA256 ucTargetNumber=[%d] => SUPPORT SHA-256."
                                           : "%s:%d: vCheckSupportSHA256 ucTargetNumber=[%d] => NOT SUPPORT SHA-256.",
                0);
    } else {
        DBG_MSG("%s:%d: vCheck419 ucTargetNumber=[%d] => CHIP IS NOT 4419.", 0);
    }
    run.removeSeconds = m_uRemoveSeconds;
    run.llStartMs = util::NowMs();
    for (auto& worker : m_Workers) {
        worker.ucPhase = kPhaseWaiting;
        worker.llEndMs = 0;
        worker.fProgress = 0.0f;
    }
    run.supervisionPolls = m_iSupervisionPolls;
    m_Dev.m_iResetCount = 0;
    m_QueuedObserver.OnControlsEnabled(ControlSet::kDisabled);
    m_Run = std::make_unique<RunContext>(std::move(run));
    m_Activity.running = true;
    RunCallbacks callbacks{
        [this](const std::string& serial, const std::string& componentId) {
            Post([this, serial, componentId] { HandleSerialAdvanced(serial, componentId); });
        },
        [this](uint8_t runResult, const std::string& recordFailure) {
            Post([this, runResult, recordFailure] { HandleRunEvaluated(runResult, recordFailure); });
        },
        [this] { Post([this] { HandleSafelyRemove(); }); },
    };
    const uint64_t generation = ++m_uRunGeneration;
    m_MainThread = std::jthread([this, generation, callbacks = std::move(callbacks)](std::stop_token stop) {
        RunResources resources{m_Dev, m_Pcie, m_Table, m_QueuedObserver, m_DevList, m_Results, m_Workers};
        CRunSupervisor(*m_Run, resources, callbacks).Run(stop);
        Post([this, generation] {
            // A Start may already have joined this run and begun the next one.
            if (generation == m_uRunGeneration) JoinEndedRun();
        });
    });
    done.set_value({StartOutcome::kStarted, snText});
}

void CMPEngine::HandleSerialAdvanced(const std::string& serialNumber, const std::string& componentId)
{
    // The stored counter moved on when the run reserved its range.
    SetIniString(m_Settings.serial_number, serialNumber);
    SetIniString(m_Settings.USB4_ComponentID, componentId);
    ++m_uSettingsRevision;
}

void CMPEngine::HandleRunEvaluated(uint8_t runResult, const std::string& recordFailure)
{
    m_ucRunResult = runResult;
    m_strRecordFailure = recordFailure;
    if (!recordFailure.empty()) m_QueuedObserver.OnRecordFailed(recordFailure);
    m_Activity.running = false;
    m_RunLocks.clear();
    if (!m_bInteractive) Exit(runResult == kRunFail ? -1 : 0);
    RunDeviceWork();
}

void CMPEngine::HandleSafelyRemove()
{
    if (m_Activity.running || m_Activity.scanning || m_RemoveThread.joinable()) {
        DBG_WRN("%s:%d: USBRemoveThreadFun: a run, a scan or a removal is going on (%d), not started",
                m_Activity.running);
        return;
    }
    m_Activity.removing = true;
    m_QueuedObserver.OnControlsEnabled(ControlSet::kDisabled);
    m_RemoveThread = std::jthread([this] {
        int removed = 0, failed = 0;
        try {
            for (uint8_t i = 0; i < MAX_DEVICES; ++i) {
                const DeviceInfo& device = m_DevList.Devs[i];
                if (device.m_ucDevIdx == 255 || device.m_strFWVersion.empty() || device.IsPcie) continue;
                if (m_Dev.vDisconnectAllDevice(i)) {
                    ++removed;
                } else {
                    ++failed;
                    DBG_ERR("%s:%d: USBRemoveThreadFun: vSafeRemoveUSB Fail , [%d] ", i);
                }
            }
        } catch (...) {
            DBG_ERR("%s:%d: USBRemoveThreadFun: dwErrorCode %d", 0);
        }
        Post([this, removed, failed] { HandleRemovalFinished(removed, failed); });
    });
}

void CMPEngine::HandleRemovalFinished(int removed, int failed)
{
    m_RemoveThread.join();
    m_Activity.removing = false;
    m_QueuedObserver.OnDrivesRemoved(removed, failed);
    m_QueuedObserver.OnControlsEnabled(ControlSet::kNormal);
    RunDeviceWork();
}

std::string CMPEngine::MPResultLogPath() const
{
    return strMPResultLogPath(CUSBUtility::Instance().GetProgramFolder(), util::LocalTimeNow());
}

}  // namespace engine
