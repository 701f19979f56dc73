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

}  // namespace engine
