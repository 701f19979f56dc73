#include "cli/TerminalDisplay.h"

#include <chrono>
#include <cstdlib>

#include "engine/ResultTable.h"
#include "util/Clock.h"

namespace cli {

namespace {
// The columns the terminal shows, in order.
constexpr int kShownColumns[] = {engine::kColPort,     engine::kColStatus, engine::kColSerialNumber,
                                 engine::kColFWVersion, engine::kColU4Mode, engine::kColCapacity,
                                 engine::kColUpdate,    engine::kColReLink, engine::kColPartition,
                                 engine::kColRWTest,    engine::kColPreload};
constexpr int kWidths[] = {4, 8, 21, 13, 9, 10, 7, 7, 9, 8, 7};

bool IsStepColumn(int column)
{
    return column == engine::kColStatus || (column >= engine::kColUpdate && column <= engine::kColPreload);
}
}  // namespace

TerminalDisplay::TerminalDisplay(std::FILE* out, bool interactiveTerminal)
    : m_Out(out), m_bInteractiveTerminal(interactiveTerminal)
{
}

std::string TerminalDisplay::TableText() const
{
    std::string text;
    char cell[64];
    for (size_t i = 0; i < std::size(kShownColumns); ++i) {
        std::snprintf(cell, sizeof cell, "%-*.*s ", kWidths[i], kWidths[i], engine::kResultColumns[kShownColumns[i]].title);
        text += cell;
    }
    text += '\n';
    for (int row = 0; row < 16; ++row) {
        const auto serial = m_Cells.find({row, engine::kColSerialNumber});
        if (serial == m_Cells.end() || serial->second.empty()) continue;
        for (size_t i = 0; i < std::size(kShownColumns); ++i) {
            const auto it = m_Cells.find({row, kShownColumns[i]});
            std::snprintf(cell, sizeof cell, "%-*.*s ", kWidths[i], kWidths[i],
                          it == m_Cells.end() ? "" : it->second.c_str());
            text += cell;
        }
        text += '\n';
    }
    return text;
}

void TerminalDisplay::Redraw()
{
    if (!m_bInteractiveTerminal) return;
    std::fprintf(m_Out, "\x1b[H\x1b[2J%s\n%s  %s  %s\n", TableText().c_str(), m_strProgress.c_str(),
                 m_strCounters.c_str(), m_strVerdict.c_str());
    std::fflush(m_Out);
}

void TerminalDisplay::OnCellChanged(int row, int column, const std::string& text, int, engine::CellColours)
{
    std::lock_guard lock(m_Lock);
    auto& cell = m_Cells[{row, column}];
    if (cell == text) return;
    cell = text;
    if (m_bInteractiveTerminal) return Redraw();
    if (IsStepColumn(column) && !text.empty()) {
        std::fprintf(m_Out, "port %2d  %-10s %s\n", row, engine::kResultColumns[column].title, text.c_str());
        std::fflush(m_Out);
    }
}

void TerminalDisplay::OnProgressPosition(int) {}
void TerminalDisplay::OnProgressBarColour(engine::Rgb) {}

void TerminalDisplay::OnProgressText(const std::string& text)
{
    std::lock_guard lock(m_Lock);
    m_strProgress = "progress " + text;
    if (m_bInteractiveTerminal) return Redraw();
    // In a file or pipe, one line per tenth of the way.
    const int percent = std::atoi(text.c_str());
    if (percent / 10 != m_iLastProgressLine) {
        m_iLastProgressLine = percent / 10;
        std::fprintf(m_Out, "%s\n", m_strProgress.c_str());
        std::fflush(m_Out);
    }
}

void TerminalDisplay::OnResultIndicators(bool showPass, bool showFail)
{
    std::lock_guard lock(m_Lock);
    m_strVerdict = showPass ? "PASS" : showFail ? "FAIL" : "";
    if (m_bInteractiveTerminal) return Redraw();
    if (!m_strVerdict.empty()) std::fprintf(m_Out, "run: %s\n", m_strVerdict.c_str());
}

void TerminalDisplay::OnCountersChanged(uint32_t passCount, uint32_t failCount, uint32_t totalCount)
{
    std::lock_guard lock(m_Lock);
    m_strCounters = "pass " + std::to_string(passCount) + "  fail " + std::to_string(failCount) + "  total " +
                    std::to_string(totalCount);
    Redraw();
}

void TerminalDisplay::OnControlsEnabled(engine::ControlSet) {}
void TerminalDisplay::OnStartEnabled(bool) {}

int TerminalDisplay::OnOperatorMessage(const std::string& text, int kind)
{
    std::lock_guard lock(m_Lock);
    std::fprintf(stderr, "%s: %s\n", kind == 1 ? "Error" : kind == 3 ? "Warning" : "Message", text.c_str());
    return 0;
}

void TerminalDisplay::OnExitRequest(int exitCode)
{
    std::lock_guard lock(m_Lock);
    if (!m_ExitCode) m_ExitCode = exitCode;
    m_Exit.notify_all();
}

std::optional<int> TerminalDisplay::WaitForExit(int64_t deadlineMs)
{
    std::unique_lock lock(m_Lock);
    while (!m_ExitCode && util::NowMs() < deadlineMs)
        m_Exit.wait_for(lock, std::chrono::milliseconds(50));
    return m_ExitCode;
}

}  // namespace cli
