#pragma once
// The headless front end of unattended stations: shows the 16 ports with their
// step columns and the overall progress on a terminal (redrawn in place), or as
// plain lines of changes when the output is a file or a pipe, and carries the
// engine's exit request to the process.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "engine/RunObserver.h"

namespace cli {

class TerminalDisplay final : public engine::RunObserver {
public:
    // `interactiveTerminal`: redraw the table in place (ANSI) instead of printing lines.
    TerminalDisplay(std::FILE* out, bool interactiveTerminal);

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

    // Waits until the engine asks the process to end or `deadlineMs` (station
    // clock) passes; the exit code, or nullopt at the deadline.
    std::optional<int> WaitForExit(int64_t deadlineMs);
    // The table as it stands, one line per port that has a row.
    std::string TableText() const;

private:
    void Redraw();
    std::FILE* m_Out;
    bool m_bInteractiveTerminal;
    mutable std::mutex m_Lock;
    std::condition_variable m_Exit;
    std::optional<int> m_ExitCode;
    std::map<std::pair<int, int>, std::string> m_Cells;
    std::string m_strProgress;
    std::string m_strCounters;
    std::string m_strVerdict;
    int m_iLastProgressLine = -1;
};

}  // namespace cli
