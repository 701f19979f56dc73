#pragma once
// A RunObserver that records every call, for the engine's tests.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
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
        const Track track(*this);
        std::lock_guard lock(m_Lock);
        cells.push_back({row, column, text, colourMode, colours});
    }
    void OnProgressPosition(int position) override { const Track track(*this); Add(positions, position); }
    void OnProgressBarColour(engine::Rgb colour) override { const Track track(*this); Add(barColours, colour); }
    void OnProgressText(const std::string& text) override { const Track track(*this); Add(progressTexts, text); }
    void OnResultIndicators(bool showPass, bool showFail) override { const Track track(*this); Add(indicators, std::pair{showPass, showFail}); }
    void OnCountersChanged(uint32_t pass, uint32_t fail, uint32_t total) override
    {
        const Track track(*this);
        Add(counters, Counters{pass, fail, total});
    }
    void OnControlsEnabled(engine::ControlSet set) override { const Track track(*this); Add(controlSets, set); }
    void OnStartEnabled(bool enabled) override { const Track track(*this); Add(startEnabled, enabled); }
    int OnOperatorMessage(const std::string& text, int kind) override
    {
        const Track track(*this);
        Add(messages, std::pair{text, kind});
        return 1;
    }
    void OnExitRequest(int exitCode) override { const Track track(*this); Add(exitCodes, exitCode); }
    void OnSerialNumberEntryWanted(uint32_t deviceCount) override
    {
        const Track track(*this);
        Add(serialEntries, deviceCount);
    }
    // Thread of the last observer call.
    std::thread::id LastCallingThread() const
    {
        std::lock_guard lock(m_Lock);
        return m_LastThread;
    }
    void OnStepFailed(int, int, const std::string& reason) override { const Track track(*this); Add(stepFailures, reason); }
    void OnStartRefused(const std::string& reason) override { const Track track(*this); Add(startRefusals, reason); }
    std::vector<std::string> StartRefusals() const
    {
        std::lock_guard lock(m_Lock);
        return startRefusals;
    }
    std::vector<std::string> StepFailures() const
    {
        std::lock_guard lock(m_Lock);
        return stepFailures;
    }

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
        serialEntries.clear();
        stepFailures.clear();
    }

    std::vector<CellCall> cells;
    std::vector<std::string> startRefusals;
    std::vector<int> positions;
    std::vector<engine::Rgb> barColours;
    std::vector<std::string> progressTexts;
    std::vector<std::pair<bool, bool>> indicators;
    std::vector<Counters> counters;
    std::vector<engine::ControlSet> controlSets;
    std::vector<bool> startEnabled;
    std::vector<std::pair<std::string, int>> messages;
    std::vector<int> exitCodes;
    std::vector<uint32_t> serialEntries;
    std::vector<std::string> stepFailures;

    // The observer's contract: every call on one thread, never two at once.
    size_t CallingThreads() const
    {
        std::lock_guard lock(m_Lock);
        return m_Threads.size();
    }
    bool CallsOverlapped() const { return m_bOverlapped.load(); }

private:
    struct Track {
        explicit Track(RecordingObserver& o) : owner(o)
        {
            if (owner.m_InFlight.fetch_add(1) != 0) owner.m_bOverlapped = true;
            std::lock_guard lock(owner.m_Lock);
            owner.m_Threads.insert(std::this_thread::get_id());
            owner.m_LastThread = std::this_thread::get_id();
        }
        ~Track() { owner.m_InFlight.fetch_sub(1); }
        RecordingObserver& owner;
    };
    template <typename T, typename V>
    void Add(std::vector<T>& calls, V value)
    {
        std::lock_guard lock(m_Lock);
        calls.push_back(std::move(value));
    }
    mutable std::mutex m_Lock;
    std::set<std::thread::id> m_Threads;
    std::thread::id m_LastThread;
    std::atomic<int> m_InFlight{0};
    std::atomic<bool> m_bOverlapped{false};

};

}  // namespace enginetest
