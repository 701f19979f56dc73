#pragma once
// Carries observer calls from any engine thread to the one thread that talks to
// the front end. The producers (scan, supervisor, workers, the result table under
// its lock) only append a call to a queue, which never blocks; the engine thread
// takes the queue and makes the calls on the front end's observer, with no engine
// lock held.
#include <functional>
#include <utility>

#include "engine/RunObserver.h"

namespace engine {

using ObserverCall = std::function<void(RunObserver&)>;

// A RunObserver that hands each call, as an ObserverCall, to `post`. An operator
// message sent through it is shown without waiting for the answer (0 is
// returned); messages that need an answer are made on the engine thread itself.
class QueuedObserver final : public RunObserver {
public:
    explicit QueuedObserver(std::function<void(ObserverCall)> post) : m_Post(std::move(post)) {}

    void OnCellChanged(int row, int column, const std::string& text, int colourMode, CellColours colours) override
    {
        m_Post([=](RunObserver& o) { o.OnCellChanged(row, column, text, colourMode, colours); });
    }
    void OnProgressPosition(int position) override
    {
        m_Post([=](RunObserver& o) { o.OnProgressPosition(position); });
    }
    void OnProgressBarColour(Rgb colour) override { m_Post([=](RunObserver& o) { o.OnProgressBarColour(colour); }); }
    void OnProgressText(const std::string& text) override
    {
        m_Post([=](RunObserver& o) { o.OnProgressText(text); });
    }
    void OnResultIndicators(bool showPass, bool showFail) override
    {
        m_Post([=](RunObserver& o) { o.OnResultIndicators(showPass, showFail); });
    }
    void OnCountersChanged(uint32_t pass, uint32_t fail, uint32_t total) override
    {
        m_Post([=](RunObserver& o) { o.OnCountersChanged(pass, fail, total); });
    }
    void OnControlsEnabled(ControlSet set) override { m_Post([=](RunObserver& o) { o.OnControlsEnabled(set); }); }
    void OnStartEnabled(bool enabled) override { m_Post([=](RunObserver& o) { o.OnStartEnabled(enabled); }); }
    int OnOperatorMessage(const std::string& text, int kind) override
    {
        m_Post([=](RunObserver& o) { o.OnOperatorMessage(text, kind); });
        return 0;
    }
    void OnExitRequest(int exitCode) override { m_Post([=](RunObserver& o) { o.OnExitRequest(exitCode); }); }
    void OnStepFailed(int row, int column, const std::string& reason) override
    {
        m_Post([=](RunObserver& o) { o.OnStepFailed(row, column, reason); });
    }
    void OnSerialNumberEntryWanted(uint32_t deviceCount) override
    {
        m_Post([=](RunObserver& o) { o.OnSerialNumberEntryWanted(deviceCount); });
    }
    void OnStartRefused(const std::string& reason) override
    {
        m_Post([=](RunObserver& o) { o.OnStartRefused(reason); });
    }
    void OnDrivesRemoved(int removed, int failed) override
    {
        m_Post([=](RunObserver& o) { o.OnDrivesRemoved(removed, failed); });
    }
    void OnRecordFailed(const std::string& reason) override
    {
        m_Post([=](RunObserver& o) { o.OnRecordFailed(reason); });
    }
    void OnMessageWritten(const std::string& text, int kind) override
    {
        m_Post([=](RunObserver& o) { o.OnMessageWritten(text, kind); });
    }

private:
    std::function<void(ObserverCall)> m_Post;
};

}  // namespace engine
