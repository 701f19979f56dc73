#pragma once
// The window's side of the engine's observer. The engine calls it on the engine
// thread; every call is handed to the window's thread as a queued call and
// returns at once, so the engine never waits for the window to paint.
//
// The exception is an operator message, which must return the operator's answer:
// the engine makes that call with no engine lock held, so waiting here blocks the
// engine thread alone, never a thread the window waits for. The wait gives up
// (answer 0) once the window starts closing, because the window then joins the
// engine and no longer runs the queued box; this is what a plain blocking queued
// call could not do.
//
// It is also the process's sink for operator messages of the settings code,
// which may come from the window's own thread (shown at once) or another.
#include <atomic>
#include <functional>

#include "engine/RunObserver.h"
#include "util/USBUtility.h"

namespace app {

class CDEVedaDlg;

class WindowObserver final : public engine::RunObserver, public IProgramMessageSink {
public:
    explicit WindowObserver(CDEVedaDlg& dlg) : m_Dlg(dlg) {}

    void OnCellChanged(int row, int column, const std::string& text, int colourMode,
                       engine::CellColours colours) override;
    void OnProgressPosition(int position) override;
    void OnProgressBarColour(engine::Rgb colour) override;
    void OnProgressText(const std::string& text) override;
    void OnResultIndicators(bool showPass, bool showFail) override;
    void OnCountersChanged(uint32_t passCount, uint32_t failCount, uint32_t totalCount) override;
    void OnControlsEnabled(engine::ControlSet set) override;
    void OnStartEnabled(bool enabled) override;
    void OnStartRefused(const std::string& reason) override;
    void OnDrivesRemoved(int removed, int failed) override;
    int OnOperatorMessage(const std::string& text, int kind) override;
    void OnExitRequest(int exitCode) override;
    void OnSerialNumberEntryWanted(uint32_t deviceCount) override;

    int ShowMessageBox(const std::string& text, const char* caption, int kind, unsigned flags) override;

    // From now on, questions are no longer put to the window (it is closing).
    void SetClosing() { m_bClosing = true; }

private:
    // Runs `call` on the window's thread, later.
    void Post(std::function<void(CDEVedaDlg&)> call);
    // Shows an operator message on the window's thread and returns the answer.
    int iAsk(const std::string& text, int kind);

    CDEVedaDlg& m_Dlg;
    std::atomic<bool> m_bClosing{false};
};

}  // namespace app
