#include "engine/DeviceWorker.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "config/FirmwareCheck.h"
#include "config/U4ConfigTable.h"
#include "engine/DataSteps.h"
#include "engine/DiskSteps.h"
#include "log/DebugLog.h"
#include "util/Clock.h"
#include "util/Text.h"

namespace engine {

namespace {
constexpr uint8_t kRelinkResetCode = 0x50;
constexpr int64_t kStepPauseMs = 500;

uint16_t HexValue(const char* text)
{
    return static_cast<uint16_t>(std::strtoul(text, nullptr, 16));
}
}  // namespace

int ColumnOfPhase(uint8_t phase)
{
    switch (phase) {
    case kPhaseUsbStatus: return kColStatus;
    case kPhaseReload: return kColReLink;
    case kPhasePartition:
    case kPhaseFormat: return kColPartition;
    case kPhaseWrRdTest:
    case kPhaseSpeedTest: return kColRWTest;
    case kPhasePreload: return kColPreload;
    default: return kColUpdate;  // waiting, key, update, configuration check
    }
}

const char* PortPhaseText(uint8_t phase)
{
    static const char* const kTexts[] = {"waiting", "USB status", "key", "update", "reload",
                                         "config check", "partition", "format", "write/read", "speed", "preload", "done"};
    return phase < std::size(kTexts) ? kTexts[phase] : "";
}

CDeviceWorker::CDeviceWorker(const RunContext& run, RunResources& resources, uint8_t port)
    : m_Run(run),
      m_Resources(resources),
      m_Port(port),
      m_Worker(resources.workers[port]),
      m_Device(resources.devices.Devs[port]),
      m_Results(resources.results[port]),
      m_fIncrement(static_cast<float>(100 / std::max<uint8_t>(resources.workers[port].ucTestItems, 1)))
{
}

void CDeviceWorker::ShowStep(int column, bool enabled, uint8_t result)
{
    m_Resources.table.vUpdateMainResultItemTable(m_Port, column, enabled ? (result ? PassText : FailText) : "",
                                                 kModePlain);
    if (enabled && !result) {
        const std::string cause = m_strFailReason.empty() ? kEarlierStepFailed : m_strFailReason;
        // The first failing step is the device's reason; the later ones follow from it.
        if (m_Results.FailCause.empty()) {
            m_Results.FailColumn = column;
            m_Results.FailCause = cause;
        }
        DBG_ERR("%s:%d: ChildThreadFun: port %d: %s FAIL: %s", m_Port, kResultColumns[column].title, cause.c_str());
        m_Resources.observer.OnStepFailed(m_Port, column, cause);
    }
    m_strFailReason.clear();
}

StepHooks CDeviceWorker::Hooks()
{
    return {[this] { AddIncrement(); },
            [this](int column, bool enabled, uint8_t result) { ShowStep(column, enabled, result); },
            [this](const std::string& cause) { Fail(cause.c_str()); }};
}

uint8_t CDeviceWorker::Fail(const char* reason)
{
    if (m_strFailReason.empty()) m_strFailReason = reason;
    return 0;
}

void CDeviceWorker::AddIncrement()
{
    m_Worker.fProgress = m_Worker.fProgress + m_fIncrement;
}

void CDeviceWorker::RunSteps(const std::stop_token& stop)
{
    const RunFlags& f = m_Run.flags;
    uint8_t r = m_Device.m_ucDevIdx > 16 ? 0 : 1;
    try {
        if (f.m_bUsbStatusCheck) {
            m_Worker.ucPhase = kPhaseUsbStatus;
            r = StepUsbStatus(r);
            ShowStep(kColStatus, true, m_Results.UsbStatusResult);
            AddIncrement();
        }
        if (f.m_bSendSHA256Key) {
            m_Worker.ucPhase = kPhaseKey;
            if (!IsPcie())
                r = !f.m_bSupportSHA256                      ? Fail("the bridge does not support the security key")
                    : m_Resources.dev.vSHA256_SendKey(m_Port) ? 1
                                                              : Fail("the security key was not accepted");
            AddIncrement();
        }
        if (!stop.stop_requested() && f.m_bUpdateFW) {
            m_Worker.ucPhase = kPhaseUpdate;
            r = StepUpdate(r);
            ShowStep(kColUpdate, true, m_Results.UpdateFWResult);
            AddIncrement();
        } else if (!f.m_bUpdateFW) {
            ShowStep(kColUpdate, false, 0);
        }
        if (f.m_bReloadFW) m_Worker.ucPhase = kPhaseReload;
        r = StepReload(r, stop);
        if (f.m_bConfigCheck && r == 1) {
            m_Worker.ucPhase = kPhaseConfigCheck;
            r = StepConfigCheck(r);
            ShowStep(kColUpdate, true, m_Results.ConfigCheckResult);
            AddIncrement();
        }
        if (!stop.stop_requested()) r = CDiskSteps(m_Run, m_Resources, m_Port, Hooks()).Run(r, stop);
        if (!stop.stop_requested()) r = CDataSteps(m_Run, m_Resources, m_Port, Hooks()).Run(r, stop);
    } catch (...) {
        DBG_ERR("%s:%d: ChildThreadFun: dwErrorCode %d", 0);
        Fail("an unexpected error ended the worker");
        m_Results.UpdateFWResult = m_Results.ReloadFWResult = 0;
        ShowStep(kColUpdate, f.m_bUpdateFW, 0);
        ShowStep(kColReLink, f.m_bReloadFW, 0);
    }
}

void CDeviceWorker::Run(const std::stop_token& stop)
{
    m_Results.ConfigVerifyResult = 0;
    // Nothing is sent to a bridge that could not be identified: it fails with
    // the reason discovery gave.
    if (m_Device.m_strIdentifyFailure.empty()) {
        RunSteps(stop);
        // A stop (the operator's, or the supervision time-out) skips the steps
        // still to come: the port fails, and says so in the column it stopped in.
        if (stop.stop_requested() && m_Results.FailCause.empty()) {
            Fail("the run was stopped");
            ShowStep(ColumnOfPhase(m_Worker.ucPhase), true, 0);
        }
    } else {
        Fail(m_Device.m_strIdentifyFailure.c_str());
        ShowStep(kColUpdate, true, 0);
    }
    // A worker that ends, on whatever path, counts as arrived at the partition
    // barrier: the others never wait for it.
    m_Results.PartitionReached = 1;
    m_Worker.bPartitionReached = true;
    m_Worker.fProgress = 100.0f;
    m_Worker.ucPhase = kPhaseDone;
    m_Worker.llEndMs = util::NowMs();
    m_Worker.ucState = kWorkerFinished;
}

uint8_t CDeviceWorker::StepUsbStatus(uint8_t r)
{
    if (IsPcie()) {
        m_Results.UsbStatusResult = 1;
        return r;
    }
    static const char* const kFailingLink[] = {"HIGH", "SUPER", "PLUS"};  // USB 2.0, 3.0, 3.1
    const uint32_t required = m_Run.settings.Check_USBStatus;
    if (required < 3 && m_Device.m_strUsbConnectionStatus.find(kFailingLink[required]) != std::string::npos)
        r = Fail("the USB link is slower than the settings require");
    m_Results.UsbStatusResult = r;
    return r;
}

bool CDeviceWorker::TransferConfig(uint8_t readWrite, uint8_t* table, uint8_t image, uint8_t type)
{
    if (IsPcie())
        return m_Resources.pcie.pcie_AccessConfigEEPROM2(PcieIndex(), readWrite, table, CONFIG_BIN_SIZE, image,
                                                         type) == kCommandSuccess;
    return m_Resources.dev.b7951WrRdConfiguration(m_Port, readWrite, table, image, type) == 1;
}

bool CDeviceWorker::WriteConfiguration()
{
    for (uint8_t image = 0; image < 2; ++image) {
        if (!ImageOn(image)) continue;
        if (m_Run.settings.config_format == 0 &&
            (!TransferConfig(kReadFromDevice, m_Device.U3ConfigImage.data(), image, 0) ||
             !TransferConfig(kReadFromDevice, m_Device.U4ConfigImage.data(), image, 1)))
            return false;
        if (!TransferConfig(kWriteToDevice, m_Device.U3ConfigImage.data(), image, 0)) return false;
        U4ConfigTable u4;
        std::copy(m_Device.U4ConfigImage.begin(), m_Device.U4ConfigImage.end(), u4.begin());
        vSetRelinkSignatureAndChkSumToU4Config(u4, m_Port, m_Worker.ucWorkerCount);
        std::copy(u4.begin(), u4.end(), m_Device.U4ConfigImage.begin());
        if (!TransferConfig(kWriteToDevice, m_Device.U4ConfigImage.data(), image, 1)) return false;
    }
    return true;
}

bool CDeviceWorker::WriteFirmware()
{
    DBG_MSG("%s:%d: wfw 0");
    if (IsPcie()) {
        const auto file = ReadWholeFile(m_Run.strFWPath);
        if (!file || file->empty()) return false;
        for (uint8_t image = 0; image < 2; ++image) {
            if (!ImageOn(image)) continue;
            std::vector<uint8_t> data(*file), back(file->size());
            const auto length = static_cast<uint32_t>(data.size());
            CBrv795xPcieCtrl& pcie = m_Resources.pcie;
            if (pcie.pcie_AccessFirmwareEEPROM2(PcieIndex(), kWriteToDevice, data.data(), length, image) != 0 ||
                pcie.pcie_AccessFirmwareEEPROM2(PcieIndex(), kReadFromDevice, back.data(), length, image) != 0 ||
                back != *file) {
                DBG_ERR(image == 0 ? "%s:%d: cmp pcie fw img0 fail" : "%s:%d: cmp pcie fw img1 fail");
                return false;
            }
        }
        return true;
    }
    uint8_t r = 1;
    for (uint8_t image = 0; image < 2; ++image) {
        if (!ImageOn(image)) continue;
        if (m_Resources.dev.v7951UpdateFirmware(m_Port, image, m_Run.flags.m_bVerifyConfig, m_Run.strFWPath) != 1)
            return false;
        if (m_Run.flags.m_bSupportSHA256) {
            r = m_Resources.dev.vSHA256_VerifyKey(m_Port, image) ? 1 : 0;
            if (image == 0)
                DBG_MSG(r ? "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 0 => PASS."
                          : "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 0 => FAIL.",
                        m_Port);
            else
                DBG_MSG(r ? "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 1 => PASS."
                          : "%s:%d: ChildThreadFun: vSHA256_VerifyKey ucTargetNumber=[%d], Image 1 => FAIL.",
                        m_Port);
            // A key check that fails fails the step, whichever image it was.
            if (!r) return false;
        }
    }
    return r == 1;
}

bool CDeviceWorker::VerifyConfiguration()
{
    const int attempts = IsPcie() ? 1 : 3;
    bool verified = false;
    for (int attempt = 0; attempt < attempts && !verified; ++attempt) {
        util::SleepMs(kStepPauseMs);
        verified = true;
        for (uint8_t image = 0; image < 2; ++image) {
            if (!ImageOn(image)) continue;
            for (uint8_t type = 0; type < 2 && verified; ++type) {
                m_Device.ConfigReadBack.fill(0);
                const bool read = TransferConfig(kReadFromDevice, m_Device.ConfigReadBack.data(), image, type);
                const auto& written = type == 0 ? m_Device.U3ConfigImage : m_Device.U4ConfigImage;
                // Bytes 0 to 3 are the bridge's own and never compared.
                if (!read || !std::equal(written.begin() + 4, written.end(), m_Device.ConfigReadBack.begin() + 4)) {
                    verified = false;
                    DBG_ERR(type == 0 ? "%s:%d: img %d config check fail\n" : "%s:%d: img %d U4 config check fail\n",
                            image);
                }
            }
        }
    }
    return verified;
}

uint8_t CDeviceWorker::StepUpdate(uint8_t r)
{
    if (r == 1) {
        if (IsPcie())
            DBG_MSG("%s:%d: start update pcie config: pci idx:%d, target:%d, dev nums:%d", PcieIndex(), m_Port,
                    m_Resources.devices.DevNums);
        else
            DBG_MSG("%s:%d: res:%d, start update usb config: target:%d, dev nums:%d", r, m_Port,
                    m_Resources.devices.DevNums);
        r = WriteConfiguration() ? 1 : Fail("the configuration tables could not be written");
        m_Results.ConfigWriteResult = r;
        if (r == 1) r = WriteFirmware() ? 1 : Fail("the firmware could not be written, read back or verified");
        if (r == 1 && m_Run.flags.m_bVerifyConfig) {
            m_Results.ConfigVerifyResult = VerifyConfiguration() ? 1 : Fail("the configuration tables read back different");
            r = m_Results.ConfigVerifyResult;
        }
    }
    m_Results.UpdateFWResult = r;
    DBG_MSG("%s:%d: wfw:%d", r);
    return r;
}

uint8_t CDeviceWorker::StepReload(uint8_t r, const std::stop_token& stop)
{
    const bool reload = m_Run.flags.m_bReloadFW != 0;
    if (!reload || r != 1 || stop.stop_requested()) {
        if (stop.stop_requested() && r == 1) Fail("the run was stopped");
        ShowStep(kColReLink, reload && (r != 1 || stop.stop_requested()), 0);
        if (reload) m_Results.ReloadFWResult = 0;
        // This worker will never reach the barrier; the others must not wait for it.
        m_Worker.ucState = kWorkerPastReload;
        return reload ? 0 : r;
    }
    const IniSettings& s = m_Run.settings;
    if (IsPcie()) {
        r = m_Resources.pcie.CPURST(PcieIndex(), m_Worker.ucWorkerCount, kRelinkResetCode, HexValue(s.PCIE_VendorID),
                                    HexValue(s.PCIE_DeviceID), s.image0, s.image1) == 0
                ? 1
                : 0;
        if (r) {
            util::SleepMs(kStepPauseMs);
            m_Resources.pcie.vFillPcieRecord(PcieIndex(), m_Port, m_Device);
            util::SleepMs(static_cast<int64_t>(s.PCIE_SSDRelinkTime) * 1000);
        }
    } else {
        const int probeCount = static_cast<int>(m_Resources.dev.Usb().GetDiskCount()) - 1;
        r = m_Resources.dev.v7951CPURST(m_Port, m_Worker.ucWorkerCount, probeCount, kRelinkResetCode,
                                        kBridgeFamily795x);
        util::SleepMs(kStepPauseMs);
    }
    if (r != 1) Fail("the bridge was not found again after its reset");
    // This worker's row only: the other rows belong to their own workers.
    m_Resources.table.vUpdateMainResultSubItemRow(m_Port, m_Device);
    m_Results.ReloadFWResult = r;
    ShowStep(kColReLink, true, r);
    AddIncrement();
    if (r != 1) {
        m_Worker.ucState = kWorkerPastReload;
        return r;
    }
    // Reload barrier: wait for every worker of the run that will come here;
    // workers that are past the reload (failed or finished) are not waited for.
    m_Worker.ucState = kWorkerReloadDone;
    for (;;) {
        if (!util::SleepMs(kStepPauseMs, stop)) break;
        int arrived = 0;
        for (const auto& other : m_Resources.workers)
            arrived += other.ucState >= kWorkerReloadDone;
        if (arrived >= m_Worker.ucWorkerCount) break;
    }
    util::SleepMs(kStepPauseMs, stop);
    AddIncrement();
    return r;
}

uint8_t CDeviceWorker::StepConfigCheck(uint8_t r)
{
    const IniSettings& s = m_Run.settings;
    const std::pair<const std::string*, const char*> pairs[] = {
        {&m_Device.m_strVID, s.vendor_id},
        {&m_Device.m_strPID, s.product_id},
        {&m_Device.m_strSerialNumber, s.serial_number},
        {&m_Device.m_strManufacturer, s.manufacturer_string},
        {&m_Device.m_strProduct, s.product_string},
    };
    for (const auto& [reported, expected] : pairs)
        if (!util::EqualNoCase(*reported, expected)) {
            r = Fail("the bridge reports other identity strings than the settings");
            break;
        }
    m_Results.ConfigCheckResult = r;
    return r;
}

}  // namespace engine
