#include "engine/MPEngine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "config/ConfigTable.h"
#include "config/FirmwareCheck.h"
#include "config/Ini.h"
#include "config/SerialNumber.h"
#include "config/U4ConfigTable.h"
#include "device/DiskInfoArea.h"
#include "engine/MPResultLog.h"
#include "engine/RunRules.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/Text.h"
#include "util/USBUtility.h"

namespace engine {

namespace {
constexpr uint32_t kMaxTestFileSize = 188743680;  // 0xB400000
constexpr uint8_t kRelinkResetCode = 0x50;
constexpr int64_t kStepPauseMs = 500;
constexpr uint8_t kBridgeFamily795x = 2;
constexpr int64_t kScanActivityMs = 80;

bool AllDigits(const std::string& text, bool hex)
{
    return std::all_of(text.begin(), text.end(), [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

uint16_t HexValue(const char* text)
{
    return static_cast<uint16_t>(std::strtoul(text, nullptr, 16));
}

// Major revision of a bridge: the low nibble of its variant/revision register.
unsigned MajorRevision(const DeviceInfo& device)
{
    return static_cast<unsigned>(std::strtoul(device.m_strChipRevision.c_str(), nullptr, 16));
}
}  // namespace

CMPEngine::CMPEngine(RunObserver& observer, platform::IStation& station)
    : m_Observer(observer), m_Dev(station), m_Pcie(station), m_Table(&observer)
{
    m_Dev.SetDeviceList(&m_DevList);
    m_Table.vSetMainResultItemTable();
    m_Limitation.vLoadLimitationTableFromFolder(CUSBUtility::Instance().GetProgramFolder());
    station.RegisterDeviceNotification([this](platform::DeviceChange change) { OnUSBDeviceChange(change); });
}

CMPEngine::~CMPEngine()
{
    m_Dev.Station().UnregisterDeviceNotification();
    // Threads are asked to stop, never killed; each ends at its next step.
    std::lock_guard lock(m_ThreadLock);
    if (m_MainThread.joinable()) m_MainThread.request_stop();
    for (auto& worker : m_WorkerThreads) worker.request_stop();
}

void CMPEngine::SetStepSwitches(const IniSettings& s)
{
    m_Flags.m_bUpdateFW = s.fw_enable;
    m_Flags.m_bUpdateConfig = s.fw_enable;
    m_Flags.m_bReloadFW = s.fw_reload;
    m_Flags.m_bPartitionFormat = s.format_enable;
    m_Flags.m_bUsbStatusCheck = s.Check_USBStatus_enable;
    m_Flags.m_bWrRdTest = s.wr_test_enable;
    m_Flags.m_bSpeedTest = s.Speed_test_enable;
    m_Flags.m_bPreload = s.preload_enable;
    m_Flags.m_bAutoSafeRemove = s.Auto_Safe_Remove;
    m_Flags.m_bConfigCheck = s.check_config;
}

void CMPEngine::Message(const std::string& text)
{
    ShowOperatorMessage(&m_Observer, m_bInteractive, text, kMsgWarning);
}

void CMPEngine::Exit(int code)
{
    if (!m_bExited.exchange(true)) m_Observer.OnExitRequest(code);
}

StartOutcome CMPEngine::Refuse(int exitCode)
{
    if (!m_bInteractive) Exit(exitCode);
    return StartOutcome::kRefused;
}

// --- scan ----------------------------------------------------------------------------

void CMPEngine::TriggerScanThread()
{
    if (m_bScanWaiting) {
        DBG_WRN("%s:%d:   Already waiting for criticalsection...Exit!!!, dwErrorCode =%d", 0);
        return;
    }
    m_Observer.OnStartEnabled(false);
    m_Table.vResetProgress();
    std::lock_guard lock(m_ThreadLock);
    if (m_bScanRunning) {
        DBG_WRN("%s:%d:   ScanThreadFun is running...Exit!!!, dwErrorCode =%d", 0);
        m_Dev.m_ucScanInterrupt = 1;
    }
    util::SleepMs(kStepPauseMs);
    if (m_ScanThread.joinable()) m_ScanThread.join();
    m_bScanRunning = true;
    m_ScanThread = std::jthread([this] { ScanThreadFun(); });
}

void CMPEngine::OnUSBDeviceChange(platform::DeviceChange change)
{
    if (m_bExited) return;  // the process is ending: no new scan, no new run
    const bool arrival = change == platform::DeviceChange::kArrival;
    // While a run goes on the list belongs to the workers: bridges leave and come
    // back by design, and a newly plugged one waits for the next scan.
    if (RunActive() || m_bRemoving) {
        DBG_MSG("%s:%d: OnUSBDeviceChange: %s ignored, a run or a removal is active", arrival ? "DBT_DEVICEARRIVAL" : "DBT_DEVICEREMOVECOMPLETE");
        return;
    }
    if (arrival) DBG_MSG("%s:%d: trigger scan thread, DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE");
    else DBG_MSG("%s:%d: trigger scan thread, DBT_DEVICEREMOVECOMPLETE");
    if (!arrival) m_Table.vHideResultIndicators();
    TriggerScanThread();
}

void CMPEngine::OnBnClickedButtonSafelyRemove()
{
    m_Observer.OnControlsEnabled(ControlSet::kDisabled);
    std::lock_guard lock(m_ThreadLock);
    if (m_RemoveThread.joinable()) m_RemoveThread.join();
    m_bRemoving = true;
    m_RemoveThread = std::jthread([this] { USBRemoveThreadFun(); });
}

void CMPEngine::USBRemoveThreadFun()
{
    try {
        for (uint8_t i = 0; i < MAX_DEVICES; ++i) {
            const DeviceInfo& device = m_DevList.Devs[i];
            if (device.m_ucDevIdx == 255 || device.m_strFWVersion.empty() || device.IsPcie) continue;
            if (!m_Dev.vDisconnectAllDevice(i)) DBG_ERR("%s:%d: USBRemoveThreadFun: vSafeRemoveUSB Fail , [%d] ", i);
        }
    } catch (...) {
        DBG_ERR("%s:%d: USBRemoveThreadFun: dwErrorCode %d", 0);
    }
    m_bRemoving = false;
    m_Observer.OnControlsEnabled(ControlSet::kNormal);
}

void CMPEngine::WaitForRemoval()
{
    std::lock_guard lock(m_ThreadLock);
    if (m_RemoveThread.joinable()) m_RemoveThread.join();
}

void CMPEngine::WaitForScan()
{
    std::lock_guard lock(m_ThreadLock);
    if (m_ScanThread.joinable()) m_ScanThread.join();
}

void CMPEngine::ScanThreadFun()
{
    try {
        if (m_Settings.PCIE_Scan != 2) {
            m_bScanWaiting = true;
            std::lock_guard scanLock(CUSBUtility::Instance().m_ScanCriticalSection);
            m_bScanWaiting = false;
            DBG_MSG("%s:%d:  Start Scan USB Port , dwErrorCode= %d", 0);
            {
                // Timer 2: the bar moves every 80 ms while the scan works.
                std::jthread activity([this](std::stop_token stop) {
                    while (!stop.stop_requested()) {
                        util::SleepMs(kScanActivityMs);
                        m_Table.iAdvanceProgressActivity();
                    }
                });
                vScanUSBPort();
            }
            m_Table.vSetProgressPosition(100);
            m_Dev.m_ucScanInterrupt = 0;
        }
        if (m_Settings.PCIE_Scan != 0) {
            DBG_MSG("%s:%d: scan pcie pid:%s, vid:%s\n", m_Settings.PCIE_DeviceID, m_Settings.PCIE_VendorID);
            m_iPcieCount = m_Pcie.InitPcie() ? m_Pcie.ScanPcie(HexValue(m_Settings.PCIE_VendorID),
                                                                HexValue(m_Settings.PCIE_DeviceID))
                                             : 0;
            DBG_MSG("%s:%d: scan pcie end");
            vUpdatePcieInfoToDevList();
            m_Table.vUpdateMainResultSubItemTable(m_DevList, 1);
        }
        m_Observer.OnStartEnabled(true);
        m_bScanRunning = false;
        if (m_DevList.DevNums + static_cast<uint32_t>(m_iPcieCount) > 0 && m_CommandLine.CommandIndex > 0)
            vCmdLineHandler();
    } catch (...) {
        DBG_ERR("%s:%d:  catch(...) error , dwErrorCode= %d", 0);
        m_bScanRunning = false;
    }
}

bool CMPEngine::vScanUSBPort()
{
    try {
        m_Dev.Open(m_DevList, strChipTypeFilterFromTargetChip(m_Settings.target_chip), kBridgeFamily795x);
        for (uint32_t i = 0; i < m_DevList.DevNums; ++i) {
            char path[32];
            std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", m_DevList.Devs[i].m_ucPhysicalAddress);
            const CommandResult result = m_Dev.nObtainDiSKInfo(path, m_DevList.Devs[i]);
            if (result != kCommandSuccess) DBG_WRN("%s:%d: obtain disk info fail:%d", result);
        }
        m_Table.vUpdateMainResultSubItemTable(m_DevList, 1);
        if (m_DevList.DevNums == 0) m_Observer.OnControlsEnabled(ControlSet::kNormal);
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: vScanUSBPort:  dwErrorCode %d", 0);
        return false;
    }
}

void CMPEngine::vUpdatePcieInfoToDevList()
{
    if (m_iPcieCount <= 0) return;
    DBG_MSG("%s:%d: find pcie 7951 host:%d", m_iPcieCount);
    for (int n = 0; n < m_iPcieCount && m_DevList.DevNums + n < MAX_DEVICES; ++n) {
        DeviceInfo& record = m_DevList.Devs[m_DevList.DevNums + n];
        m_Pcie.vFillPcieRecord(static_cast<uint8_t>(n), static_cast<uint8_t>(m_DevList.DevNums + n), record);
    }
}

// --- Start ---------------------------------------------------------------------------

StartOutcome CMPEngine::OnBnClickedButtonStart(std::string& snText)
{
    try {
        if (RunActive()) return StartOutcome::kRefused;
        m_Table.vSetRunStartBarColour(m_DevList.Devs[0].m_strUsbConnectionStatus);
        SetStepSwitches(m_Settings);
        const uint8_t editType = m_Settings.SN_EditType;

        // Serial number: length, then digits.
        const SNCheckResult length = CheckSNFixLength(m_Settings, snText);
        if (!length.bValid) {
            Message(length.strMessage);
            if (length.bClearEdit) snText.clear();
            return Refuse(kExitPreCheckFail);
        }
        if (editType != 3 && editType != 4 && !bCheckSNValidByEditType(strSNVariablePart(m_Settings, snText), editType)) {
            char text[128];
            std::snprintf(text, sizeof text, "SN digits [%s] should be all %s", snText.c_str(),
                          editType == 1 ? "heximal" : "decimal");
            Message(text);
            snText.clear();
            return Refuse(kExitPreCheckFail);
        }
        if (!bIsReloadAvailable(m_Settings, m_DevList.DevNums, static_cast<uint32_t>(m_iPcieCount), &m_Observer,
                                m_bInteractive))
            return Refuse(kExitPreCheckFail);
        m_strFWPath = m_Settings.fw_binary_name;
        if (!bIsFWmatchPDtype(m_strFWPath, m_DevList, static_cast<uint32_t>(m_iPcieCount), &m_Observer, m_bInteractive))
            return Refuse(kExitPreCheckFail);

        // Descriptor formats, collected into one text.
        std::string invalid;
        if (IniStringLength(m_Settings.vendor_id) != 4) invalid += std::string(kMsgVIDFormatNotValid) + " \r\n";
        if (IniStringLength(m_Settings.product_id) != 4) invalid += std::string(kMsgPIDFormatNotValid) + " \r\n";
        if (IniStringLength(m_Settings.device_revision) != 4)
            invalid += std::string(kMsgDeviceRevisionFormatNotValid) + " \r\n";
        if (editType == 4 && !invalid.empty()) {
            Message(invalid);
            return Refuse(kExitPreCheckFail);
        }
        // A short serial number is padded to 12 characters.
        if (!snText.empty() && snText.size() < 12) snText = std::string(12 - snText.size(), '0') + snText;
        SetIniString(m_Settings.serial_number, snText);
        if (!bCheckUSB4FieldLength(m_Settings, !m_bInteractive)) return Refuse(kExitPreCheckFail);
        if (m_Limitation.bLoaded()) {
            std::vector<LimitationDeviceTexts> devices;
            const uint32_t attached = m_DevList.DevNums + static_cast<uint32_t>(std::max(m_iPcieCount, 0));
            for (uint32_t i = 0; i < attached && i < MAX_DEVICES; ++i) {
                const DeviceInfo& d = m_DevList.Devs[i];
                devices.push_back({d.m_strFWVersion, d.m_strManufacturer, d.m_strProduct, d.m_strVID, d.m_strPID});
            }
            if (m_Limitation.iCheckLimitation(devices) != 0) return Refuse(kExitPreCheckFail);
        }

        const RunFlags& f = m_Flags;
        RunParam param;
        param.ucTestItemCount = static_cast<uint8_t>(f.m_bUpdateConfig + f.m_bUpdateFW + f.m_bReloadFW +
                                                     2 * f.m_bPartitionFormat + f.m_bWrRdTest + f.m_bPreload +
                                                     f.m_bUsbStatusCheck);
        if (!m_Settings.image0 && !m_Settings.image1) {
            Message("please check dual image setting in more config or ini file");
            return Refuse(-10);
        }
        // Test file and paths.
        const std::string testFile = CUSBUtility::Instance().GetProgramFolder() + "/" + m_Settings.wr_test_binary_name;
        int32_t testFileSize = -1;
        if (f.m_bWrRdTest) {
            std::error_code ec;
            const auto size = std::filesystem::file_size(testFile, ec);
            if (!ec && size > kMaxTestFileSize) {
                Message(testFile + " WrRdTest file size too large");
                return Refuse(-10);
            }
            if (!ec) testFileSize = static_cast<int32_t>(size);
        }
        namespace fs = std::filesystem;
        const bool fwMissing = f.m_bUpdateFW && !fs::exists(m_strFWPath);
        const bool preloadMissing = f.m_bPreload && !fs::is_directory(m_Settings.preload_folder_path);
        if (fwMissing || preloadMissing || (f.m_bWrRdTest && testFileSize < 0) || param.ucTestItemCount == 0 ||
            !invalid.empty()) {
            DBG_ERR("%s:%d: OnBnClickedButtonStart: Pre-Check Fail , ucTestItemCount[%d] , m_bUpdateFW[%d]=[%s] , ",
                    param.ucTestItemCount, f.m_bUpdateFW, m_strFWPath.c_str());
            return Refuse(kExitPreCheckFail);
        }

        // Device selection.
        std::string mismatch = "Chip and FW don't match. Port:";
        bool mismatched = false;
        const uint8_t signature = f.m_bUpdateFW ? uGet7951FWSignatureFromeBin(m_strFWPath) : 0;
        for (int i = 0; i < MAX_DEVICES; ++i) {
            DeviceInfo& device = m_DevList.Devs[i];
            if (device.m_ucDevIdx == 255 || device.m_strFWVersion.empty()) continue;
            if (f.m_bUpdateFW) {
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
        if (mismatched) {
            Message(mismatch);
            return Refuse(kExitPreCheckFail);
        }
        if (f.m_bUpdateFW && !bCheckFWFile(m_strFWPath)) {
            Message("FW check is incorrect.");
            return Refuse(kExitPreCheckFail);
        }
        if (param.ucThreadCount == 0) {
            DBG_WRN("%s:%d: No Thread [%d/%d] To Run ", param.ucThreadCount, param.ucCountedDevices);
            return StartOutcome::kNothingToRun;
        }

        m_Table.vHideResultIndicators();
        // Each device's tables, with its own serial number.
        if (f.m_bUpdateFW) {
            CConfigTemplates templates;
            for (int i = 0; i < MAX_DEVICES; ++i) {
                if (!param.ucPort[i]) continue;
                DeviceInfo& device = m_DevList.Devs[i];
                ConfigTable table;
                std::copy(device.U3ConfigImage.begin(), device.U3ConfigImage.end(), table.begin());
                templates.bComposeDeviceTable(m_Settings, static_cast<uint8_t>(i), device.m_strDiskSerialNumber, table);
                std::copy(table.begin(), table.end(), device.U3ConfigImage.begin());
                U4ConfigTable u4;
                std::copy(device.U4ConfigImage.begin(), device.U4ConfigImage.end(), u4.begin());
                bSetUSB4DeviceConfigurationByGUI(m_Settings, static_cast<uint8_t>(i), u4, U4PciIds{}, LocalDateNow());
                std::copy(u4.begin(), u4.end(), device.U4ConfigImage.begin());
            }
        }
        m_Flags.m_bVerifyConfig = 1;
        // Key support: checked on the first device when the run's chip filter
        // (the settings' target chip) names the "101" chips.
        m_Flags.m_bSupportSHA256 = 0;
        if (strChipTypeFilterFromTargetChip(m_Settings.target_chip) == "101") {
            m_Flags.m_bSupportSHA256 = m_Dev.vCheckSupportSHA256(0);
            DBG_MSG(m_Flags.m_bSupportSHA256 ? "%s:%d: vCheckSupportSHA256 ucTargetNumber=[%d] => SUPPORT SHA-256."
                                             : "%s:%d: vCheckSupportSHA256 ucTargetNumber=[%d] => NOT SUPPORT SHA-256.",
                    0);
        } else {
            DBG_MSG("%s:%d: vCheck419 ucTargetNumber=[%d] => CHIP IS NOT 4419.", 0);
        }
        m_Dev.m_iResetCount = 0;
        m_Observer.OnControlsEnabled(ControlSet::kDisabled);

        std::lock_guard lock(m_ThreadLock);
        if (m_MainThread.joinable()) m_MainThread.join();
        m_bRunActive = true;
        m_MainThread = std::jthread([this, param](std::stop_token stop) { MainThreadFun(stop, param); });
        return StartOutcome::kStarted;
    } catch (...) {
        DBG_ERR("%s:%d: OnBnClickedButtonStart: dwErrorCode %d", 0);
        return StartOutcome::kRefused;
    }
}

void CMPEngine::WaitForRun()
{
    std::jthread main;
    {
        std::lock_guard lock(m_ThreadLock);
        main = std::move(m_MainThread);
    }
    if (main.joinable()) main.join();
}

// --- supervision -------------------------------------------------------------------

void CMPEngine::MainThreadFun(std::stop_token stop, RunParam param)
{
    for (auto& results : m_Results) results = StepResults{};
    m_Table.vClearMainResultSubItemStatusTable();
    m_Table.vSetProgressPosition(0);
    {
        std::lock_guard lock(m_ThreadLock);
        m_WorkerThreads.clear();
        for (uint8_t i = 0; i < MAX_DEVICES; ++i) {
            WorkerParam& worker = m_Workers[i];
            worker.ucPort = i;
            worker.ucWorkerCount = param.ucThreadCount;
            worker.fProgress = 0.0f;
            worker.ucTestItems = param.ucPort[i] ? std::max<uint8_t>(param.ucTestItemCount, 1) : 0;
            worker.ucState = param.ucPort[i] ? kWorkerRunning : kWorkerIdle;
            if (param.ucPort[i])
                m_WorkerThreads.emplace_back([this, i](std::stop_token s) { ChildThreadFun(s, i); });
        }
    }
    for (int pass = 0;; ++pass) {
        m_Table.iAdvanceProgressActivity();
        float sum = 0;
        int finished = 0;
        for (int i = 0; i < MAX_DEVICES; ++i) {
            if (!param.ucPort[i]) continue;
            sum += m_Workers[i].fProgress;
            finished += m_Workers[i].ucState == kWorkerFinished;
        }
        m_Table.vShowAverageProgress(static_cast<int>(sum / param.ucThreadCount));
        if (finished == param.ucThreadCount) break;
        if (pass + 1 >= kSupervisionPolls || stop.stop_requested()) {
            // The workers still running are asked to stop; their devices fail.
            std::lock_guard lock(m_ThreadLock);
            for (auto& worker : m_WorkerThreads) worker.request_stop();
            DBG_ERR("%s:%d: MainThreadFun: TimeOut dwErrorCode %d", 0);
            break;
        }
        util::SleepMs(kSupervisionPollMs);
    }
    m_Table.vSetProgressPosition(100);
    m_Observer.OnControlsEnabled(ControlSet::kNormal);
    Evaluate(param);
    util::SleepMs(1000);
    m_Table.vShowRunResult(m_ucRunResult);
    m_bRunActive = false;
    if (m_Flags.m_bAutoSafeRemove && m_bInteractive) {
        util::SleepMs(static_cast<int64_t>(m_uRemoveSeconds) * 1000);
        OnBnClickedButtonSafelyRemove();
    }
    if (!m_bInteractive) Exit(m_ucRunResult == 2 ? -1 : 0);
}

void CMPEngine::Evaluate(const RunParam& param)
{
    const RunFlags& f = m_Flags;
    if (f.m_bUpdateConfig && (m_Settings.SN_EditType == 1 || m_Settings.SN_EditType == 2 ||
                              m_Settings.USB4_ComponentID_EditType == 1 || m_Settings.USB4_ComponentID_EditType == 2))
        AdvanceSerialNumber(param.ucThreadCount);
    uint8_t runResult = 1;
    for (int i = 0; i < MAX_DEVICES; ++i) {
        if (!param.ucPort[i]) continue;
        const StepResults& r = m_Results[i];
        const bool pass = (!f.m_bUpdateFW || r.UpdateFWResult) && (!f.m_bReloadFW || r.ReloadFWResult) &&
                          (!f.m_bPartitionFormat || (r.PartitionResult && r.FormatResult)) &&
                          (!f.m_bWrRdTest || r.DoWrRdTestResult) && (!f.m_bPreload || r.DoPreloadResult) &&
                          (!f.m_bUsbStatusCheck || r.UsbStatusResult) && (!f.m_bConfigCheck || r.ConfigCheckResult);
        if (!pass) runResult = 2;
        m_Table.vCountDevice(pass);
        // Every run is recorded, unattended ones included: the result log is the
        // line's record of what left the station.
        vLogMPResult(i, m_DevList.Devs[i], r, m_Settings);
    }
    m_ucRunResult = runResult;
}

void CMPEngine::AdvanceSerialNumber(uint8_t count)
{
    const uint8_t editType = m_Settings.SN_EditType;
    if (editType == 1 || editType == 2)
        SetIniString(m_Settings.serial_number, strAdvanceSNForSettings(m_Settings, m_Settings.serial_number, count));
    const uint32_t u4Type = m_Settings.USB4_ComponentID_EditType;
    if (u4Type == 1 || u4Type == 2)
        SetIniString(m_Settings.USB4_ComponentID, vAddLimitSN(m_Settings.USB4_ComponentID, count, u4Type == 1));
    const std::string path = CUSBUtility::Instance().GetProgramFolder() + "/br_mp_Toolv0.6.ini";
    Ini store;
    store.m_pINI = m_Settings;
    store.m_bMessageToFile = !m_bInteractive;
    if (!store.vStoreINIFile(path)) DBG_ERR("%s:%d: vStoreINIFile FAIL , strSaveINIFilePath[%s] %d", path.c_str(), 0);
}

std::string CMPEngine::MPResultLogPath() const
{
    return strMPResultLogPath(CUSBUtility::Instance().GetProgramFolder(), util::LocalTimeNow());
}

// --- the worker ----------------------------------------------------------------------

void CMPEngine::ShowStep(uint8_t port, int column, bool enabled, uint8_t result)
{
    m_Table.vUpdateMainResultItemTable(port, column, enabled ? (result ? PassText : FailText) : "", kModePlain);
}

void CMPEngine::AddIncrement(WorkerParam& worker, float increment)
{
    worker.fProgress = worker.fProgress + increment;
}

void CMPEngine::ChildThreadFun(std::stop_token stop, uint8_t port)
{
    WorkerParam& worker = m_Workers[port];
    DeviceInfo& device = m_DevList.Devs[port];
    StepResults& results = m_Results[port];
    const float increment = static_cast<float>(100 / std::max<uint8_t>(worker.ucTestItems, 1));
    results.ConfigVerifyResult = 0;
    uint8_t r = device.m_ucDevIdx > 16 ? 0 : 1;
    try {
        if (m_Flags.m_bUsbStatusCheck) {
            r = StepUsbStatus(device, results, r);
            ShowStep(port, kColStatus, true, results.UsbStatusResult);
            AddIncrement(worker, increment);
        }
        if (m_Flags.m_bSendSHA256Key) {
            if (!IsPcie(port)) r = m_Flags.m_bSupportSHA256 ? m_Dev.vSHA256_SendKey(port) : 0;
            AddIncrement(worker, increment);
        }
        if (!stop.stop_requested() && m_Flags.m_bUpdateFW) {
            r = StepUpdate(port, device, results, r);
            ShowStep(port, kColUpdate, true, results.UpdateFWResult);
            AddIncrement(worker, increment);
        } else if (!m_Flags.m_bUpdateFW) {
            ShowStep(port, kColUpdate, false, 0);
        }
        r = StepReload(port, device, results, r, worker, stop);
        if (m_Flags.m_bConfigCheck && r == 1) {
            r = StepConfigCheck(device, results, r);
            ShowStep(port, kColUpdate, true, results.ConfigCheckResult);
            AddIncrement(worker, increment);
        }
    } catch (...) {
        DBG_ERR("%s:%d: ChildThreadFun: dwErrorCode %d", 0);
        results.UpdateFWResult = results.ReloadFWResult = 0;
        ShowStep(port, kColUpdate, m_Flags.m_bUpdateFW, 0);
        ShowStep(port, kColReLink, m_Flags.m_bReloadFW, 0);
    }
    worker.fProgress = 100.0f;
    worker.ucState = kWorkerFinished;
}

uint8_t CMPEngine::StepUsbStatus(DeviceInfo& device, StepResults& results, uint8_t r)
{
    if (device.IsPcie) {
        results.UsbStatusResult = 1;
        return r;
    }
    static const char* const kFailingLink[] = {"HIGH", "SUPER", "PLUS"};  // USB 2.0, 3.0, 3.1
    if (m_Settings.Check_USBStatus < 3 &&
        device.m_strUsbConnectionStatus.find(kFailingLink[m_Settings.Check_USBStatus]) != std::string::npos)
        r = 0;
    results.UsbStatusResult = r;
    return r;
}

bool CMPEngine::WriteConfiguration(uint8_t port, DeviceInfo& device, uint8_t workerCount)
{
    for (uint8_t image = 0; image < 2; ++image) {
        if (!(image == 0 ? m_Settings.image0 : m_Settings.image1)) continue;
        auto transfer = [&](uint8_t readWrite, uint8_t* table, uint8_t type) {
            if (IsPcie(port))
                return m_Pcie.pcie_AccessConfigEEPROM2(PcieIndex(port), readWrite, table, CONFIG_BIN_SIZE, image, type) ==
                       kCommandSuccess;
            return m_Dev.b7951WrRdConfiguration(port, readWrite, table, image, type) == 1;
        };
        if (m_Settings.config_format == 0 && (!transfer(kReadFromDevice, device.U3ConfigImage.data(), 0) ||
                                              !transfer(kReadFromDevice, device.U4ConfigImage.data(), 1)))
            return false;
        if (!transfer(kWriteToDevice, device.U3ConfigImage.data(), 0)) return false;
        U4ConfigTable u4;
        std::copy(device.U4ConfigImage.begin(), device.U4ConfigImage.end(), u4.begin());
        vSetRelinkSignatureAndChkSumToU4Config(u4, port, workerCount);
        std::copy(u4.begin(), u4.end(), device.U4ConfigImage.begin());
        if (!transfer(kWriteToDevice, device.U4ConfigImage.data(), 1)) return false;
    }
    return true;
}

bool CMPEngine::WriteFirmware(uint8_t port, DeviceInfo&)
{
    DBG_MSG("%s:%d: wfw 0");
    if (IsPcie(port)) {
        const auto file = ReadWholeFile(m_strFWPath);
        if (!file || file->empty()) return false;
        for (uint8_t image = 0; image < 2; ++image) {
            if (!(image == 0 ? m_Settings.image0 : m_Settings.image1)) continue;
            std::vector<uint8_t> data(*file), back(file->size());
            const auto length = static_cast<uint32_t>(data.size());
            if (m_Pcie.pcie_AccessFirmwareEEPROM2(PcieIndex(port), kWriteToDevice, data.data(), length, image) != 0 ||
                m_Pcie.pcie_AccessFirmwareEEPROM2(PcieIndex(port), kReadFromDevice, back.data(), length, image) != 0 ||
                back != *file) {
                DBG_ERR(image == 0 ? "%s:%d: cmp pcie fw img0 fail" : "%s:%d: cmp pcie fw img1 fail");
                return false;
            }
        }
        return true;
    }
    uint8_t r = 1;
    for (uint8_t image = 0; image < 2; ++image) {
        if (!(image == 0 ? m_Settings.image0 : m_Settings.image1)) continue;
        if (m_Dev.v7951UpdateFirmware(port, image, m_Flags.m_bVerifyConfig, m_strFWPath) != 1) return false;
        if (m_Flags.m_bSupportSHA256) {
            r = m_Dev.vSHA256_VerifyKey(port, image) ? 1 : 0;
            if (image == 0)
                DBG_MSG(r ? "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 0 => PASS."
                          : "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 0 => FAIL.",
                        port);
            else
                DBG_MSG(r ? "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 1 => PASS."
                          : "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 1 => FAIL.",
                        port);
            // A key check that fails fails the step, whichever image it was.
            if (!r) return false;
        }
    }
    return r == 1;
}

bool CMPEngine::VerifyConfiguration(uint8_t port, DeviceInfo& device)
{
    const int attempts = IsPcie(port) ? 1 : 3;
    bool verified = false;
    for (int attempt = 0; attempt < attempts && !verified; ++attempt) {
        util::SleepMs(kStepPauseMs);
        verified = true;
        for (uint8_t image = 0; image < 2; ++image) {
            if (!(image == 0 ? m_Settings.image0 : m_Settings.image1)) continue;
            for (uint8_t type = 0; type < 2 && verified; ++type) {
                device.ConfigReadBack.fill(0);
                const bool read =
                    IsPcie(port)
                        ? m_Pcie.pcie_AccessConfigEEPROM2(PcieIndex(port), kReadFromDevice, device.ConfigReadBack.data(),
                                                          CONFIG_BIN_SIZE, image, type) == kCommandSuccess
                        : m_Dev.b7951WrRdConfiguration(port, kReadFromDevice, device.ConfigReadBack.data(), image,
                                                       type) == 1;
                const auto& written = type == 0 ? device.U3ConfigImage : device.U4ConfigImage;
                // Bytes 0 to 3 are the bridge's own and never compared.
                if (!read || !std::equal(written.begin() + 4, written.end(), device.ConfigReadBack.begin() + 4)) {
                    verified = false;
                    DBG_ERR(type == 0 ? "%s:%d: img %d config check fail\n" : "%s:%d: img %d U4 config check fail\n",
                            image);
                }
            }
        }
    }
    return verified;
}

uint8_t CMPEngine::StepUpdate(uint8_t port, DeviceInfo& device, StepResults& results, uint8_t r)
{
    if (r == 1) {
        if (IsPcie(port))
            DBG_MSG("%s:%d: start update pcie config: pci idx:%d, target:%d, dev nums:%d", PcieIndex(port), port,
                    m_DevList.DevNums);
        else
            DBG_MSG("%s:%d: res:%d, start update usb config: target:%d, dev nums:%d", r, port, m_DevList.DevNums);
        r = WriteConfiguration(port, device, m_Workers[port].ucWorkerCount) ? 1 : 0;
        results.ConfigWriteResult = r;
        if (r == 1) r = WriteFirmware(port, device) ? 1 : 0;
        if (r == 1 && m_Flags.m_bVerifyConfig) {
            results.ConfigVerifyResult = VerifyConfiguration(port, device) ? 1 : 0;
            r = results.ConfigVerifyResult;
        }
    }
    results.UpdateFWResult = r;
    DBG_MSG("%s:%d: wfw:%d", r);
    return r;
}

uint8_t CMPEngine::StepReload(uint8_t port, DeviceInfo& device, StepResults& results, uint8_t r,
                              WorkerParam& worker, const std::stop_token& stop)
{
    const float increment = static_cast<float>(100 / std::max<uint8_t>(worker.ucTestItems, 1));
    if (!m_Flags.m_bReloadFW || r != 1 || stop.stop_requested()) {
        ShowStep(port, kColReLink, m_Flags.m_bReloadFW && r != 1, 0);
        if (m_Flags.m_bReloadFW) results.ReloadFWResult = 0;
        // This worker will never reach the barrier; the others must not wait for it.
        worker.ucState = kWorkerPastReload;
        return m_Flags.m_bReloadFW ? 0 : r;
    }
    if (IsPcie(port)) {
        r = m_Pcie.CPURST(PcieIndex(port), worker.ucWorkerCount, kRelinkResetCode, HexValue(m_Settings.PCIE_VendorID),
                          HexValue(m_Settings.PCIE_DeviceID), m_Settings.image0, m_Settings.image1) == 0
                ? 1
                : 0;
        if (r) {
            util::SleepMs(kStepPauseMs);
            m_Pcie.vFillPcieRecord(PcieIndex(port), port, device);
            util::SleepMs(static_cast<int64_t>(m_Settings.PCIE_SSDRelinkTime) * 1000);
        }
    } else {
        const int probeCount = static_cast<int>(m_Dev.Station().GetDiskCount()) - 1;
        r = m_Dev.v7951CPURST(port, worker.ucWorkerCount, probeCount, kRelinkResetCode, kBridgeFamily795x);
        util::SleepMs(kStepPauseMs);
    }
    m_Table.vUpdateMainResultSubItemTable(m_DevList, 0);
    results.ReloadFWResult = r;
    ShowStep(port, kColReLink, true, r);
    AddIncrement(worker, increment);
    if (r != 1) {
        worker.ucState = kWorkerPastReload;
        return r;
    }
    // Reload barrier: wait for every worker of the run that will come here;
    // workers that are past the reload (failed or finished) are not waited for.
    worker.ucState = kWorkerReloadDone;
    for (;;) {
        util::SleepMs(kStepPauseMs);
        int arrived = 0;
        for (const auto& other : m_Workers)
            arrived += other.ucState >= kWorkerReloadDone;
        if (arrived >= worker.ucWorkerCount || stop.stop_requested()) break;
    }
    util::SleepMs(kStepPauseMs);
    AddIncrement(worker, increment);
    return r;
}

uint8_t CMPEngine::StepConfigCheck(DeviceInfo& device, StepResults& results, uint8_t r)
{
    const std::pair<const std::string*, const char*> pairs[] = {
        {&device.m_strVID, m_Settings.vendor_id},
        {&device.m_strPID, m_Settings.product_id},
        {&device.m_strSerialNumber, m_Settings.serial_number},
        {&device.m_strManufacturer, m_Settings.manufacturer_string},
        {&device.m_strProduct, m_Settings.product_string},
    };
    for (const auto& [reported, expected] : pairs)
        if (!util::EqualNoCase(*reported, expected)) {
            r = 0;
            break;
        }
    results.ConfigCheckResult = r;
    return r;
}

// --- command line --------------------------------------------------------------------

void CMPEngine::SetCommandLine(const CmdLineInit& commandLine)
{
    m_CommandLine = commandLine;
    m_bInteractive = commandLine.bInteractive;
}

void CMPEngine::vCmdLineHandler()
{
    if (m_bExited) return;
    DBG_MSG("%s:%d: cmd idx:%i", m_CommandLine.CommandIndex);
    const uint32_t count = m_DevList.DevNums + static_cast<uint32_t>(std::max(m_iPcieCount, 0));
    switch (m_CommandLine.CommandIndex) {
    case kCmdCheckFirmware:
        for (uint32_t i = 0; i < count && i < MAX_DEVICES; ++i)
            if (!util::EqualNoCase(m_DevList.Devs[i].m_strFWVersion, m_CommandLine.CheckedFirmware)) {
                DBG_MSG("%s:%d: FW unmatch");
                return Exit(kExitFirmwareMismatch);
            }
        return Exit(kExitPass);
    case kCmdStart: {
        std::string sn = m_Settings.serial_number;
        OnBnClickedButtonStart(sn);
        return;
    }
    case kCmdUSB4Export: {
        std::vector<U4ConfigTable> blocks;
        for (uint32_t i = 0; i < count && i < MAX_DEVICES; ++i) {
            U4ConfigTable block;
            std::copy(m_DevList.Devs[i].U4ConfigImage.begin(), m_DevList.Devs[i].U4ConfigImage.end(), block.begin());
            blocks.push_back(block);
        }
        return Exit(bExportU4Data(blocks, LocalDateNow()) ? kExitPass : -1);
    }
    case kCmdPowerConfig:
        DBG_MSG("%s:%d: pwr config num:%i", count);
        for (uint32_t i = 0; i < count && i < MAX_DEVICES; ++i) {
            const int result = m_Dev.vFactoryConfigure_PowerConfigWrite(static_cast<uint8_t>(i), "PowerConfiguration.bin");
            if (result != 0) {
                DBG_ERR("%s:%d: power config write fail[%d]", i);
                return Exit(result);
            }
        }
        return Exit(kExitPass);
    default: return;
    }
}

}  // namespace engine
