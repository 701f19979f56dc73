#include "pd/PDUpdate.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "log/DebugLog.h"
#include "pd/PowerDelivery.h"
#include "util/Clock.h"
#include "util/Text.h"

namespace pd {

namespace {

constexpr int64_t kPowerCycleMessageWaitMs = 2000;
constexpr int64_t kReloadEntryWaitMs = 500;
constexpr int kProgressPowerCycle = 85;
constexpr int kProgressRichtekRead = 90;
constexpr int kProgressWritePart = 80;  // writes and compares fill the bar up to here

std::string Text(const char* format, int port, int value = 0) __attribute__((format(printf, 1, 0)));
std::string Text(const char* format, int port, int value)
{
    char text[160];
    std::snprintf(text, sizeof text, format, port, value);
    return text;
}

bool FileFits(int vendor, const PDFirmwareFile& file)
{
    if (vendor == kVendorRichtek) return file.kind == PDFileKind::Richtek;
    if (vendor == kVendorCypress || vendor == kVendorCCG3) return file.kind == PDFileKind::Cypress;
    return false;
}

// Observer calls queued by the port threads and made by the thread that runs them all.
class EventQueue {
public:
    void Push(std::function<void()> event)
    {
        {
            std::lock_guard lock(m_Lock);
            m_Events.push_back(std::move(event));
        }
        m_Ready.notify_one();
    }
    // Waits for the next event; false once `finished` ports have ended and nothing is left.
    bool Pop(std::function<void()>& event, size_t ports)
    {
        std::unique_lock lock(m_Lock);
        m_Ready.wait(lock, [&] { return !m_Events.empty() || m_Finished == ports; });
        if (m_Events.empty()) return false;
        event = std::move(m_Events.front());
        m_Events.pop_front();
        return true;
    }
    void PortEnded()
    {
        {
            std::lock_guard lock(m_Lock);
            ++m_Finished;
        }
        m_Ready.notify_one();
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Ready;
    std::deque<std::function<void()>> m_Events;  // guarded by m_Lock
    size_t m_Finished = 0;                       // guarded by m_Lock
};

}  // namespace

PDStatusLook Show_Message(int statusCode)
{
    switch (statusCode) {
    case kPDStatusFail: return {"FAIL", 0xFF0000};
    case kPDStatusPass: return {"PASS", 0x00FF00};
    case kPDStatusTimeOut: return {"Time Out", 0xFF0000};
    case kPDStatusMisMatch: return {"Mis-Match", 0xFFA500};
    case kPDStatusReady: return {"Ready", 0x14FA14};
    case kPDStatusUpdating: return {"Updating", 0x0000E1};
    case kPDStatusReading: return {"Reading", 0x1414FF};
    case kPDStatusComparing: return {"Comparing", 0x1414FF};
    default: return {"", 0xFFFFFF};
    }
}

// One port's update: its own channel object (vendor codes, device mode and
// bootloader flag belong to the port) and what it reports.
struct CPDUpdateDlg::PortRun {
    PortRun(platform::IStation& station, PDPort p, EventQueue& q) : pd(station), port(p), queue(q) {}
    CPowerDelivery pd;
    PDPort port;
    EventQueue& queue;
    const PDFirmwareFile* pdFile = nullptr;
    bool cypressVerified = false;
    int failStatus = kPDStatusFail;
    PDPortOutcome outcome;

    void Status(int code)
    {
        queue.Push([o = observer, p = port.port, code] { o->OnStatus(p, code); });
    }
    void Progress(int percent, uint32_t rgb = kPDBarRunning)
    {
        queue.Push([o = observer, p = port.port, percent, rgb] { o->OnProgress(p, percent, rgb); });
    }
    void Message(const std::string& text)
    {
        queue.Push([o = observer, p = port.port, text] { o->OnMessage(p, text); });
    }
    IPDUpdateObserver* observer = nullptr;
};

CPDUpdateDlg::CPDUpdateDlg(platform::IStation& station, PDUpdateSettings settings, PDRelinkFinder finder,
                           IPDUpdateObserver& observer)
    : m_Station(station), m_Settings(std::move(settings)), m_Finder(std::move(finder)), m_Observer(observer)
{
}

bool CPDUpdateDlg::LoadFiles()
{
    bool ok = true;
    const auto refuse = [&](const PDFirmwareFile& file) {
        for (const auto& finding : file.findings) {
            DBG_ERR("%s:%d: %s", FindingText(file.path, finding).c_str());
            m_Observer.OnMessage(-1, FindingText(file.path, finding));
        }
        ok = false;
    };
    m_PDFiles.clear();
    if (m_Settings.pdEnabled) {
        for (const auto& path : m_Settings.pdFiles) {
            m_PDFiles.push_back(LoadPDFirmwareFile(path));
            if (!m_PDFiles.back().Accepted() || m_PDFiles.back().kind == PDFileKind::STMHex) {
                if (m_PDFiles.back().kind == PDFileKind::STMHex)
                    m_Observer.OnMessage(-1, path + ": The PD FW file is Unknow (an MCU file)");
                refuse(m_PDFiles.back());
            }
        }
        if (m_PDFiles.empty()) ok = false;
    }
    if (m_Settings.mcuEnabled) {
        m_MCUFile = LoadPDFirmwareFile(m_Settings.mcuFile);
        if (!m_MCUFile.Accepted() || m_MCUFile.kind != PDFileKind::STMHex) {
            if (m_MCUFile.kind != PDFileKind::STMHex) m_Observer.OnMessage(-1, m_Settings.mcuFile + ": not an MCU .hex file");
            refuse(m_MCUFile);
        }
    }
    return ok && (m_Settings.pdEnabled || m_Settings.mcuEnabled);
}

std::string CPDUpdateDlg::GetPDFWVersion(const PDPort& port)
{
    CPowerDelivery pd(m_Station);
    if (pd.nInitializedPDI2CBus(port.drive) != 0 ||
        pd.nGetPDFWVersion(port.drive, m_Settings.pdEnabled || !m_Settings.mcuEnabled, m_Settings.mcuEnabled) != 0) {
        DBG_ERR("%s:%d: Get PD[%d] FW version Failed", port.port);
        return "NULL";
    }
    std::string text = pd.m_strDeviceVersion;
    if (pd.m_nPDChipVendor == kVendorCCG3 && pd.m_nCCG3DeviceMode == 1) text += " \nBank 1";
    if (pd.m_nPDChipVendor == kVendorCCG3 && pd.m_nCCG3DeviceMode == 2) text += " \nBank 2";
    return text;
}

std::vector<PDPortOutcome> CPDUpdateDlg::OnBnClickedButtonPdStart(const std::vector<PDPort>& ports)
{
    EventQueue queue;
    std::vector<std::unique_ptr<PortRun>> runs;
    for (const PDPort& port : ports) {
        runs.push_back(std::make_unique<PortRun>(m_Station, port, queue));
        runs.back()->observer = &m_Observer;
        m_Observer.OnStatus(port.port, kPDStatusUpdating);
        m_Observer.OnProgress(port.port, 0, kPDBarRunning);
    }
    {
        std::vector<std::jthread> threads;
        for (auto& run : runs)
            threads.emplace_back([this, &queue, r = run.get()] {
                r->outcome.result = PDFWUpdateThreadFun(*r);
                queue.PortEnded();
            });
        std::function<void()> event;
        while (queue.Pop(event, runs.size())) event();
    }
    std::vector<PDPortOutcome> outcomes;
    for (const auto& run : runs) outcomes.push_back(run->outcome);
    return outcomes;
}

int CPDUpdateDlg::ChipVendor(const PDPort& port)
{
    CPowerDelivery pd(m_Station);
    return pd.nInitializedPDI2CBus(port.drive) == 0 ? pd.m_nPDChipVendor : kVendorUnknown;
}

std::vector<PDPortOutcome> CPDUpdateDlg::OnBnClickedButtonPdFwVerify(const std::vector<PDPort>& ports)
{
    if (!LoadFiles()) {
        DBG_ERR("%s:%d: PD File is not suitable PD Chip IMAGE");
        m_Observer.OnMessage(-1, "PD File is not suitable PD Chip IMAGE!!!\nPlease try to Set correct PD Chip or load "
                                 "correct PD File");
        return {};
    }
    if (m_Settings.pdEnabled) {
        for (const PDPort& port : ports) {
            const int vendor = ChipVendor(port);
            const auto fits = [vendor](const PDFirmwareFile& file) { return FileFits(vendor, file); };
            if (std::none_of(m_PDFiles.begin(), m_PDFiles.end(), fits)) {
                DBG_ERR("%s:%d: PD[%d] chip vendor %d fits no PD file", port.port, vendor);
                m_Observer.OnMessage(port.port, "PD File is not suitable PD Chip!!!Please try to Set correct PD Chip "
                                                "or load correct PD File");
                return {};
            }
        }
    }
    return OnBnClickedButtonPdStart(ports);
}

void CPDUpdateDlg::ClosePDBuses(const std::vector<PDPortOutcome>& outcomes)
{
    CPowerDelivery pd(m_Station);
    for (size_t port = 0; port < outcomes.size(); ++port)
        if (pd.nClosePDI2CBus(outcomes[port].drive) != 0)
            DBG_ERR("%s:%d: PD[%d] Close I2C Bus Failed", static_cast<int>(port));
}

int CPDUpdateDlg::PDFWUpdateThreadFun(PortRun& run)
{
    DBG_MSG("%s:%d:  Start PD/MCU FW Update");
    run.pd.m_bBootloaderEntered = false;
    int result = kPDResultNotRecognised;
    try {
        result = PortSteps(run);
    } catch (...) {
        DBG_ERR("%s:%d:  catch error , dwErrorCode= %d", static_cast<int>(platform::GetLastError()));
        result = kCommandFailed;
    }
    const int port = run.port.port;
    if (result != kPDResultPass) {
        DBG_ERR("%s:%d:  FW Update[%d] is failed...code [%d] ", port, result);
        run.Status(run.failStatus);
        run.Progress(100, kPDBarFailed);
    } else {
        DBG_MSG("%s:%d:  FW Update[%d] is PASS...code [%d] ", port, result);
        run.outcome.pdPass = m_Settings.pdEnabled;
        run.outcome.mcuPass = m_Settings.mcuEnabled;
        run.Status(kPDStatusPass);
        run.Progress(100);
    }
    run.outcome.drive = run.port.drive;
    run.outcome.version = GetPDFWVersion(run.port);
    run.queue.Push([o = &m_Observer, port, v = run.outcome.version, result] {
        o->OnVersion(port, v);
        o->OnFinished(port, result);
    });
    return result;
}

int CPDUpdateDlg::PortSteps(PortRun& run)
{
    const int port = run.port.port;
    int& drive = run.port.drive;
    CPowerDelivery& pd = run.pd;
    if (pd.nInitializedPDI2CBus(drive) != 0) {
        // A chip that does not identify itself properly is not one to program.
        DBG_ERR("%s:%d: PD[%d] I2C Initialized I2C Bus Failed", port);
        pd.m_nPDChipVendor = kVendorUnknown;
        pd.m_nMCUChipVendor = kVendorUnknown;
    }

    // 1. Preconditions: chips known, and a file that fits this port's PD chip.
    if (m_Settings.pdEnabled) {
        for (const auto& file : m_PDFiles)
            if (FileFits(pd.m_nPDChipVendor, file)) run.pdFile = &file;
        if (pd.m_nPDChipVendor == kVendorUnknown || !run.pdFile) {
            DBG_ERR("%s:%d: m_nPDChipVendor is UNKNOW or PD File is UNKNOW ");
            if (pd.m_nPDChipVendor != kVendorUnknown) {
                run.failStatus = kPDStatusMisMatch;
                run.Message("PD File is not suitable PD Chip!!!Please try to load correct PD Chip or File");
            }
            return kPDResultNotRecognised;
        }
    }
    if (m_Settings.mcuEnabled && pd.m_nMCUChipVendor != kVendorSTM) {
        DBG_ERR("%s:%d: m_nMCUChipVendor is UNKNOW Failed, pPDUpdateDlg->m_nMCUChipVendor=%x", pd.m_nMCUChipVendor);
        return kPDResultNotRecognised;
    }
    // 2. PD flash mode.
    const int vendor = pd.m_nPDChipVendor;
    if (m_Settings.pdEnabled) {
        if (const int r = pd.nConfigMTPArea(vendor, drive)) {
            DBG_ERR("%s:%d: Config PD[%d ][%d] Flase Failed[%d], ", port, drive, r);
            run.Message(Text("Config PD[%d] Flash Failed!!", port));
            return r;
        }
    }
    // 3. MCU flash mode, 4. MCU write, read-back and compare.
    if (m_Settings.mcuEnabled) {
        if (const int r = pd.nConfigMTPArea(kVendorSTM, drive)) {
            DBG_ERR("%s:%d: Config MCU[%d ][%d] Flase Failed[%d], ", port, drive, r);
            run.Message(Text("MCU[%d] Enter Bootload mode Failed=[%d]!!", port, r));
            return r;
        }
        DBG_MSG("%s:%d:  Config MCU Flash done....");
        const int share = m_Settings.pdEnabled ? kProgressWritePart / 2 : kProgressWritePart;
        if (const int r = pd.nPDFWUpdate(kVendorSTM, drive, m_MCUFile, [&](uint32_t done, uint32_t total) {
                if (done % 64 == 0 || done == total) run.Progress(static_cast<int>(done * share / total));
            })) {
            DBG_ERR("%s:%d:  MCU[%d ][%d]FW Update Failed[%d], ", port, drive, r);
            return r;
        }
        run.Status(kPDStatusComparing);
        PDReadBack back;
        if (const int r = pd.nPDFWRead(kVendorSTM, drive, m_MCUFile, kMCUImageSize, back)) {
            DBG_ERR("%s:%d:  MCU[%d ][%d]Read Data Failed[%d], ", port, drive, r);
            return kPDResultReadBack;
        }
        if (nCompareMCU(m_MCUFile, back) != 0) return kPDResultCompare;
        run.Status(kPDStatusUpdating);
    }
    // 5. PD write; Cypress chips are read back and compared row by row.
    if (m_Settings.pdEnabled) {
        const int base = m_Settings.mcuEnabled ? kProgressWritePart / 2 : 0;
        if (const int r = pd.nPDFWUpdate(vendor, drive, *run.pdFile, [&](uint32_t done, uint32_t total) {
                if (done % 64 == 0 || done == total)
                    run.Progress(base + static_cast<int>(done * (kProgressWritePart - base) / total));
            })) {
            DBG_ERR("%s:%d:  PD[%d ][%d]FW Update Failed[%d], ", port, drive, r);
            return r;
        }
        if (vendor == kVendorCypress || vendor == kVendorCCG3) {
            run.Status(kPDStatusComparing);
            PDReadBack back;
            if (const int r = pd.nPDFWRead(vendor, drive, *run.pdFile, 0, back)) {
                DBG_ERR("%s:%d:  PD[%d ][%d]FW Read Failed[%d], ", port, drive, r);
                return kPDResultReadBack;
            }
            if (nCompareCypress(vendor, pd.m_nCCG3DeviceMode, *run.pdFile, back) != 0) return kPDResultCompare;
            run.cypressVerified = true;
            DBG_MSG("%s:%d: Cypress FW verification Pass!!");
        }
    }
    return RelinkAndCheck(run);
}

int CPDUpdateDlg::RelinkAndCheck(PortRun& run)
{
    const int port = run.port.port;
    int& drive = run.port.drive;
    CPowerDelivery& pd = run.pd;
    // 6. The operator's power cycle.
    run.Message(Text("Please power cycling Your [%d ]device!!!", port));
    run.queue.Push([o = &m_Observer, port, d = drive] { o->OnPowerCycleRequest(port, d); });
    run.Progress(kProgressPowerCycle);
    util::SleepMs(kPowerCycleMessageWaitMs);
    DBG_MSG("%s:%d: Enter ucDevNum[%d] Reload wheil() ", drive);
    util::SleepMs(kReloadEntryWaitMs);
    // 7. Relink wait.
    const int64_t start = util::NowMs();
    std::optional<int> found;
    while (!(found = m_Finder(run.port))) {
        if (util::NowMs() - start >= kPDRelinkLimitMs) {
            run.failStatus = kPDStatusTimeOut;
            run.Message(Text("PO[%d] Wait relink failed, Timeout", port));
            DBG_ERR("%s:%d:  PD[%d ][%d]Relink  Time out[%d], ", port, drive, kPDResultRelinkTimeOut);
            return kPDResultRelinkTimeOut;
        }
        util::SleepMs(kPDRelinkPollMs);
    }
    drive = *found;
    if (run.cypressVerified) return kPDResultPass;
    if (const int r = pd.nInitializedPDI2CBus(drive)) {
        run.Message(Text("PD[%d] I2C Initialized I2C Bus Failed", port));
        DBG_ERR("%s:%d:  PD[%d ][%d]nInitializedPDI2CBus Failed[%d], ", port, drive, r);
        return r;
    }
    if (!m_Settings.pdEnabled) return kPDResultPass;
    if (const int r = pd.nGetPDFWVersion(drive, true, false)) {
        run.Message(Text("PD[%d] Get FW Version Failed in compare loop, ", port));
        DBG_ERR("%s:%d:  PD[%d ][%d]nGetPDFWVersion Failed[%d], ", port, drive, r);
        return r;
    }
    const PDFirmwareFile& file = *run.pdFile;
    // The device prints its version in upper case, the Richtek file rule in lower case.
    if (!file.cypress.bLowRows && !util::EqualNoCase(pd.m_strDeviceVersion, file.version)) {
        char text[200];
        std::snprintf(text, sizeof text, "PD[%d] FW Version Compare Failed, File[%s], PD[%s]", port,
                      file.version.c_str(), pd.m_strDeviceVersion.c_str());
        run.Message(text);
        DBG_ERR("%s:%d:  PD[%d ][%d]FW Version Compare Failed, Failed code[%d], ", port, drive, kPDResultCompare);
        run.failStatus = kPDStatusMisMatch;
        return kPDResultCompare;
    }
    if (pd.m_nPDChipVendor == kVendorRichtek) {
        run.Status(kPDStatusReading);
        PDReadBack back;
        if (const int r = pd.nPDFWRead(kVendorRichtek, drive, file, kRichtekImageSize, back)) {
            DBG_ERR("%s:%d:  PD[%d ][%d]FW nPDFWRead Failed[%d], ", port, drive, r);
            return kPDResultReadBack;
        }
        run.Progress(kProgressRichtekRead);
        if (nCompareRichtek(file, back) != 0) {
            DBG_ERR("%s:%d:  PD[%d ][%d]FW Comparsion Failed[%d], ", port, drive, kPDResultCompare);
            return kPDResultCompare;
        }
    }
    return kPDResultPass;
}

}  // namespace pd
