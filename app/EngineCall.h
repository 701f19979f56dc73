#pragma once
// Waiting on the window's thread for work handed to the engine thread. The wait
// keeps the window's events flowing: the engine may be waiting for the window
// itself (an operator message) before it gets to the work, and a dialog's view
// is updated by queued calls while the work runs.
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <chrono>
#include <exception>
#include <future>
#include <optional>

#include "log/DebugLog.h"

namespace app {

// The work's result; nullopt when the work failed (an exception) or the engine
// ended before running it.
template <class R>
std::optional<R> AwaitEngine(std::future<R> answer)
{
    while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (answer.wait_for(std::chrono::milliseconds(2)) == std::future_status::ready) break;
    }
    try {
        return answer.get();
    } catch (...) {
        DBG_ERR("%s:%d: AwaitEngine: the engine did not run the work, dwErrorCode %d", 0);
        return std::nullopt;
    }
}

}  // namespace app
