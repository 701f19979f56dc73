#include "cli/TerminalDisplay.h"

#include <chrono>
#include <cstdlib>

#include "util/Clock.h"
#include "util/USBUtility.h"

namespace cli {

namespace {

constexpr int64_t kRedrawIntervalMs = 250;  // at most four redraws a second

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kReset = "\x1b[0m";

// The step columns of a port, in run order, with a one-letter tag for the narrow layout.
struct StepColumn {
    int column;
    char tag;
};
constexpr StepColumn kSteps[] = {{engine::kColUpdate, 'U'},    {engine::kColReLink, 'L'},
                                 {engine::kColPartition, 'P'}, {engine::kColRWTest, 'W'},
                                 {engine::kColPreload, 'R'},   {engine::kColPD, 'D'}};

bool IsStepColumn(int column)
{
    return column == engine::kColStatus || (column >= engine::kColUpdate && column <= engine::kColPD);
}

// `text` padded or cut to `width` characters, in `code`'s colour when one is given.
std::string Painted(const std::string& text, int width, const char* code)
{
    std::string field = text.substr(0, static_cast<size_t>(width));
    field.resize(static_cast<size_t>(width), ' ');
    return code ? code + field + kReset : field;
}

// A result text: PASS green, FAIL red, anything else plain.
std::string Field(const std::string& text, int width, bool colour)
{
    const bool verdict = text == engine::PassText || text == engine::FailText;
    return Painted(text, width, colour && verdict ? (text == engine::PassText ? kGreen : kRed) : nullptr);
}

std::string Elapsed(int64_t ms)
{
    char text[48];
    std::snprintf(text, sizeof text, "%3lld:%02lld", static_cast<long long>(ms / 60000),
                  static_cast<long long>(ms / 1000 % 60));
    return text;
}

// One step's result as a single character: pass, fail, not run.
std::string Tag(const std::string& text, bool colour)
{
    const std::string tag = text == engine::PassText ? "+" : text == engine::FailText ? "x" : text.empty() ? "." : "~";
    if (!colour || text.empty()) return tag;
    return (text == engine::PassText ? kGreen : text == engine::FailText ? kRed : kYellow) + tag + kReset;
}

}  // namespace

std::string PortPhaseField(const engine::PortView& port)
{
    if (port.bytesTotal == 0 || port.phase == "done") return port.phase;
    // Bytes of a long step, so that a large copy never looks stalled.
    const auto percent = static_cast<int>(port.bytesDone * 100 / port.bytesTotal);
    char text[32];
    std::snprintf(text, sizeof text, "%.4s %d%%", port.phase.c_str(), percent);
    return text;
}

std::string PortBytesLine(int row, const engine::PortView& port)
{
    char text[128];
    std::snprintf(text, sizeof text, "port %d: %s %llu of %llu MiB", row, port.phase.c_str(),
                  static_cast<unsigned long long>(port.bytesDone >> 20),
                  static_cast<unsigned long long>(port.bytesTotal >> 20));
    return text;
}

DisplayOptions DisplayOptionsFromEnvironment(bool outputIsTerminal)
{
    DisplayOptions options;
    options.interactiveTerminal = outputIsTerminal;
    options.colour = outputIsTerminal && std::getenv("NO_COLOR") == nullptr;
    if (const char* columns = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const long width = std::strtol(columns, &end, 10);
        if (end != columns && *end == '\0' && width >= 40 && width <= 1000) options.width = static_cast<int>(width);
    }
    return options;
}

std::vector<std::string> TableLines(const engine::TableView& table,
                                    const std::array<engine::PortView, MAX_DEVICES>& ports, int width,
                                    bool colour)
{
    const bool wide = width >= kWideLayoutWidth;
    // Port, status, phase, done, time, serial, firmware: 5+7+10+5+7+21+15 = 70 columns,
    // then the steps: six tags in the narrow layout (76), six titled columns in the wide one (130).
    std::string title = Field("Port", 4, false) + " " + Field("Status", 6, false) + " " + Field("Phase", 9, false) +
                        " " + Field("Done", 4, false) + " " + Field("Time", 6, false) + " " +
                        Field("Serial written", 20, false) + " " + Field("Firmware", 14, false) + " ";
    if (wide)
        for (const StepColumn& step : kSteps) title += Field(engine::kResultColumns[step.column].title, 10, false);
    else
        title += "ULPWRD";
    std::vector<std::string> lines{title};
    for (int row = 0; row < MAX_DEVICES; ++row) {
        const auto& cells = table.cells[row];
        const engine::PortView& port = ports[row];
        if (!port.taking && cells[engine::kColSerialNumber].text.empty()) continue;
        char head[32];
        std::snprintf(head, sizeof head, "%4d ", row);
        std::string line = head;
        line += Field(cells[engine::kColStatus].text, 6, colour) + " ";
        const bool running = port.taking && !port.phase.empty() && port.phase != "done";
        line += Painted(PortPhaseField(port), 9, colour && running ? kYellow : nullptr) + " ";
        std::snprintf(head, sizeof head, "%3d%% ", port.percent);
        line += head;
        line += Elapsed(port.elapsedMs) + " ";
        line += Field(port.serialWritten, 20, false) + " ";
        line += Field(port.firmwareWritten, 14, false) + " ";
        for (const StepColumn& step : kSteps)
            line += wide ? Field(cells[step.column].text, 9, colour) + " " : Tag(cells[step.column].text, colour);
        lines.push_back(line);
    }
    return lines;
}

TerminalDisplay::TerminalDisplay(std::FILE* out, DisplayOptions options) : m_Out(out), m_Options(options) {}

void TerminalDisplay::SetSnapshotSource(SnapshotSource source)
{
    std::lock_guard lock(m_Lock);
    m_Source = std::move(source);
}

std::shared_ptr<const engine::EngineSnapshot> TerminalDisplay::Read() const
{
    return m_Source ? m_Source() : nullptr;
}

// A line of its own: on a terminal above the table, which is drawn again below it.
void TerminalDisplay::PrintLine(const std::string& line)
{
    if (m_Options.interactiveTerminal && !m_Shown.empty()) {
        std::fprintf(m_Out, "\r\x1b[%zuA\x1b[J", m_Shown.size());
        m_Shown.clear();
    }
    std::fprintf(m_Out, "%s\n", line.c_str());
    std::fflush(m_Out);
}

// Rewrites only the lines of the table that differ from what the screen shows.
void TerminalDisplay::DrawChangedLines()
{
    const auto state = Read();
    if (!state) return;
    std::vector<std::string> lines = TableLines(state->table, state->ports, m_Options.width, m_Options.colour);
    lines.push_back("progress " + state->table.progressText + "  pass " + std::to_string(state->table.passCount) +
                    "  fail " + std::to_string(state->table.failCount) + "  total " +
                    std::to_string(state->table.totalCount));
    if (m_Shown.size() != lines.size()) {
        if (!m_Shown.empty()) std::fprintf(m_Out, "\r\x1b[%zuA\x1b[J", m_Shown.size());
        for (const std::string& line : lines) std::fprintf(m_Out, "%s\n", line.c_str());
    } else {
        const size_t count = lines.size();
        for (size_t i = 0; i < count; ++i) {
            if (lines[i] == m_Shown[i]) continue;
            // Up to the line, rewrite it, back down below the table.
            std::fprintf(m_Out, "\r\x1b[%zuA%s\x1b[K\r\x1b[%zuB", count - i, lines[i].c_str(), count - i);
        }
    }
    std::fflush(m_Out);
    m_Shown = std::move(lines);
}

// In a file or pipe: one line per port whose phase changed.
void TerminalDisplay::PrintPortChanges(const std::shared_ptr<const engine::EngineSnapshot>& state)
{
    if (!state) return;
    for (int row = 0; row < MAX_DEVICES; ++row) {
        const engine::PortView& port = state->ports[row];
        if (!port.taking || port.phase.empty()) continue;
        // A long step prints its bytes at every tenth of the way.
        const int tenth = port.bytesTotal ? static_cast<int>(port.bytesDone * 10 / port.bytesTotal) : -1;
        if (port.phase == m_Phases[row] && tenth > m_BytesTenths[row]) {
            m_BytesTenths[row] = tenth;
            std::fprintf(m_Out, "%s\n", PortBytesLine(row, port).c_str());
        }
        if (port.phase == m_Phases[row]) continue;
        m_Phases[row] = port.phase;
        m_BytesTenths[row] = tenth;
        std::fprintf(m_Out, "port %d: %s  serial %s  firmware %s\n", row, port.phase.c_str(),
                     port.serialWritten.empty() ? "-" : port.serialWritten.c_str(),
                     port.firmwareWritten.empty() ? "-" : port.firmwareWritten.c_str());
    }
    std::fflush(m_Out);
}

void TerminalDisplay::NoteChange()
{
    if (!m_Options.interactiveTerminal) return PrintPortChanges(Read());
    const int64_t now = util::NowMs();
    if (!m_Shown.empty() && now - m_llLastDrawMs < kRedrawIntervalMs) return;
    m_llLastDrawMs = now;
    DrawChangedLines();
}

void TerminalDisplay::OnCellChanged(int, int, const std::string&, int, engine::CellColours)
{
    std::lock_guard lock(m_Lock);
    NoteChange();
}

void TerminalDisplay::OnStepFailed(int row, int column, const std::string& reason)
{
    std::lock_guard lock(m_Lock);
    if (!IsStepColumn(column)) return;
    PrintLine("port " + std::to_string(row) + ": " + engine::kResultColumns[column].title + " FAIL: " + reason);
    if (m_Options.interactiveTerminal) NoteChange();
}

void TerminalDisplay::OnProgressPosition(int) {}
void TerminalDisplay::OnProgressBarColour(engine::Rgb) {}

void TerminalDisplay::OnProgressText(const std::string& text)
{
    std::lock_guard lock(m_Lock);
    if (m_Options.interactiveTerminal) return NoteChange();
    // In a file or pipe, one line per tenth of the way.
    const int tenth = std::atoi(text.c_str()) / 10;
    if (tenth == m_iLastProgressTenth) return;
    m_iLastProgressTenth = tenth;
    std::fprintf(m_Out, "progress %s\n", text.c_str());
    std::fflush(m_Out);
}

void TerminalDisplay::OnResultIndicators(bool, bool) {}

void TerminalDisplay::OnCountersChanged(uint32_t, uint32_t, uint32_t)
{
    std::lock_guard lock(m_Lock);
    if (m_Options.interactiveTerminal) NoteChange();
}

void TerminalDisplay::OnControlsEnabled(engine::ControlSet) {}
void TerminalDisplay::OnStartEnabled(bool) {}

int TerminalDisplay::OnOperatorMessage(const std::string& text, int kind)
{
    OnMessageWritten(text, kind);
    return 0;
}

void TerminalDisplay::OnMessageWritten(const std::string& text, int kind)
{
    std::lock_guard lock(m_Lock);
    const char* caption = ProgramMessageCaption(kind);
    PrintLine(std::string(*caption ? caption : "Message") + ": " + text);
    if (m_Options.interactiveTerminal) NoteChange();  // the table again below the line
}

void TerminalDisplay::OnStartRefused(const std::string& reason)
{
    std::lock_guard lock(m_Lock);
    PrintLine("Start refused: " + reason);
    if (m_Options.interactiveTerminal) NoteChange();
}

void TerminalDisplay::OnDrivesRemoved(int removed, int failed)
{
    std::lock_guard lock(m_Lock);
    PrintLine(engine::DrivesRemovedText(removed, failed));
    if (m_Options.interactiveTerminal) NoteChange();
}

void TerminalDisplay::OnRecordFailed(const std::string& reason)
{
    std::lock_guard lock(m_Lock);
    PrintLine("Record lost: " + reason);
    if (m_Options.interactiveTerminal) NoteChange();
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
    while (!m_ExitCode && util::NowMs() < deadlineMs) m_Exit.wait_for(lock, std::chrono::milliseconds(50));
    return m_ExitCode;
}

void TerminalDisplay::Finish(int exitCode, int64_t wallMs, const std::vector<std::string>& closingLines)
{
    std::lock_guard lock(m_Lock);
    const auto state = Read();
    if (state) {
        if (m_Options.interactiveTerminal) {
            DrawChangedLines();
        } else {
            for (const std::string& line : TableLines(state->table, state->ports, m_Options.width, false))
                std::fprintf(m_Out, "%s\n", line.c_str());
            std::fprintf(m_Out, "pass %u  fail %u  total %u\n", state->table.passCount, state->table.failCount,
                         state->table.totalCount);
        }
    }
    std::fprintf(m_Out, "wall time %lld.%03lld s  exit code %d\n", static_cast<long long>(wallMs / 1000),
                 static_cast<long long>(wallMs % 1000), exitCode);
    for (const std::string& line : closingLines) std::fprintf(m_Out, "%s\n", line.c_str());
    std::fflush(m_Out);
}

}  // namespace cli
