#pragma once
// The two gate checks Start runs before it prepares a run: may the bridges be
// reloaded (CPU reset and relink) with the attached mix of devices and the USB4
// mode setting, and does the firmware image's PD build type fit the PD type of
// the attached bridges. A refusal is shown to the operator with kind
// "Information", logged with the same text, and Start ends.
#include <cstdint>
#include <string>

#include "config/IniSettings.h"
#include "device/DeviceList.h"
#include "engine/RunObserver.h"

namespace engine {

inline constexpr const char* kMsgReloadNeedsFWUpdate = "Cannot reload without FW update";
inline constexpr const char* kMsgReloadMixedDevices = "Cannot reload with USB & PCIE device in the same time";
inline constexpr const char* kMsgReloadUsbU4Mode = "Cannot reload with USB4 setting:\r\n0:PD+PCIe or\r\n3:auto";
inline constexpr const char* kMsgReloadPcieU4Mode =
    "Cannot reload with USB4 setting:\r\n1:PD+PCIe+Legacy or\r\n2:PD+U3+Legacy";
// Serial number of a device that takes no part in the PD-type comparison.
inline constexpr const char* kBlankSerialNumber = "00000000000000000000";

// Outcome of a gate check: accepted, or refused with the operator's text.
struct RuleVerdict {
    bool bAccepted = true;
    std::string strMessage;
};

// The reload rule for the settings' `fw_reload`, `fw_enable` and `USB4_U4Mode`,
// `usbCount` USB bridges (DevNums) and `pcieCount` bridges on the PCIe path.
RuleVerdict CheckReloadAvailable(const IniSettings& settings, uint32_t usbCount, uint32_t pcieCount);

// PD type bits of a firmware byte: bit 7 a PD build (clear: PDX), bit 1 an
// external PD controller (clear: internal).
struct PdTypeCounts {
    uint8_t ucBinPDMode = 0;   // the image's bit 7
    uint8_t ucBinExtPD = 0;    // the image's bit 1
    int iPDCount = 0;
    int iPDXCount = 0;
    int iInternalCount = 0;
    int iExternalCount = 0;
};
// PD byte of a firmware path: the two characters 15 after the start of the last
// "BR_USB4" (after the start of the path when there is none), read as hex; what
// does not convert gives 0.
uint8_t ucPDByteFromFWPath(const std::string& fwPath);
// PD byte of a device's FW version text: its characters 6 and 7 as hex.
uint8_t ucPDByteFromFWVersion(const std::string& fwVersion);
// The image's bits and the counts over entries 0 .. usbCount + pcieCount - 1 of
// `list` (at most 16); entries with the blank serial number are skipped.
PdTypeCounts CountPdTypes(const std::string& fwPath, const DeviceList& list, uint32_t pcieCount);
// The PD-type rule.
RuleVerdict CheckFWmatchPDtype(const std::string& fwPath, const DeviceList& list, uint32_t pcieCount);

// The checks as Start calls them: a refusal is shown through ShowOperatorMessage
// (kind "Information") and gives false.
bool bIsReloadAvailable(const IniSettings& settings, uint32_t usbCount, uint32_t pcieCount, RunObserver* observer,
                        bool interactive);
bool bIsFWmatchPDtype(const std::string& fwPath, const DeviceList& list, uint32_t pcieCount, RunObserver* observer,
                      bool interactive);

}  // namespace engine
