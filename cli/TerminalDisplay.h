#pragma once
// The headless front end of unattended stations. On a terminal it keeps one line
// per taking port (phase, progress, elapsed time, serial and firmware written,
// step results) and redraws only the lines that changed, at most a few times a
// second, coloured unless NO_COLOR is set. In a file or a pipe it prints plain
// lines of changes. Either way every failed step, every refusal and every
// operator message gets a line of its own, and the run ends with the final table,
// the counts and the wall time.
#include <array>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/EngineSnapshot.h"
#include "engine/RunObserver.h"

namespace cli {

struct DisplayOptions {
    bool interactiveTerminal = false;  // redraw in place (ANSI) instead of printing lines
    bool colour = false;               // ANSI colours for PASS, FAIL and running
    int width = 80;                    // columns of the terminal
};

// Colours on a terminal unless $NO_COLOR is set (to anything); width from
// $COLUMNS when it holds a number, 80 otherwise.
DisplayOptions DisplayOptionsFromEnvironment(bool outputIsTerminal);

// The narrow layout fits 80 columns; at 130 columns and more every step gets its
// own titled column.
inline constexpr int kWideLayoutWidth = 130;

// A port's phase for the table: with the share of the bytes done while a long
// step moves data ("prel 42%").
std::string PortPhaseField(const engine::PortView& port);
// "port 3: preload 512 of 4096 MiB".
std::string PortBytesLine(int row, const engine::PortView& port);

// The table's lines: a title line, then one line per port that takes part in the
// run or shows a device; `colour` adds ANSI colours (which take no columns).
std::vector<std::string> TableLines(const engine::TableView& table,
                                    const std::array<engine::PortView, MAX_DEVICES>& ports, int width,
                                    bool colour);

class TerminalDisplay final : public engine::RunObserver {
public:
    using SnapshotSource = std::function<std::shared_ptr<const engine::EngineSnapshot>()>;

    TerminalDisplay(std::FILE* out, DisplayOptions options);

    // Where the display reads the per-port view; without one it shows no table.
    void SetSnapshotSource(SnapshotSource source);

    void OnCellChanged(int row, int column, const std::string& text, int colourMode,
                       engine::CellColours colours) override;
    void OnProgressPosition(int position) override;
    void OnProgressBarColour(engine::Rgb colour) override;
    void OnProgressText(const std::string& text) override;
    void OnResultIndicators(bool showPass, bool showFail) override;
    void OnCountersChanged(uint32_t passCount, uint32_t failCount, uint32_t totalCount) override;
    void OnControlsEnabled(engine::ControlSet set) override;
    void OnStartEnabled(bool enabled) override;
    int OnOperatorMessage(const std::string& text, int kind) override;
    void OnExitRequest(int exitCode) override;
    void OnMessageWritten(const std::string& text, int kind) override;
    void OnStartRefused(const std::string& reason) override;
    void OnDrivesRemoved(int removed, int failed) override;
    void OnRecordFailed(const std::string& reason) override;
    void OnStepFailed(int row, int column, const std::string& reason) override;

    // Waits until the engine asks the process to end or `deadlineMs` (station
    // clock) passes; the exit code, or nullopt at the deadline.
    std::optional<int> WaitForExit(int64_t deadlineMs);

    // The end of the program: the final table once, the counts, the wall time,
    // the exit code and then `closingLines` (where the trace and the logs are).
    void Finish(int exitCode, int64_t wallMs, const std::vector<std::string>& closingLines);

private:
    void NoteChange();
    void DrawChangedLines();
    void PrintLine(const std::string& line);
    void PrintPortChanges(const std::shared_ptr<const engine::EngineSnapshot>& state);
    std::shared_ptr<const engine::EngineSnapshot> Read() const;

    std::FILE* m_Out;
    DisplayOptions m_Options;
    SnapshotSource m_Source;
    mutable std::mutex m_Lock;
    std::condition_variable m_Exit;
    std::optional<int> m_ExitCode;
    std::vector<std::string> m_Shown;      // the lines on the screen now (terminal)
    int64_t m_llLastDrawMs = 0;
    std::array<std::string, MAX_DEVICES> m_Phases;  // last phase printed per port (pipe)
    std::array<int, MAX_DEVICES> m_BytesTenths{};    // tenths of a long step's bytes printed per port (pipe)
    int m_iLastProgressTenth = -1;
};

}  // namespace cli
