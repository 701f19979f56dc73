#pragma once
// What one MP run works with. Start fills a RunContext (a copy of the settings,
// the step switches and the taking-part ports) before the supervisor starts; from
// then on it is read-only and shared by the supervisor and the workers, so a
// settings change the operator makes during a run never reaches a running worker.
// RunResources are the engine's objects lent to the run: each worker writes only
// its own position of the device list, the results and the worker states.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "config/IniSettings.h"
#include "device/BrvtUSBDev.h"
#include "device/pcie/Brv795xPcieCtrl.h"
#include "engine/ResultTable.h"
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

// The run's step switches as the settings hold them.
RunFlags RunFlagsFromSettings(const IniSettings& settings);

struct RunParam {
    std::array<uint8_t, MAX_DEVICES> ucPort{};  // 1: the device at that position takes part
    uint8_t ucThreadCount = 0;
    uint8_t ucCountedDevices = 0;
    uint8_t ucTestItemCount = 0;
};

// What a worker is doing, for the front ends.
enum PortPhase : uint8_t {
    kPhaseWaiting = 0,
    kPhaseUsbStatus,
    kPhaseKey,
    kPhaseUpdate,
    kPhaseReload,
    kPhaseConfigCheck,
    kPhasePartition,
    kPhaseFormat,
    kPhaseWrRdTest,
    kPhaseSpeedTest,
    kPhasePreload,
    kPhaseDone,
};
// "waiting", "USB status", "key", "update", "reload", "config check", "partition",
// "format", "write/read", "speed", "preload", "done".
const char* PortPhaseText(uint8_t phase);

// Written by the supervisor before the worker starts, then progress and state by
// the worker alone; the supervisor and the other workers (reload barrier) read them.
struct WorkerParam {
    uint8_t ucPort = 0;
    uint8_t ucWorkerCount = 0;
    uint8_t ucTestItems = 0;
    std::atomic<float> fProgress{0.0f};
    std::atomic<uint8_t> ucState{kWorkerIdle};
    std::atomic<uint8_t> ucPhase{kPhaseWaiting};
    std::atomic<int64_t> llEndMs{0};  // clock time the worker finished, 0 while it runs
    std::atomic<bool> bPartitionReached{false};  // at the partition barrier, or never coming
    // Bytes moved and to move by the current long step (write/read test, preload);
    // 0 of 0 when no such step runs.
    std::atomic<uint64_t> ullBytesDone{0};
    std::atomic<uint64_t> ullBytesTotal{0};
};

// Supervision of a run: poll period and the number of polls before the run is
// ended (about nine hours).
constexpr int64_t kSupervisionPollMs = 500;
constexpr int kSupervisionPolls = 65536;
// Family code of the 795x bridges in discovery and relink.
constexpr uint8_t kBridgeFamily795x = 2;

struct RunContext {
    IniSettings settings{};
    RunFlags flags;
    RunParam param;
    std::string strFWPath;
    uint32_t WrRdFileSize = 0;  // size of the write/read test file when Start was pressed
    // Per position: the serial number the run writes into the device (empty when
    // it writes none), and the firmware version it writes (empty without update,
    // and for a bridge that failed identification: nothing is sent to it).
    std::array<std::string, MAX_DEVICES> serialWritten;
    std::array<std::string, MAX_DEVICES> firmwareWritten;
    int64_t llStartMs = 0;  // clock time of Start
    // The counters stored when the run reserved its serial numbers; the settings
    // take them once the run is evaluated.
    bool bSerialReserved = false;
    std::string strNextSerial;
    std::string strNextComponentId;
    bool interactive = true;
    uint32_t removeSeconds = 0;
    int supervisionPolls = kSupervisionPolls;
};

struct RunResources {
    CBrvtUSBDev& dev;
    CBrv795xPcieCtrl& pcie;
    CResultTable& table;
    RunObserver& observer;  // the engine's queued observer: never blocks
    DeviceList& devices;
    RunResults& results;
    std::array<WorkerParam, MAX_DEVICES>& workers;
};

// How the run reports back to the engine thread. Each callback only posts a
// request to the engine thread and returns at once.
struct RunCallbacks {
    // The settings' serial number and USB4 component ID move on past the run's range.
    std::function<void(const std::string& serialNumber, const std::string& componentId)> serialAdvanced;
    // The run is evaluated; the engine may take its device list back.
    // `recordFailure` says why the result log lacks a record (empty when whole).
    std::function<void(uint8_t runResult, const std::string& recordFailure)> evaluated;
    // The automatic safe removal is due.
    std::function<void()> safelyRemove;
};

}  // namespace engine
