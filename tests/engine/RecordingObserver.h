#pragma once
// A RunObserver that records every call, for the engine's tests.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/RunObserver.h"

namespace enginetest {

struct CellCall {
    int row;
    int column;
    std::string text;
    int colourMode;
    engine::CellColours colours;
};

struct Counters {
    uint32_t pass, fail, total;
    friend bool operator==(const Counters&, const Counters&) = default;
};

class RecordingObserver : public engine::RunObserver {
public:
    void OnCellChanged(int row, int column, const std::string& text, int colourMode,
                       engine::CellColours colours) override
    {
        std::lock_guard lock(m_Lock);
        cells.push_back({row, column, text, colourMode, colours});
    }
    void OnProgressPosition(int position) override { Add(positions, position); }
    void OnProgressBarColour(engine::Rgb colour) override { Add(barColours, colour); }
    void OnProgressText(const std::string& text) override { Add(progressTexts, text); }
    void OnResultIndicators(bool showPass, bool showFail) override { Add(indicators, std::pair{showPass, showFail}); }
    void OnCountersChanged(uint32_t pass, uint32_t fail, uint32_t total) override
    {
        Add(counters, Counters{pass, fail, total});
    }
    void OnControlsEnabled(engine::ControlSet set) override { Add(controlSets, set); }
    void OnStartEnabled(bool enabled) override { Add(startEnabled, enabled); }
    int OnOperatorMessage(const std::string& text, int kind) override
    {
        Add(messages, std::pair{text, kind});
        return 1;
    }
    void OnExitRequest(int exitCode) override { Add(exitCodes, exitCode); }

    // The last call for one cell, if any.
    std::optional<CellCall> LastCell(int row, int column) const
    {
        std::lock_guard lock(m_Lock);
        for (auto it = cells.rbegin(); it != cells.rend(); ++it)
            if (it->row == row && it->column == column) return *it;
        return std::nullopt;
    }
    void Clear()
    {
        std::lock_guard lock(m_Lock);
        cells.clear();
        positions.clear();
        barColours.clear();
        progressTexts.clear();
        indicators.clear();
        counters.clear();
        controlSets.clear();
        startEnabled.clear();
        messages.clear();
        exitCodes.clear();
    }

    std::vector<CellCall> cells;
    std::vector<int> positions;
    std::vector<engine::Rgb> barColours;
    std::vector<std::string> progressTexts;
    std::vector<std::pair<bool, bool>> indicators;
    std::vector<Counters> counters;
    std::vector<engine::ControlSet> controlSets;
    std::vector<bool> startEnabled;
    std::vector<std::pair<std::string, int>> messages;
    std::vector<int> exitCodes;

private:
    template <typename T, typename V>
    void Add(std::vector<T>& calls, V value)
    {
        std::lock_guard lock(m_Lock);
        calls.push_back(std::move(value));
    }
    mutable std::mutex m_Lock;

};

}  // namespace enginetest
