#include "engine/RunObserver.h"

#include "util/USBUtility.h"

namespace engine {

int ShowOperatorMessage(RunObserver* observer, bool interactive, const std::string& text, int kind)
{
    if (interactive && observer) return observer->OnOperatorMessage(text, kind);
    const int answer = CUSBUtility::Instance().ShowProgramMessage(text, kind, 0, !interactive);
    if (!interactive && observer) observer->OnMessageWritten(text, kind);
    return answer;
}

std::string DrivesRemovedText(int removed, int failed)
{
    std::string text = "Safely Remove: " + std::to_string(removed) + (removed == 1 ? " drive" : " drives") +
                       " stopped" + (removed > 0 ? ", you may unplug " + std::string(removed == 1 ? "it" : "them") : "");
    if (failed > 0)
        text += "; " + std::to_string(failed) + (failed == 1 ? " drive" : " drives") +
                " could not be stopped (see the trace): do not unplug " + (failed == 1 ? "it" : "them") + " yet";
    return text;
}

}  // namespace engine
