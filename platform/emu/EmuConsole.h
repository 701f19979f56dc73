#pragma once
// The emulated station's console commands, run as "devedactl emu ...".
#include <string>
#include <vector>

namespace platform {

// Runs one emu command on the station kept in `folder` (empty: none chosen);
// the process exit code.
int RunEmuConsole(const std::string& folder, const std::vector<std::string>& args);
// One line per command, for the console's usage text.
extern const char* const kEmuConsoleUsage;

}  // namespace platform
