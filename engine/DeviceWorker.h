#pragma once
// One worker of a run: the steps of one device position (USB status, key,
// configuration and firmware update, reload with the barrier of all workers,
// configuration check), each shown in its column of the result table.
#include <cstdint>
#include <stop_token>
#include <string>

#include "engine/DataSteps.h"
#include "engine/RunContext.h"

namespace engine {

// The result column a worker in `phase` shows its step in.
int ColumnOfPhase(uint8_t phase);

class CDeviceWorker {
public:
    CDeviceWorker(const RunContext& run, RunResources& resources, uint8_t port);
    // ChildThreadFun: runs the steps; a stop request ends the worker at its next step.
    void Run(const std::stop_token& stop);

private:
    void RunSteps(const std::stop_token& stop);
    // Each step returns the running result.
    uint8_t StepUsbStatus(uint8_t r);
    uint8_t StepUpdate(uint8_t r);
    uint8_t StepReload(uint8_t r, const std::stop_token& stop);
    uint8_t StepConfigCheck(uint8_t r);
    bool WriteConfiguration();
    bool WriteFirmware();
    bool VerifyConfiguration();
    // Reads or writes one 128-byte table of one image, over USB or PCIe.
    bool TransferConfig(uint8_t readWrite, uint8_t* table, uint8_t image, uint8_t type);
    bool ImageOn(uint8_t image) const { return image == 0 ? m_Run.settings.image0 : m_Run.settings.image1; }
    // Shows a step's result in its column; a failure also goes to the observer
    // with the cause noted by Fail() (or that an earlier step failed).
    void ShowStep(int column, bool enabled, uint8_t result);
    // Notes why the step now running fails; returns 0 (the failed result).
    uint8_t Fail(const char* reason);
    // How the disk and data steps report to this worker.
    StepHooks Hooks();
    void AddIncrement();
    bool IsPcie() const { return m_Device.IsPcie != 0; }
    uint8_t PcieIndex() const { return static_cast<uint8_t>(m_Port - m_Resources.devices.DevNums); }

    const RunContext& m_Run;
    RunResources& m_Resources;
    const uint8_t m_Port;
    WorkerParam& m_Worker;
    DeviceInfo& m_Device;
    StepResults& m_Results;
    const float m_fIncrement;
    std::string m_strFailReason;  // of the step now running
};

}  // namespace engine
