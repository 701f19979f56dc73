#pragma once
// The MP engine of the main window without the window: settings and device list,
// the scan thread, Start with its checks, the supervising thread and one worker
// per bridge, the evaluation, counters, serial-number advance, result log, and
// the command-line actions of unattended stations. Everything the operator sees
// goes through the RunObserver.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/CmdLine.h"
#include "config/IniSettings.h"
#include "config/LimitationTable.h"
#include "device/BrvtUSBDev.h"
#include "device/pcie/Brv795xPcieCtrl.h"
#include "engine/ResultTable.h"
#include "engine/RunObserver.h"
#include "engine/StepResults.h"

namespace engine {

// States of a worker.
enum WorkerState : uint8_t {
    kWorkerIdle = 0,
    kWorkerRunning = 1,
    kWorkerReloadDone = 5,
    kWorkerPastReload = 6,  // will not reach the reload barrier (reload off or failed)
    kWorkerFinished = 8,
};

// Step switches of one run, one byte each (1 = on).
struct RunFlags {
    uint8_t m_bUpdateConfig = 0;
    uint8_t m_bUpdateFW = 0;
    uint8_t m_bReloadFW = 0;
    uint8_t m_bPartitionFormat = 0;
    uint8_t m_bUsbStatusCheck = 0;
    uint8_t m_bWrRdTest = 0;
    uint8_t m_bSpeedTest = 0;
    uint8_t m_bPreload = 0;
    uint8_t m_bAutoSafeRemove = 0;
    uint8_t m_bConfigCheck = 0;
    uint8_t m_bSendSHA256Key = 0;
    uint8_t m_bVerifyConfig = 0;
    uint8_t m_bSupportSHA256 = 0;
};

struct RunParam {
    std::array<uint8_t, MAX_DEVICES> ucPort{};  // 1: the device at that position takes part
    uint8_t ucThreadCount = 0;
    uint8_t ucCountedDevices = 0;
    uint8_t ucTestItemCount = 0;
};

struct WorkerParam {
    uint8_t ucPort = 0;
    uint8_t ucWorkerCount = 0;
    uint8_t ucTestItems = 0;
    std::atomic<float> fProgress{0.0f};
    std::atomic<uint8_t> ucState{kWorkerIdle};
};

// Outcome of pressing Start.
enum class StartOutcome { kStarted, kRefused, kNothingToRun };

// Supervision of a run: poll period and the number of polls before the run is
// ended (about nine hours).
constexpr int64_t kSupervisionPollMs = 500;
constexpr int kSupervisionPolls = 65536;

class CMPEngine {
public:
    CMPEngine(RunObserver& observer, platform::IStation& station);
    ~CMPEngine();
    CMPEngine(const CMPEngine&) = delete;
    CMPEngine& operator=(const CMPEngine&) = delete;

    // --- settings, as the window's controls hold them ------------------------------
    IniSettings& Settings() { return m_Settings; }
    // The run's step switches, taken from the settings at Start (the window's
    // check boxes in interactive use).
    void SetStepSwitches(const IniSettings& settings);
    RunFlags& Flags() { return m_Flags; }
    // False: command-line mode (messages to "ProgramMSG.txt", exit codes).
    void SetInteractive(bool interactive) { m_bInteractive = interactive; }
    bool Interactive() const { return m_bInteractive; }

    // --- scan ------------------------------------------------------------------------
    // Starts a scan thread unless one is already waiting for the scan lock.
    void TriggerScanThread();
    bool ScanRunning() const { return m_bScanRunning.load(); }
    // A device arrived or left: a new scan, unless a run is going on.
    void OnUSBDeviceChange(platform::DeviceChange change);
    void WaitForScan();

    // --- run ---------------------------------------------------------------------------
    // The Start button: checks, device selection, table composition, then the
    // supervising thread. `snText` is the serial-number edit's text.
    StartOutcome OnBnClickedButtonStart(std::string& snText);
    bool RunActive() const { return m_bRunActive.load(); }
    void WaitForRun();
    uint8_t RunResult() const { return m_ucRunResult.load(); }
    void OnBnClickedButtonClearcount() { m_Table.vClearCount(); }
    // Safely removes every listed bridge (flush, standby, disconnect) in its own thread.
    void OnBnClickedButtonSafelyRemove();
    bool Removing() const { return m_bRemoving.load(); }
    void WaitForRemoval();
    // Seconds between the end of a run and the automatic safe removal.
    void SetRemoveSeconds(uint32_t seconds) { m_uRemoveSeconds = seconds; }

    // --- command line ------------------------------------------------------------------
    void SetCommandLine(const CmdLineInit& commandLine);
    // Runs the pending command-line action (called after a scan that found devices).
    void vCmdLineHandler();

    // State for front ends and tests.
    DeviceList& Devices() { return m_DevList; }
    const RunResults& Results() const { return m_Results; }
    CResultTable& Table() { return m_Table; }
    CBrvtUSBDev& Device() { return m_Dev; }
    int PcieCount() const { return m_iPcieCount; }
    std::string MPResultLogPath() const;

private:
    void ScanThreadFun();
    void USBRemoveThreadFun();
    bool vScanUSBPort();
    void vUpdatePcieInfoToDevList();
    void MainThreadFun(std::stop_token stop, RunParam param);
    void ChildThreadFun(std::stop_token stop, uint8_t port);
    // The worker's steps; each returns the running result.
    uint8_t StepUsbStatus(DeviceInfo& device, StepResults& results, uint8_t r);
    uint8_t StepUpdate(uint8_t port, DeviceInfo& device, StepResults& results, uint8_t r);
    uint8_t StepReload(uint8_t port, DeviceInfo& device, StepResults& results, uint8_t r, WorkerParam& worker,
                       const std::stop_token& stop);
    uint8_t StepConfigCheck(DeviceInfo& device, StepResults& results, uint8_t r);
    bool WriteConfiguration(uint8_t port, DeviceInfo& device, uint8_t workerCount);
    bool WriteFirmware(uint8_t port, DeviceInfo& device);
    bool VerifyConfiguration(uint8_t port, DeviceInfo& device);
    void ShowStep(uint8_t port, int column, bool enabled, uint8_t result);
    void AddIncrement(WorkerParam& worker, float increment);
    bool IsPcie(uint8_t port) const { return m_DevList.Devs[port].IsPcie != 0; }
    uint8_t PcieIndex(uint8_t port) const { return static_cast<uint8_t>(port - m_DevList.DevNums); }
    // Operator message (message box, or "ProgramMSG.txt" in command-line mode).
    void Message(const std::string& text);
    // Start refused: in command-line mode the process ends with `exitCode`.
    StartOutcome Refuse(int exitCode);
    void Evaluate(const RunParam& param);
    void AdvanceSerialNumber(uint8_t count);
    void Exit(int code);

    RunObserver& m_Observer;
    CBrvtUSBDev m_Dev;
    CBrv795xPcieCtrl m_Pcie;
    CResultTable m_Table;
    IniSettings m_Settings{};
    RunFlags m_Flags;
    bool m_bInteractive = true;
    DeviceList m_DevList;
    int m_iPcieCount = 0;
    RunResults m_Results{};
    std::array<WorkerParam, MAX_DEVICES> m_Workers;
    std::string m_strFWPath;
    CmdLineInit m_CommandLine;
    CLimitationTable m_Limitation;  // "LimitationTable.ini" of the tool's folder, when there is one

    std::mutex m_ThreadLock;  // guards the thread objects below
    std::jthread m_ScanThread;
    std::jthread m_RemoveThread;
    std::jthread m_MainThread;
    std::vector<std::jthread> m_WorkerThreads;
    std::atomic<bool> m_bScanWaiting{false};
    std::atomic<bool> m_bScanRunning{false};
    std::atomic<bool> m_bRunActive{false};
    std::atomic<uint8_t> m_ucRunResult{0};
    std::atomic<bool> m_bExited{false};
    std::atomic<bool> m_bRemoving{false};
    uint32_t m_uRemoveSeconds = 0;
};

}  // namespace engine
