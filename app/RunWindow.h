#pragma once
// The operator's window as DEVeda opens it when no command-line option asks for a
// run without one.
#include "config/IniSettings.h"

namespace app {

// Exit code when another window already runs on the same station.
inline constexpr int kExitOtherInstance = 19;

// Opens the main window on the process station with `settings` (as loaded at
// start-up) and runs it until it closes. Returns the process's exit code: 18 when
// the operator closed the window, kExitOtherInstance when another DEVeda window
// holds this station.
int RunWindow(int& argc, char** argv, const IniSettings& settings);

}  // namespace app
