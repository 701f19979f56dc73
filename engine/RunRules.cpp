#include "engine/RunRules.h"

#include <cstdio>
#include <cstdlib>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace engine {

namespace {

// USB4 mode settings: 0 "0:PD+PCIe", 1 "1:PD+PCIe+Lgcy", 2 "2:PD+U3+Lgcy", 3 "3:Auto".
constexpr uint32_t kU4ModePdPcie = 0;
constexpr uint32_t kU4ModePdPcieLegacy = 1;
constexpr uint32_t kU4ModePdU3Legacy = 2;
constexpr uint32_t kU4ModeAuto = 3;

constexpr const char* kPDTypeTag = "BR_USB4";
constexpr size_t kPDTypeTagLength = 7;
constexpr size_t kPDByteOffset = 15;  // from the start of the tag
constexpr size_t kFWVersionPDByteOffset = 6;

RuleVerdict Refuse(std::string message)
{
    return RuleVerdict{false, std::move(message)};
}

// Up to two characters at `offset` read as a hexadecimal number, the way the
// standard conversion reads them: what does not convert gives 0.
uint8_t HexByteAt(const std::string& text, size_t offset)
{
    if (offset >= text.size()) return 0;
    const std::string digits = text.substr(offset, 2);
    return static_cast<uint8_t>(std::strtol(digits.c_str(), nullptr, 16));
}

}  // namespace

RuleVerdict CheckReloadAvailable(const IniSettings& settings, uint32_t usbCount, uint32_t pcieCount)
{
    if (settings.fw_reload == 0) return {};
    if (settings.fw_enable == 0) {
        DBG_ERR("%s:%d: %s", kMsgReloadNeedsFWUpdate);
        return Refuse(kMsgReloadNeedsFWUpdate);
    }
    DBG_MSG("%s:%d: usb:%d, pcie:%d", static_cast<int>(usbCount), static_cast<int>(pcieCount));
    const uint32_t u4Mode = settings.USB4_U4Mode;
    if (usbCount > 0 && pcieCount > 0) {
        DBG_ERR("%s:%d: %s,usb:%d,pcie:%d", kMsgReloadMixedDevices, static_cast<int>(usbCount),
                static_cast<int>(pcieCount));
        return Refuse(kMsgReloadMixedDevices);
    }
    if (usbCount > 0 && (u4Mode == kU4ModePdPcie || u4Mode == kU4ModeAuto)) {
        DBG_ERR("%s:%d: %s", kMsgReloadUsbU4Mode);
        return Refuse(kMsgReloadUsbU4Mode);
    }
    if (usbCount == 0 && pcieCount > 0 && (u4Mode == kU4ModePdPcieLegacy || u4Mode == kU4ModePdU3Legacy)) {
        DBG_ERR("%s:%d: %s", kMsgReloadPcieU4Mode);
        return Refuse(kMsgReloadPcieU4Mode);
    }
    return {};
}

uint8_t ucPDByteFromFWPath(const std::string& fwPath)
{
    size_t tagStart = 0;
    for (size_t from = 0;;) {
        const size_t found = fwPath.find(kPDTypeTag, from);
        if (found == std::string::npos) break;
        tagStart = found;
        from = found + kPDTypeTagLength;
    }
    return HexByteAt(fwPath, tagStart + kPDByteOffset);
}

uint8_t ucPDByteFromFWVersion(const std::string& fwVersion)
{
    return HexByteAt(fwVersion, kFWVersionPDByteOffset);
}

PdTypeCounts CountPdTypes(const std::string& fwPath, const DeviceList& list, uint32_t pcieCount)
{
    PdTypeCounts counts;
    const uint8_t binByte = ucPDByteFromFWPath(fwPath);
    counts.ucBinPDMode = (binByte >> 7) & 1;
    counts.ucBinExtPD = (binByte >> 1) & 1;
    // The USB and PCIe counts come from two scans; never read past the list.
    uint64_t entries = uint64_t{list.DevNums} + pcieCount;
    if (entries > list.Devs.size()) entries = list.Devs.size();
    for (size_t i = 0; i < entries; ++i) {
        const DeviceInfo& device = list.Devs[i];
        if (device.m_strSerialNumber == kBlankSerialNumber) continue;
        const uint8_t fwByte = ucPDByteFromFWVersion(device.m_strFWVersion);
        if (fwByte & 0x80)
            ++counts.iPDCount;
        else
            ++counts.iPDXCount;
        if (fwByte & 0x02)
            ++counts.iExternalCount;
        else
            ++counts.iInternalCount;
    }
    return counts;
}

RuleVerdict CheckFWmatchPDtype(const std::string& fwPath, const DeviceList& list, uint32_t pcieCount)
{
    const PdTypeCounts c = CountPdTypes(fwPath, list, pcieCount);
    const bool pdMismatch = (c.ucBinPDMode == 1 && c.iPDXCount > 0) || (c.ucBinPDMode == 0 && c.iPDCount > 0);
    const bool extMismatch =
        (c.ucBinExtPD == 1 && c.iInternalCount > 0) || (c.ucBinExtPD == 0 && c.iExternalCount > 0);
    if (!pdMismatch && !extMismatch) return {};
    char message[512];
    std::snprintf(message, sizeof message,
                  "please check the FW and device PD type\r\nBin PD mode:%d, PD cnt:%d, PDX cnt:%d\r\n Bin ext PD:%d, "
                  "internal PD cnt:%d, external PD cnt:%d",
                  c.ucBinPDMode, c.iPDCount, c.iPDXCount, c.ucBinExtPD, c.iInternalCount, c.iExternalCount);
    DBG_ERR("%s:%d: %s", message);
    return Refuse(message);
}

bool bIsReloadAvailable(const IniSettings& settings, uint32_t usbCount, uint32_t pcieCount, RunObserver* observer,
                        bool interactive)
{
    const RuleVerdict verdict = CheckReloadAvailable(settings, usbCount, pcieCount);
    if (!verdict.bAccepted) ShowOperatorMessage(observer, interactive, verdict.strMessage, kMsgInformation);
    return verdict.bAccepted;
}

bool bIsFWmatchPDtype(const std::string& fwPath, const DeviceList& list, uint32_t pcieCount, RunObserver* observer,
                      bool interactive)
{
    const RuleVerdict verdict = CheckFWmatchPDtype(fwPath, list, pcieCount);
    if (!verdict.bAccepted) ShowOperatorMessage(observer, interactive, verdict.strMessage, kMsgInformation);
    return verdict.bAccepted;
}

}  // namespace engine
