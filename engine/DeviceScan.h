#pragma once
// One scan of the station (ScanThreadFun): the USB bridges under the scan lock,
// their disk information, then, when asked for, the PCIe bridges; the result
// table's identity columns follow the device list. The scan thread owns the
// device list and the PCIe count while it runs.
#include "config/IniSettings.h"
#include "device/BrvtUSBDev.h"
#include "device/pcie/Brv795xPcieCtrl.h"
#include "engine/ResultTable.h"

namespace engine {

struct ScanJob {
    IniSettings settings;  // a copy: the settings may change while the scan runs
    CBrvtUSBDev& dev;
    CBrv795xPcieCtrl& pcie;
    CResultTable& table;
    RunObserver& observer;  // the engine's queued observer
    DeviceList& devices;
    int& pcieCount;
};

void ScanThreadFun(const ScanJob& job);

}  // namespace engine
