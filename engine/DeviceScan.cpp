#include "engine/DeviceScan.h"

#include <cstdio>
#include <cstdlib>
#include <stop_token>
#include <thread>

#include "config/FirmwareCheck.h"
#include "engine/RunContext.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/USBUtility.h"

namespace engine {

namespace {
constexpr int64_t kScanActivityMs = 80;

uint16_t HexValue(const char* text)
{
    return static_cast<uint16_t>(std::strtoul(text, nullptr, 16));
}

bool vScanUSBPort(const ScanJob& job)
{
    try {
        DeviceList& list = job.devices;
        job.dev.SetBridgeIdentity(job.settings.vendor_id, job.settings.product_id);
        job.dev.Open(list, strChipTypeFilterFromTargetChip(job.settings.target_chip), kBridgeFamily795x);
        for (uint32_t i = 0; i < list.DevNums; ++i) {
            char path[32];
            std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", list.Devs[i].m_ucPhysicalAddress);
            const CommandResult result = job.dev.nObtainDiSKInfo(path, list.Devs[i]);
            if (result != kCommandSuccess) DBG_WRN("%s:%d: obtain disk info fail:%d", result);
        }
        job.table.vUpdateMainResultSubItemTable(list, 1);
        if (list.DevNums == 0) job.observer.OnControlsEnabled(ControlSet::kNormal);
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: vScanUSBPort:  dwErrorCode %d", 0);
        return false;
    }
}

void vUpdatePcieInfoToDevList(const ScanJob& job)
{
    if (job.pcieCount <= 0) return;
    DBG_MSG("%s:%d: find pcie 7951 host:%d", job.pcieCount);
    DeviceList& list = job.devices;
    for (int n = 0; n < job.pcieCount && list.DevNums + n < MAX_DEVICES; ++n) {
        DeviceInfo& record = list.Devs[list.DevNums + n];
        job.pcie.vFillPcieRecord(static_cast<uint8_t>(n), static_cast<uint8_t>(list.DevNums + n), record);
    }
}
}  // namespace

void ScanThreadFun(const ScanJob& job)
{
    try {
        const IniSettings& s = job.settings;
        if (s.PCIE_Scan != 2) {
            std::lock_guard scanLock(CUSBUtility::Instance().m_ScanCriticalSection);
            DBG_MSG("%s:%d:  Start Scan USB Port , dwErrorCode= %d", 0);
            {
                // Timer 2: the bar moves every 80 ms while the scan works.
                std::jthread activity([&job](std::stop_token stop) {
                    while (util::SleepMs(kScanActivityMs, stop)) job.table.iAdvanceProgressActivity();
                });
                vScanUSBPort(job);
            }
            job.table.vSetProgressPosition(100);
        }
        if (s.PCIE_Scan != 0) {
            DBG_MSG("%s:%d: scan pcie pid:%s, vid:%s\n", s.PCIE_DeviceID, s.PCIE_VendorID);
            job.pcieCount = job.pcie.InitPcie()
                                ? job.pcie.ScanPcie(HexValue(s.PCIE_VendorID), HexValue(s.PCIE_DeviceID))
                                : 0;
            DBG_MSG("%s:%d: scan pcie end");
            vUpdatePcieInfoToDevList(job);
            job.table.vUpdateMainResultSubItemTable(job.devices, 1);
        }
    } catch (...) {
        DBG_ERR("%s:%d:  catch(...) error , dwErrorCode= %d", 0);
    }
}

}  // namespace engine
