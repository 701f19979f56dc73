#include "app/WindowObserver.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <chrono>
#include <future>
#include <memory>

#include "app/DEVedaDlg.h"

namespace app {

void WindowObserver::Post(std::function<void(CDEVedaDlg&)> call)
{
    // The window is the context object: a call still queued when it goes is dropped.
    QMetaObject::invokeMethod(
        &m_Dlg, [this, call = std::move(call)] { call(m_Dlg); }, Qt::QueuedConnection);
}

void WindowObserver::OnCellChanged(int row, int column, const std::string& text, int colourMode,
                                   engine::CellColours colours)
{
    Post([=](CDEVedaDlg& d) { d.vShowCell(row, column, text, colourMode, colours); });
}

void WindowObserver::OnProgressPosition(int position)
{
    Post([=](CDEVedaDlg& d) { d.vShowProgressPosition(position); });
}

void WindowObserver::OnProgressBarColour(engine::Rgb colour)
{
    Post([=](CDEVedaDlg& d) { d.vShowBarColour(colour); });
}

void WindowObserver::OnProgressText(const std::string& text)
{
    Post([=](CDEVedaDlg& d) { d.vShowProgressText(text); });
}

void WindowObserver::OnResultIndicators(bool showPass, bool showFail)
{
    Post([=](CDEVedaDlg& d) { d.vShowIndicators(showPass, showFail); });
}

void WindowObserver::OnCountersChanged(uint32_t passCount, uint32_t failCount, uint32_t totalCount)
{
    Post([=](CDEVedaDlg& d) { d.vShowCounters(passCount, failCount, totalCount); });
}

void WindowObserver::OnControlsEnabled(engine::ControlSet set)
{
    Post([=](CDEVedaDlg& d) { d.vSetEngineControlSet(set); });
}

void WindowObserver::OnStartEnabled(bool enabled)
{
    Post([=](CDEVedaDlg& d) { d.vSetStartEnabled(enabled); });
}

void WindowObserver::OnStartRefused(const std::string& reason)
{
    Post([=](CDEVedaDlg& d) { d.vShowStartRefusal(reason); });
}

void WindowObserver::OnDrivesRemoved(int removed, int failed)
{
    Post([=](CDEVedaDlg& d) { d.vShowDrivesRemoved(removed, failed); });
}

void WindowObserver::OnExitRequest(int exitCode)
{
    Post([=](CDEVedaDlg& d) { d.vEndWithCode(exitCode); });
}

void WindowObserver::OnSerialNumberEntryWanted(uint32_t deviceCount)
{
    Post([=](CDEVedaDlg& d) { d.vAskSerialNumber(deviceCount); });
}

int WindowObserver::OnOperatorMessage(const std::string& text, int kind) { return iAsk(text, kind); }

int WindowObserver::ShowMessageBox(const std::string& text, const char*, int kind, unsigned)
{
    return iAsk(text, kind);
}

int WindowObserver::iAsk(const std::string& text, int kind)
{
    if (QThread::currentThread() == m_Dlg.thread()) return m_Dlg.iShowOperatorMessage(text, kind);
    if (m_bClosing) return 0;
    auto answer = std::make_shared<std::promise<int>>();
    std::future<int> ready = answer->get_future();
    Post([text, kind, answer](CDEVedaDlg& d) { answer->set_value(d.iShowOperatorMessage(text, kind)); });
    while (ready.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        if (m_bClosing) return 0;
    return ready.get();
}

}  // namespace app
