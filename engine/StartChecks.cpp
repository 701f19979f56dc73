#include "engine/StartChecks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "config/CmdLine.h"
#include "config/ConfigTable.h"
#include "config/FirmwareCheck.h"
#include "config/Ini.h"
#include "config/LanguageTable.h"
#include "config/SerialNumber.h"
#include "config/SerialReservation.h"
#include "config/U4ConfigTable.h"
#include "device/DiskInfoArea.h"
#include "engine/RunRules.h"
#include "log/DebugLog.h"
#include "util/Text.h"
#include "util/USBUtility.h"

namespace engine {

namespace {
constexpr uint32_t kMaxTestFileSize = 188743680;  // 0xB400000

// Major revision of a bridge: the low nibble of its variant/revision register.
unsigned MajorRevision(const DeviceInfo& device)
{
    return static_cast<unsigned>(std::strtoul(device.m_strChipRevision.c_str(), nullptr, 16));
}

StartDecision Refused(int exitCode)
{
    return {StartOutcome::kRefused, exitCode, {}, {}};
}

// Each taking-part device's tables, with its own serial number.
void ComposeTables(IniSettings& settings, const RunParam& param, DeviceList& devices)
{
    CConfigTemplates templates;
    for (int i = 0; i < MAX_DEVICES; ++i) {
        if (!param.ucPort[i]) continue;
        DeviceInfo& device = devices.Devs[i];
        ConfigTable table;
        std::copy(device.U3ConfigImage.begin(), device.U3ConfigImage.end(), table.begin());
        templates.bComposeDeviceTable(settings, static_cast<uint8_t>(i), device.m_strDiskSerialNumber, table);
        std::copy(table.begin(), table.end(), device.U3ConfigImage.begin());
        U4ConfigTable u4;
        std::copy(device.U4ConfigImage.begin(), device.U4ConfigImage.end(), u4.begin());
        bSetUSB4DeviceConfigurationByGUI(settings, static_cast<uint8_t>(i), u4, U4PciIds{}, LocalDateNow());
        std::copy(u4.begin(), u4.end(), device.U4ConfigImage.begin());
    }
}
// A port taken into the run whose bridge was identified: the one that gets a
// serial number and firmware (an unidentified bridge is sent nothing).
bool ReceivesTables(const RunParam& param, const DeviceList& devices, int i)
{
    return param.ucPort[i] && devices.Devs[i].m_strIdentifyFailure.empty();
}

// Two bridges of one run must never receive one serial number (a barcode
// scanned once for several bridges, disks that report the same serial): the
// reason, naming the serial and both ports, or empty when every serial differs.
std::string DuplicateSerialRefusal(const IniSettings& settings, const RunParam& param, const DeviceList& devices)
{
    std::map<std::string, int> portOfSerial;
    for (int i = 0; i < MAX_DEVICES; ++i) {
        if (!ReceivesTables(param, devices, i)) continue;
        const std::string serial =
            strDeviceSerialNumber(settings, static_cast<uint8_t>(i), devices.Devs[i].m_strDiskSerialNumber);
        const auto [at, added] = portOfSerial.emplace(serial, i);
        if (!added)
            return "the serial number \"" + serial + "\" would be written to ports " + std::to_string(at->second) +
                   " and " + std::to_string(i) + "; nothing was written (give each bridge its own serial number)";
    }
    return "";
}

}  // namespace

RunFlags RunFlagsFromSettings(const IniSettings& s)
{
    RunFlags f;
    f.m_bUpdateFW = s.fw_enable;
    f.m_bUpdateConfig = s.fw_enable;
    f.m_bReloadFW = s.fw_reload;
    f.m_bPartitionFormat = s.format_enable;
    f.m_bUsbStatusCheck = s.Check_USBStatus_enable;
    f.m_bWrRdTest = s.wr_test_enable;
    f.m_bSpeedTest = s.Speed_test_enable;
    f.m_bPreload = s.preload_enable;
    f.m_bAutoSafeRemove = s.Auto_Safe_Remove;
    f.m_bConfigCheck = s.check_config;
    return f;
}

StartDecision DecideStart(const StartInput& in)
{
    IniSettings& settings = in.settings;
    std::string& snText = in.snText;
    DeviceList& devices = in.devices;
    const auto message = [&](const std::string& text) {
        ShowOperatorMessage(in.observer, in.interactive, text, kMsgWarning);
    };
    const RunFlags f = RunFlagsFromSettings(settings);
    const uint8_t editType = settings.SN_EditType;
    const auto pcieCount = static_cast<uint32_t>(std::max(in.pcieCount, 0));

    // Serial number: length, then digits.
    const SNCheckResult length = CheckSNFixLength(settings, snText);
    if (!length.bValid) {
        message(length.strMessage);
        if (length.bClearEdit) snText.clear();
        return Refused(kExitPreCheckFail);
    }
    if (editType != 3 && editType != 4 && !bCheckSNValidByEditType(strSNVariablePart(settings, snText), editType)) {
        char text[128];
        std::snprintf(text, sizeof text, "SN digits [%s] should be all %s", snText.c_str(),
                      editType == 1 ? "heximal" : "decimal");
        message(text);
        snText.clear();
        return Refused(kExitPreCheckFail);
    }
    if (!bIsReloadAvailable(settings, devices.DevNums, pcieCount, in.observer, in.interactive))
        return Refused(kExitPreCheckFail);
    const std::string fwPath = settings.fw_binary_name;
    if (!bIsFWmatchPDtype(fwPath, devices, pcieCount, in.observer, in.interactive)) return Refused(kExitPreCheckFail);

    // Descriptor formats, collected into one text.
    std::string invalid;
    if (IniStringLength(settings.vendor_id) != 4) invalid += std::string(kMsgVIDFormatNotValid) + " \r\n";
    if (IniStringLength(settings.product_id) != 4) invalid += std::string(kMsgPIDFormatNotValid) + " \r\n";
    if (IniStringLength(settings.device_revision) != 4)
        invalid += std::string(kMsgDeviceRevisionFormatNotValid) + " \r\n";
    if (editType == 4) {
        std::string digits;
        snText = strPadHddSN(snText, settings.SN_Numbers, digits);
        invalid += digits;
    }
    if (editType == 4 && !invalid.empty()) {
        message(invalid);
        return Refused(kExitPreCheckFail);
    }
    // A short serial number is padded to 12 characters.
    if (!snText.empty() && snText.size() < 12) snText = std::string(12 - snText.size(), '0') + snText;
    SetIniString(settings.serial_number, snText);
    if (!bCheckUSB4FieldLength(settings, !in.interactive)) return Refused(kExitPreCheckFail);
    if (in.limitation.bLoaded()) {
        std::vector<LimitationDeviceTexts> attached;
        for (uint32_t i = 0; i < devices.DevNums + pcieCount && i < MAX_DEVICES; ++i) {
            const DeviceInfo& d = devices.Devs[i];
            attached.push_back({d.m_strFWVersion, d.m_strManufacturer, d.m_strProduct, d.m_strVID, d.m_strPID});
        }
        if (in.limitation.iCheckLimitation(attached) != 0) return Refused(kExitPreCheckFail);
    }

    StartDecision decision{StartOutcome::kStarted, 0, {}, {}};
    RunParam& param = decision.run.param;
    param.ucTestItemCount =
        static_cast<uint8_t>(f.m_bUpdateConfig + f.m_bUpdateFW + f.m_bReloadFW + 2 * f.m_bPartitionFormat +
                             f.m_bWrRdTest + f.m_bPreload + f.m_bUsbStatusCheck);
    if (!settings.image0 && !settings.image1) {
        message("please check dual image setting in more config or ini file");
        return Refused(-10);
    }
    // Test file and paths.
    namespace fs = std::filesystem;
    const std::string testFile = CUSBUtility::Instance().GetProgramFolder() + "/" + settings.wr_test_binary_name;
    int64_t testFileSize = -1;
    if (f.m_bWrRdTest) {
        std::error_code ec;
        const auto size = fs::file_size(testFile, ec);
        if (!ec && size > kMaxTestFileSize) {
            message(testFile + " " + kLanguageTable.strWrRdTestTooLarge);
            return Refused(-10);
        }
        if (!ec && !std::ifstream(testFile, std::ios::binary)) {
            message("R/W test file Error because the ini info is incorrect");
            return Refused(-10);
        }
        if (!ec) testFileSize = static_cast<int64_t>(size);
    }
    decision.run.WrRdFileSize = testFileSize < 0 ? 0 : static_cast<uint32_t>(testFileSize);
    const bool fwMissing = f.m_bUpdateFW && !fs::exists(fwPath);
    const bool preloadMissing = f.m_bPreload && !fs::is_directory(settings.preload_folder_path);
    if (fwMissing || preloadMissing || (f.m_bWrRdTest && testFileSize < 0) || param.ucTestItemCount == 0 ||
        !invalid.empty()) {
        DBG_ERR("%s:%d: OnBnClickedButtonStart: Pre-Check Fail , ucTestItemCount[%d] , m_bUpdateFW[%d]=[%s] , ",
                param.ucTestItemCount, f.m_bUpdateFW, fwPath.c_str());
        StartDecision refused = Refused(kExitPreCheckFail);
        std::vector<std::string> causes;
        if (fwMissing) causes.push_back("the firmware file " + fwPath + " does not exist");
        if (preloadMissing) causes.push_back(std::string("the preload folder ") + settings.preload_folder_path + " does not exist");
        if (f.m_bWrRdTest && testFileSize < 0) causes.push_back("the write/read test file " + testFile + " is missing");
        if (param.ucTestItemCount == 0) causes.push_back("no test step is switched on");
        if (!invalid.empty()) causes.push_back("the VID, PID or revision is not 4 characters long");
        for (const auto& cause : causes) refused.reason += (refused.reason.empty() ? "" : "; ") + cause;
        return refused;
    }

    // Device selection.
    std::string mismatch = "Chip and FW don't match. Port:";
    bool mismatched = false;
    const uint8_t signature = f.m_bUpdateFW ? uGet7951FWSignatureFromeBin(fwPath) : 0;
    for (int i = 0; i < MAX_DEVICES; ++i) {
        const DeviceInfo& device = devices.Devs[i];
        // A bridge that failed identification takes part: its worker fails it,
        // so the run cannot pass while a bridge on the station was not programmed.
        const bool unidentified = !device.m_strIdentifyFailure.empty();
        if (device.m_ucDevIdx == 255 || (device.m_strFWVersion.empty() && !unidentified)) continue;
        if (f.m_bUpdateFW && !unidentified) {
            const bool match = bCmp7951ChipAndFWVersion(MajorRevision(device), signature);
            DBG_MSG("%s:%d: bCmp7951ChipAndFWVersion: %d", match);
            if (!match) {
                mismatch += std::to_string(device.m_ucDevIdx) + " .";
                mismatched = true;
                continue;
            }
        }
        param.ucPort[i] = 1;
        ++param.ucThreadCount;
        if (RecordDiskSize(device) != -1) ++param.ucCountedDevices;
    }
    // The described messages stay; the refusal adds what is wrong with the file,
    // since a damaged image shows as a chip mismatch too.
    if (mismatched) {
        message(mismatch);
        StartDecision refused = Refused(kExitPreCheckFail);
        refused.reason = strFWFileRefusal(fwPath);
        if (refused.reason.empty()) {
            char text[160];
            std::snprintf(text, sizeof text, "the firmware file %s carries the signature byte 0x%02X, which is not the "
                                             "chip's of the ports named", fwPath.c_str(), signature);
            refused.reason = text;
        }
        return refused;
    }
    if (f.m_bUpdateFW && !bCheckFWFile(fwPath)) {
        message("FW check is incorrect.");
        StartDecision refused = Refused(kExitPreCheckFail);
        refused.reason = strFWFileRefusal(fwPath);
        return refused;
    }
    // The number of bridges expected per run: fewer is a failure, never a PASS.
    if (settings.auto_mp_DevNum > param.ucThreadCount) {
        message("Expected " + std::to_string(settings.auto_mp_DevNum) + " bridges, found " +
                std::to_string(param.ucThreadCount) + ".");
        return Refused(-1);
    }
    if (param.ucThreadCount == 0) {
        DBG_WRN("%s:%d: No Thread [%d/%d] To Run ", param.ucThreadCount, param.ucCountedDevices);
        return {StartOutcome::kNothingToRun, 0, {}, {}};
    }
    if (f.m_bUpdateFW) {
        if (const std::string duplicate = DuplicateSerialRefusal(settings, param, devices); !duplicate.empty()) {
            DBG_ERR("%s:%d: OnBnClickedButtonStart: %s", duplicate.c_str());
            StartDecision refused = Refused(kExitPreCheckFail);
            refused.reason = duplicate;
            return refused;
        }
    }
    RunContext& run = decision.run;
    if (f.m_bUpdateConfig && bRunAdvancesSerial(settings)) {
        // An operator who typed a serial number of their own gets it; otherwise
        // the stored counter is the truth (another station may have moved it on).
        // The edit is bound to the settings, so "typed" is judged against what
        // the file held when it was loaded or last advanced.
        const bool typed = snText != in.storedSerial;
        SerialRange range;
        std::string error;
        if (!bReserveSerialRange(CUSBUtility::Instance().GetProgramFolder() + "/br_mp_Toolv0.6.ini", settings,
                                 param.ucThreadCount, !typed, !in.interactive, range, error)) {
            DBG_ERR("%s:%d: OnBnClickedButtonStart: serial numbers not reserved: %s", error.c_str());
            message("Serial numbers could not be reserved, nothing was written: " + error);
            return Refused(kExitPreCheckFail);
        }
        snText = settings.serial_number;
        run.bSerialReserved = true;
        run.strNextSerial = range.next;
        run.strNextComponentId = range.nextComponentId;
    }
    if (f.m_bUpdateFW) ComposeTables(settings, param, devices);

    run.settings = settings;
    run.flags = f;
    run.flags.m_bVerifyConfig = 1;
    run.strFWPath = fwPath;
    run.interactive = in.interactive;
    if (f.m_bUpdateFW) {
        // A bridge that failed identification keeps its reserved serial number
        // unused and is shown with no firmware written: nothing is sent to it.
        const std::string version = strFWVersionFromFileName(fwPath);
        for (int i = 0; i < MAX_DEVICES; ++i)
            if (ReceivesTables(param, devices, i)) {
                run.serialWritten[i] =
                    strDeviceSerialNumber(settings, static_cast<uint8_t>(i), devices.Devs[i].m_strDiskSerialNumber);
                run.firmwareWritten[i] = version;
            }
    }
    return decision;
}

}  // namespace engine
