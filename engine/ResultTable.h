#pragma once
// The result table and status display of the main window, without the window:
// 16 rows (one per device position) of 19 cells, each a text with a colour mode,
// the overall progress bar with its percentage text, the PASS/FAIL indicators and
// the pass/fail/total counters. The model keeps what is shown and pushes every
// change to its RunObserver.
//
// Thread use: the scan thread, the supervisor and the workers all call it (each
// worker writes its own row only); one lock serialises the stored state and the
// observer calls, so the observer sees the changes in the order they were made.
// Because it is called under that lock, the observer given to the table must
// never block or call back: the engine gives it a forwarder into the engine
// thread's queue (engine/ObserverQueue.h), and only the engine thread calls the
// front end's observer.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "device/DeviceList.h"
#include "engine/RunObserver.h"
#include "util/ThreadAnnotations.h"

namespace engine {

inline constexpr int kResultRows = 16;
inline constexpr int kResultColumnCount = 19;

// Columns by what they show.
enum ResultColumn : int {
    kColPort = 0,
    kColStatus = 1,
    kColVID = 2,
    kColPID = 3,
    kColSerialNumber = 4,
    kColFWVersion = 5,
    kColCC = 6,
    kColU4Mode = 7,
    kColCapacity = 8,
    kColUpdate = 9,
    kColReLink = 10,
    kColPartition = 11,
    kColRWTest = 12,
    kColPreload = 13,
    kColPD = 14,
};

// Title and width in pixels of a column; every column is centred.
struct ResultColumnLayout {
    const char* title;
    int width;
};
extern const std::array<ResultColumnLayout, kResultColumnCount> kResultColumns;

// Colour modes of a cell. A cell whose text is PassText or FailText is green or
// red whatever its mode (see CellColoursFor).
enum CellColourMode : int {
    kModeGreen = 1,
    kModeRed = 2,
    kModeBlue = 3,
    kModeOrange = 4,
    kModePurple = 5,
    kModePlain = 6,
};

// Colours of a cell: mode 1, then a text equal to PassText, mode 2, a text equal
// to FailText, modes 3, 4, 5, anything else plain (texts compared ignoring case).
CellColours CellColoursFor(int colourMode, std::string_view text);

// Progress bar colours of a run.
inline constexpr Rgb kBarRunning{255, 165, 0};
inline constexpr Rgb kBarRunningUsb3{0, 0, 255};
inline constexpr Rgb kBarPass{0, 255, 0};
inline constexpr Rgb kBarFail{255, 0, 0};

// Run outcome (`RunResult`).
enum RunOutcome : uint8_t { kRunNone = 0, kRunPass = 1, kRunFail = 2 };

// Identity texts of a device as the table shows them.
// Disk capacity: empty when unknown (all ones), "%u MB" up to 1024 MB, else "%u GB".
std::string strCapacityText(int32_t sizeLow, int32_t sizeHigh);
// CC byte: "X" for 255, else "%x" of the byte plus one.
std::string strCCText(uint8_t cc);
// Colour mode of a device's identity cells: orange, blue for a USB3 link ("SUPER"
// or "PLUS" in the speed text) or a TBT3 / U3 tunnel, purple for a PCIe tunnel.
int iIdentityColourMode(const DeviceInfo& device);
// True when the text equals "SUPER" or "PLUS", ignoring case.
bool bIsUsb3SpeedText(std::string_view speedText);

struct ResultCell {
    std::string text;
    int colourMode = kModePlain;
    friend bool operator==(const ResultCell&, const ResultCell&) = default;
};

// Everything the table shows, as one value.
struct TableView {
    std::array<std::array<ResultCell, kResultColumnCount>, kResultRows> cells{};
    int progressPosition = 0;
    std::string progressText = "0%";
    Rgb barColour = kBarRunning;
    bool showPass = false;
    bool showFail = false;
    uint32_t passCount = 0;
    uint32_t failCount = 0;
    uint32_t totalCount = 0;
};

class CResultTable {
public:
    explicit CResultTable(RunObserver* observer = nullptr);
    CResultTable(const CResultTable&) = delete;
    CResultTable& operator=(const CResultTable&) = delete;

    void SetObserver(RunObserver* observer);

    // --- the table -----------------------------------------------------------------
    // Empties every row and writes the row numbers "0".."15" into column 0.
    void vSetMainResultItemTable();
    // Sets one cell's text and colour mode; rows and columns out of range are ignored.
    void vUpdateMainResultItemTable(int row, int column, const std::string& text, int colourMode);
    // Refreshes the identity columns of every present position (m_ucDevIdx not 255)
    // from `list`; with `clear` 1 the identity columns and the progress are reset
    // first and, when any position is present, the step columns of all rows are
    // emptied as well. A device on a USB4 link gets its U4 speed text as its USB
    // speed text (written back into the list).
    void vUpdateMainResultSubItemTable(DeviceList& list, uint8_t clear);
    // Refreshes the identity columns of one row from its device (a worker after
    // its bridge came back); the same rules as above, for that row alone.
    void vUpdateMainResultSubItemRow(int row, DeviceInfo& device);
    // Empties the identity columns 1..8 and 14 of all rows.
    void vClearMainResultSubItemTable();
    // Empties the step columns 9..13 of all rows.
    void vClearMainResultSubItemStatusTable();
    ResultCell GetCell(int row, int column) const;
    TableView View() const;

    // --- progress --------------------------------------------------------------------
    // Text "0%", position 0.
    void vResetProgress();
    void vSetProgressPosition(int position);  // clamped to 0..100
    int iGetProgressPosition() const;
    // Activity sign of a running supervisor: the position moves on by one, back to
    // 0 after 100. Returns the new position.
    int iAdvanceProgressActivity();
    // Average progress of the workers as "%3d %%".
    void vShowAverageProgress(int percent);
    // Bar colour at the start of a run: blue when the first device's speed text is
    // "SUPER" or "PLUS", orange otherwise.
    void vSetRunStartBarColour(std::string_view firstDeviceSpeedText);
    std::string strProgressText() const;

    // --- PASS / FAIL -------------------------------------------------------------------
    void vHideResultIndicators();
    // kRunPass: PASS indicator and green bar; kRunFail: FAIL indicator and red bar;
    // anything else hides both indicators.
    void vShowRunResult(uint8_t runResult);

    // --- counters ------------------------------------------------------------------------
    // One evaluated device: pass or fail, and the total, then all three shown.
    void vCountDevice(bool passed);
    // Clear Count: all three 0.
    void vClearCount();
    uint32_t PassCount() const;
    uint32_t FailCount() const;
    uint32_t TotalCount() const;

private:
    void SetCellLocked(int row, int column, const std::string& text, int colourMode) REQUIRES(m_Lock);
    void ClearColumnsLocked(std::initializer_list<int> columns) REQUIRES(m_Lock);
    void ResetProgressLocked() REQUIRES(m_Lock);
    void NotifyCountersLocked() REQUIRES(m_Lock);
    void SetIndicatorsLocked(bool showPass, bool showFail) REQUIRES(m_Lock);
    void SetBarColourLocked(Rgb colour) REQUIRES(m_Lock);
    bool UpdateRowLocked(int row, DeviceInfo& device) REQUIRES(m_Lock);

    mutable util::Mutex m_Lock;
    RunObserver* m_pObserver GUARDED_BY(m_Lock) = nullptr;
    TableView m_View GUARDED_BY(m_Lock);
};

}  // namespace engine
