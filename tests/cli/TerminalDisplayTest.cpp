// The station's terminal display: the narrow layout fits 80 columns, colours obey
// NO_COLOR, a failed step is named with its port, and a redraw rewrites only the
// lines that changed, at most a few times a second.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "cli/TerminalDisplay.h"
#include "../common/TestSupport.h"
#include "util/Clock.h"

namespace {

std::string WithoutAnsi(const std::string& text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\x1b') {
            plain += text[i];
            continue;
        }
        while (i < text.size() && !std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
    }
    return plain;
}

// A station of 16 ports with the longest texts each field can get.
engine::EngineSnapshot FullStation()
{
    engine::EngineSnapshot state;
    for (int row = 0; row < MAX_DEVICES; ++row) {
        auto& cells = state.table.cells[row];
        for (auto& cell : cells) cell.text = "a very long cell text that never fits";
        cells[engine::kColUpdate].text = engine::FailText;
        cells[engine::kColReLink].text = engine::PassText;
        auto& port = state.ports[row];
        port.taking = true;
        port.phase = "config check";
        port.percent = 100;
        port.elapsedMs = 999LL * 60 * 1000;
        port.serialWritten = std::string(64, 'S');
        port.firmwareWritten = std::string(40, 'F');
    }
    return state;
}

// Everything a display wrote to a temporary file.
class Captured {
public:
    Captured() : m_File(std::tmpfile()) {}
    ~Captured() { std::fclose(m_File); }
    std::FILE* File() const { return m_File; }
    std::string Text() const
    {
        std::fflush(m_File);
        std::string text;
        std::rewind(m_File);
        char chunk[4096];
        while (size_t n = std::fread(chunk, 1, sizeof chunk, m_File)) text.append(chunk, n);
        return text;
    }

private:
    std::FILE* m_File;
};

TEST(TerminalDisplay, NarrowTableNeverWiderThan80Columns)
{
    const auto state = FullStation();
    for (bool colour : {false, true}) {
        const auto lines = cli::TableLines(state.table, state.ports, 80, colour);
        ASSERT_EQ(lines.size(), 17u);  // the titles and 16 ports
        for (const std::string& line : lines) {
            EXPECT_LE(WithoutAnsi(line).size(), 80u) << line;
            EXPECT_EQ(line.find('\x1b') != std::string::npos, colour && &line != &lines.front()) << line;
        }
    }
}

TEST(TerminalDisplay, WideTerminalTitlesEveryStep)
{
    const auto state = FullStation();
    const auto narrow = cli::TableLines(state.table, state.ports, cli::kWideLayoutWidth - 1, false);
    EXPECT_EQ(narrow.front().find("Partition"), std::string::npos);
    const auto wide = cli::TableLines(state.table, state.ports, cli::kWideLayoutWidth, false);
    EXPECT_NE(wide.front().find("Partition"), std::string::npos);
    for (const std::string& line : wide) EXPECT_LE(line.size(), static_cast<size_t>(cli::kWideLayoutWidth));
    EXPECT_NE(wide[1].find(engine::FailText), std::string::npos);
}

TEST(TerminalDisplay, ColoursForPassFailAndRunning)
{
    engine::EngineSnapshot state;
    for (int row : {0, 1}) state.ports[row].taking = true;
    state.ports[0].phase = "update";
    state.ports[1].phase = "done";
    state.table.cells[1][engine::kColStatus].text = engine::PassText;
    state.table.cells[1][engine::kColUpdate].text = engine::FailText;
    const auto lines = cli::TableLines(state.table, state.ports, 80, true);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("\x1b[33mupdate"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].find("\x1b[33m"), std::string::npos) << lines[2];  // done: not running
    EXPECT_NE(lines[2].find("\x1b[32mPASS"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("\x1b[31mx"), std::string::npos) << lines[2];
}

TEST(TerminalDisplay, PortWithoutDeviceIsLeftOut)
{
    engine::EngineSnapshot state;
    state.ports[5].taking = true;
    state.ports[5].serialWritten = "SN0005";
    const auto lines = cli::TableLines(state.table, state.ports, 80, false);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("   5 ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("SN0005"), std::string::npos);
}

TEST(TerminalDisplay, NoColorAndColumnsFromTheEnvironment)
{
    ::unsetenv("NO_COLOR");
    ::setenv("COLUMNS", "150", 1);
    auto options = cli::DisplayOptionsFromEnvironment(true);
    EXPECT_TRUE(options.colour);
    EXPECT_EQ(options.width, 150);
    EXPECT_FALSE(cli::DisplayOptionsFromEnvironment(false).colour);  // a pipe or a file
    ::setenv("NO_COLOR", "", 1);                                      // set, even empty
    ::setenv("COLUMNS", "12x", 1);
    options = cli::DisplayOptionsFromEnvironment(true);
    EXPECT_FALSE(options.colour);
    EXPECT_EQ(options.width, 80);
    ::unsetenv("NO_COLOR");
    ::unsetenv("COLUMNS");
}

TEST(TerminalDisplay, PipeGetsPlainLinesOfFailuresAndMessages)
{
    Captured out;
    auto state = std::make_shared<engine::EngineSnapshot>();
    state->ports[3].taking = true;
    state->ports[3].phase = "update";
    cli::TerminalDisplay display(out.File(), cli::DisplayOptions{false, false, 80});
    display.SetSnapshotSource([&] { return state; });
    display.OnCellChanged(3, engine::kColUpdate, engine::FailText, engine::kModeRed, {});
    display.OnStepFailed(3, engine::kColUpdate, "the configuration tables could not be written");
    display.OnMessageWritten("Set SN Fail !!", 1);
    display.Finish(-1, 1500, {"trace: /tmp/t.txt"});
    const std::string text = out.Text();
    EXPECT_NE(text.find("port 3: Update FAIL: the configuration tables could not be written\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("port 3: update"), std::string::npos) << text;
    EXPECT_NE(text.find("Error: Set SN Fail !!\n"), std::string::npos) << text;
    EXPECT_NE(text.find("wall time 1.500 s  exit code -1\ntrace: /tmp/t.txt\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    // The final table once.
    EXPECT_EQ(text.find("Serial written"), text.rfind("Serial written"));
}

TEST(TerminalDisplay, TerminalRedrawsOnlyChangedLinesAtMostFourTimesASecond)
{
    const testsupport::FakeClockScope clock(1'000'000);  // moved by hand below
    Captured out;
    auto state = std::make_shared<engine::EngineSnapshot>();
    for (int row : {0, 1}) {
        state->ports[row].taking = true;
        state->ports[row].serialWritten = "SERIAL-" + std::to_string(row);
    }
    cli::TerminalDisplay display(out.File(), cli::DisplayOptions{true, false, 80});
    display.SetSnapshotSource([&] { return std::shared_ptr<const engine::EngineSnapshot>(state); });
    display.OnCountersChanged(0, 0, 0);  // the first draw
    const size_t first = out.Text().size();
    EXPECT_NE(out.Text().find("SERIAL-1"), std::string::npos);

    auto next = std::make_shared<engine::EngineSnapshot>(*state);
    next->ports[1].percent = 42;
    state = next;
    display.OnCountersChanged(0, 0, 0);  // too soon: nothing drawn
    EXPECT_EQ(out.Text().size(), first);
    clock.Clock().Advance(250);
    display.OnCountersChanged(0, 0, 0);
    const std::string redraw = out.Text().substr(first);
    EXPECT_NE(redraw.find(" 42%"), std::string::npos) << redraw;
    EXPECT_EQ(redraw.find("SERIAL-0"), std::string::npos) << redraw;  // port 0 did not change
    EXPECT_EQ(redraw.find("Serial written"), std::string::npos);       // nor did the titles
}

}  // namespace

namespace {

TEST(TerminalDisplayBytes, ALongStepShowsItsShareOfTheBytes)
{
    engine::PortView port;
    port.taking = true;
    port.phase = "preload";
    EXPECT_EQ(cli::PortPhaseField(port), "preload");  // no bytes counted yet
    port.bytesTotal = 4096ull << 20;
    port.bytesDone = 1024ull << 20;
    EXPECT_EQ(cli::PortPhaseField(port), "prel 25%");
    EXPECT_EQ(cli::PortBytesLine(3, port), "port 3: preload 1024 of 4096 MiB");
    port.phase = "done";
    EXPECT_EQ(cli::PortPhaseField(port), "done");
}

}  // namespace
