#pragma once
// The MP engine of the main window without the window.
//
// Threads and what each owns:
// - the engine thread (started by the constructor, joined by the destructor) does
//   what the window thread did: it handles every request (device arrival and
//   removal, Start, Safely Remove, Clear Count, settings changes, the command
//   line's action) one at a time and in order, calls the front end's observer,
//   and publishes snapshots. It owns the settings, the device list between scans
//   and runs, and the thread objects below; it alone starts and joins them.
// - a scan thread, while a scan runs, owns the device list and the PCIe count.
// - the supervisor of a run owns the run's results and, through its workers, the
//   device list; each worker writes only its own position. The run reads a copy
//   of the settings taken at Start.
// - the safe-removal thread reads the device list while it runs (no scan and no
//   run are started meanwhile).
// Every other thread reports to the engine thread only by posting to its queue.
// Front ends read EngineSnapshot and change state only through the requests; the
// observer is called on the engine thread, never while an engine lock is held.
//
// Shutdown (destructor): device notifications are unregistered; the engine thread
// is told to stop; it asks the scan, the supervisor (which asks its workers) and
// the removal to stop and joins each of them, never killing one; then the
// destructor joins the engine thread, and only then do the members go.
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "config/CmdLine.h"
#include "config/IniSettings.h"
#include "config/LimitationTable.h"
#include "device/BrvtUSBDev.h"
#include "device/pcie/Brv795xPcieCtrl.h"
#include "engine/EngineSnapshot.h"
#include "engine/ObserverQueue.h"
#include "engine/ResultTable.h"
#include "engine/RunContext.h"
#include "engine/RunObserver.h"
#include "engine/StartChecks.h"
#include "platform/FileLock.h"
#include "platform/Station.h"
#include "util/ThreadAnnotations.h"

namespace engine {

// What work run on the engine thread may use: the one device-access object, the
// PCIe path, the device list of the last scan and the settings the next Start takes.
struct EngineAccess {
    CBrvtUSBDev& dev;
    CBrv795xPcieCtrl& pcie;
    const DeviceList& devices;
    const IniSettings& settings;
};

struct StartResult {
    StartOutcome outcome = StartOutcome::kRefused;
    std::string snText;  // the serial-number edit after Start (padded, or cleared by a refusal)
};

class CMPEngine {
public:
    CMPEngine(RunObserver& observer, platform::IStation& station);
    ~CMPEngine();
    CMPEngine(const CMPEngine&) = delete;
    CMPEngine& operator=(const CMPEngine&) = delete;

    // --- requests: from any thread, handled on the engine thread in order ----------
    // Replaces the settings the next Start takes (the window's controls). Returns
    // the change's ticket: the snapshot's settingsTicket reaches it once the
    // change is in the engine's settings.
    uint64_t SetSettings(const IniSettings& settings) EXCLUDES(m_QueueLock);
    // Changes some settings in place, on the engine thread; returns its ticket as above.
    uint64_t UpdateSettings(std::function<void(IniSettings&)> change) EXCLUDES(m_QueueLock);
    // False: command-line mode (messages to "ProgramMSG.txt", exit codes).
    void SetInteractive(bool interactive) EXCLUDES(m_QueueLock);
    // The key dialog's choice: the workers send the key first.
    void SetSendSHA256Key(bool send) EXCLUDES(m_QueueLock);
    // Seconds between the end of a run and the automatic safe removal.
    void SetRemoveSeconds(uint32_t seconds) EXCLUDES(m_QueueLock);
    // The command line's action, run after a scan that found devices.
    void SetCommandLine(const CmdLineInit& commandLine) EXCLUDES(m_QueueLock);
    // A scan, as after a device change (the first scan of the program included).
    void TriggerScanThread() EXCLUDES(m_QueueLock);
    // A device arrived or left (the station's notification): a new scan, unless a
    // run or a removal is going on.
    void OnUSBDeviceChange(platform::DeviceChange change) EXCLUDES(m_QueueLock);
    // The Start button with the serial-number edit's text. A Start while a scan
    // runs waits for the scan; one during a run or a removal is refused; one during
    // the delay before an automatic safe removal cancels that removal. The future
    // is ready once the checks are done; do not wait for it on a thread that must
    // answer the observer.
    std::future<StartResult> OnBnClickedButtonStart(std::string snText) EXCLUDES(m_QueueLock);
    void OnBnClickedButtonClearcount() EXCLUDES(m_QueueLock);
    // Safely removes every listed bridge (flush, standby, disconnect) in its own thread.
    void OnBnClickedButtonSafelyRemove() EXCLUDES(m_QueueLock);
    // Asks a running run to stop: its workers end at their next step and fail.
    void StopRun() EXCLUDES(m_QueueLock);
    // Runs `work` on the engine thread at a moment when no scan, run or removal
    // uses the devices (it waits for one that is going on) and hands back its
    // result. The engine's requests wait while it runs. When the engine ends
    // before the work ran, the future holds a std::future_error (broken promise).
    // As for Start: do not wait for the future on a thread that must answer the
    // observer.
    template <class Work>
    auto RunOnEngine(Work work) -> std::future<std::invoke_result_t<Work&, EngineAccess&>>
    {
        using Result = std::invoke_result_t<Work&, EngineAccess&>;
        auto task = std::make_shared<std::packaged_task<Result(EngineAccess&)>>(std::move(work));
        auto result = task->get_future();
        PostDeviceWork([task](EngineAccess& access) { (*task)(access); });
        return result;
    }

    // --- state ----------------------------------------------------------------------
    // The engine's state as last published; never null.
    std::shared_ptr<const EngineSnapshot> Snapshot() const EXCLUDES(m_SnapshotLock);
    // Waits until every request posted so far is handled and no scan, run or
    // removal is going on (a run still waiting for its automatic removal counts as
    // going on).
    void WaitUntilIdle() EXCLUDES(m_QueueLock);
    // Waits like WaitUntilIdle for at most `realMs` real milliseconds; false at the time-out.
    bool WaitUntilIdleFor(int64_t realMs) EXCLUDES(m_QueueLock);
    // Waits until a published snapshot satisfies `ready`, for at most `realMs` real
    // milliseconds; false at the time-out.
    bool WaitUntil(const std::function<bool(const EngineSnapshot&)>& ready, int64_t realMs) EXCLUDES(m_QueueLock);
    std::string MPResultLogPath() const;

    // Lowers the supervision time-out (number of 500 ms polls), for tests of slow workers.
    void SetSupervisionPolls(int polls) EXCLUDES(m_QueueLock);

private:
    using Request = std::function<void()>;
    using DeviceWork = std::function<void(EngineAccess&)>;
    void PostDeviceWork(DeviceWork work) EXCLUDES(m_QueueLock);
    // Runs the waiting device work while the devices are free.
    void RunDeviceWork();
    bool DevicesInUse() const;
    void Post(Request request) EXCLUDES(m_QueueLock);
    void PostObserverCall(ObserverCall call) EXCLUDES(m_QueueLock);
    void EngineThreadFun() EXCLUDES(m_QueueLock);
    void Publish() EXCLUDES(m_SnapshotLock);
    void PublishPorts(const RunContext& run, std::array<PortView, MAX_DEVICES>& ports) const;
    bool IdleLocked() const REQUIRES(m_QueueLock);
    // The observer, called on the engine thread.
    void Notify(const ObserverCall& call) { call(m_Observer); }
    // Asks the program to end with `code`; `reason` says why where the code alone does not.
    void Exit(int code, const std::string& reason = {});
    void ShutDownThreads();

    // Handlers, engine thread only.
    void HandleDeviceChange(platform::DeviceChange change);
    void HandleScanRequest();
    void StartScan();
    void HandleScanFinished();
    void HandleStart(std::string snText, std::promise<StartResult>& done);
    void HandleRunEvaluated(uint8_t runResult, const std::string& recordFailure);
    void HandleSerialAdvanced(const std::string& serialNumber, const std::string& componentId);
    void HandleSafelyRemove();
    void HandleRemovalFinished(int removed, int failed);
    void JoinEndedRun();
    // Takes the run locks of the tool folder and of the station; on a refusal
    // gives them all back and returns the reason naming the holder.
    std::string AcquireRunLocks();
    bool RunActivity() const { return m_Activity.running; }
    // The command-line actions (CommandLineActions.cpp).
    void vCmdLineHandler();

    RunObserver& m_Observer;
    platform::IStation& m_Station;

    // --- engine thread's state (and lent to the scan, run or removal it started) ---
    QueuedObserver m_QueuedObserver;  // for the other threads and the result table
    CBrvtUSBDev m_Dev;
    CBrv795xPcieCtrl m_Pcie;
    CResultTable m_Table;
    IniSettings m_Settings{};
    // The serial number as the settings file last held it (loaded by SetSettings
    // or stored by a run's reservation): an edit that differs from it was typed.
    std::string m_strStoredSerial;
    uint64_t m_uSettingsRevision = 0;  // counts the changes of m_Settings
    uint64_t m_uSettingsTicket = 0;    // the last front-end change handled
    bool m_bInteractive = true;
    bool m_bSendSHA256Key = false;
    uint32_t m_uRemoveSeconds = 0;
    int m_iSupervisionPolls = kSupervisionPolls;
    CmdLineInit m_CommandLine;
    CLimitationTable m_Limitation;  // "LimitationTable.ini" of the tool's folder, when there is one
    DeviceList m_DevList;
    int m_iPcieCount = 0;
    RunResults m_Results{};
    std::array<WorkerParam, MAX_DEVICES> m_Workers;
    EngineActivity m_Activity;
    uint8_t m_ucRunResult = kRunNone;
    std::string m_strRecordFailure;  // of the last evaluated run
    std::string m_strExitReason;
    std::optional<int> m_ExitCode;
    bool m_bRescanPending = false;
    std::optional<std::pair<std::string, std::shared_ptr<std::promise<StartResult>>>> m_DeferredStart;
    std::deque<DeviceWork> m_DeviceWork;  // posted work waiting for the devices to be free
    std::unique_ptr<RunContext> m_Run;  // of the last run started (its supervisor may still be alive)
    // The run locks of the tool folder and of the station, from Start to evaluation.
    std::vector<std::unique_ptr<platform::FileLock>> m_RunLocks;
    uint64_t m_uRunGeneration = 0;      // counts the runs started
    std::jthread m_ScanThread;
    std::jthread m_MainThread;
    std::jthread m_RemoveThread;

    // --- the engine thread's queue --------------------------------------------------
    mutable util::Mutex m_QueueLock;
    std::condition_variable m_QueueWake;  // new work, or the engine became idle
    std::deque<Request> m_Requests GUARDED_BY(m_QueueLock);
    std::vector<ObserverCall> m_ObserverCalls GUARDED_BY(m_QueueLock);
    bool m_bStopping GUARDED_BY(m_QueueLock) = false;
    bool m_bHandling GUARDED_BY(m_QueueLock) = false;  // the engine thread is handling a batch
    bool m_bThreadsAlive GUARDED_BY(m_QueueLock) = false;  // a scan, run or removal thread is alive

    std::atomic<uint64_t> m_uSettingsTickets{0};  // tickets handed out to front ends

    mutable util::Mutex m_SnapshotLock;
    std::shared_ptr<const EngineSnapshot> m_Snapshot GUARDED_BY(m_SnapshotLock);

    std::jthread m_EngineThread;  // last: started when everything above exists
};

}  // namespace engine
