#pragma once
// The PD and MCU firmware update of every PD port: one thread per port runs the
// steps (preconditions, flash modes, MCU write and compare, PD write and compare,
// the operator's power cycle, the relink wait, the version check) and reports to
// an observer, so a window or a console is only a view of it. Observer calls are
// made from the thread that called Run, never from a port thread.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pd/PDFirmwareFile.h"
#include "platform/Station.h"

namespace pd {

// Status codes of a port (Show_Message).
enum PDStatusCode : int {
    kPDStatusFail = 1,
    kPDStatusPass = 2,
    kPDStatusTimeOut = 3,
    kPDStatusMisMatch = 4,
    kPDStatusReady = 5,
    kPDStatusUpdating = 6,
    kPDStatusReading = 7,
    kPDStatusEmpty = 8,
    kPDStatusComparing = 9,
};
struct PDStatusLook {
    const char* text;
    uint32_t rgb;  // 0xRRGGBB
};
PDStatusLook Show_Message(int statusCode);

constexpr uint32_t kPDBarRunning = 0x14E814;
constexpr uint32_t kPDBarFailed = 0xE81414;

// Result codes of one port's update.
constexpr int kPDResultPass = 0;
constexpr int kPDResultReadBack = -2;
constexpr int kPDResultCompare = -3;
constexpr int kPDResultRelinkTimeOut = -9;
constexpr int kPDResultNotRecognised = -10;

constexpr int64_t kPDRelinkLimitMs = 40000;
constexpr int64_t kPDRelinkPollMs = 500;

struct PDUpdateSettings {
    std::vector<std::string> pdFiles;  // each port takes the one that fits its chip
    std::string mcuFile;
    bool pdEnabled = false;
    bool mcuEnabled = false;
};

struct PDPort {
    int port = 0;
    int drive = 0;       // disk number now
    std::string serial;  // USB serial number: how the port is found after its power cycle
};

class IPDUpdateObserver {
public:
    virtual ~IPDUpdateObserver() = default;
    virtual void OnStatus(int port, int statusCode) = 0;
    virtual void OnProgress(int port, int percent, uint32_t barRgb) = 0;
    virtual void OnVersion(int port, const std::string& text) = 0;
    // An operator message ("Please power cycling Your [%d ]device!!!" and the failures).
    virtual void OnMessage(int port, const std::string& text) = 0;
    // The port asks the operator to power-cycle its device (after the message).
    virtual void OnPowerCycleRequest(int port, int drive) = 0;
    virtual void OnFinished(int port, int result) = 0;
};

// Finds a port's disk number after its power cycle; nullopt while it is away.
using PDRelinkFinder = std::function<std::optional<int>(const PDPort&)>;

struct PDPortOutcome {
    int result = kPDResultNotRecognised;
    int drive = 0;  // the port's disk number at the end (it changes with the power cycle)
    bool pdPass = false;
    bool mcuPass = false;
    std::string version;
};

class CPDUpdateDlg {
public:
    CPDUpdateDlg(platform::IStation& station, PDUpdateSettings settings, PDRelinkFinder finder,
                 IPDUpdateObserver& observer);

    // Reads the files; false (with the findings logged and reported) when an
    // enabled file is refused, before any port is touched.
    bool LoadFiles();
    const std::vector<PDFirmwareFile>& PDFiles() const { return m_PDFiles; }

    // The version text of a port as the dialog shows it ("NULL" when nothing could be read).
    std::string GetPDFWVersion(const PDPort& port);
    // Runs every port's update in its own thread and returns their outcomes.
    std::vector<PDPortOutcome> OnBnClickedButtonPdStart(const std::vector<PDPort>& ports);
    // Reads the files, checks that every port's PD chip is one a PD file fits and
    // then runs the same update as Start. Nothing is written (and no outcome
    // returned) when a file is refused or a chip fits none of them.
    std::vector<PDPortOutcome> OnBnClickedButtonPdFwVerify(const std::vector<PDPort>& ports);
    // Closes the PD bus of every port that ran (as the dialog does when it goes).
    void ClosePDBuses(const std::vector<PDPortOutcome>& outcomes);

private:
    struct PortRun;
    int PDFWUpdateThreadFun(PortRun& run);
    int PortSteps(PortRun& run);
    int RelinkAndCheck(PortRun& run);
    // The PD vendor the chip of `port` reports; kVendorUnknown when it does not answer.
    int ChipVendor(const PDPort& port);

    platform::IStation& m_Station;
    PDUpdateSettings m_Settings;
    PDRelinkFinder m_Finder;
    IPDUpdateObserver& m_Observer;
    std::vector<PDFirmwareFile> m_PDFiles;
    PDFirmwareFile m_MCUFile;
};

}  // namespace pd
