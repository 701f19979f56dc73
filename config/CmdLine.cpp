#include "config/CmdLine.h"

#include <cctype>
#include <string_view>

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace {

constexpr const char* kVersionText = "Ver 1, 0, 3, 4 (1.0.0.8) (1.0.0.5)";
constexpr const char* kProductTitle = " DEVeda MP Tool ";

std::string Trim(std::string_view s)
{
    const char* blanks = " \t";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(blanks) - first + 1));
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The usage text and the usage exit: `/?` and lines that are no option.
void EndWithUsage(CmdLineInit& r, const std::string& exeName)
{
    r.bShowUsage = true;
    r.strUsageText = strCmdLineUsageText(exeName);
    r.bExit = true;
    r.iExitCode = kExitUsage;
}

}  // namespace

std::string strVersionLine(const std::string& exeName)
{
    return exeName + kProductTitle + kVersionText;
}

std::string strCmdLineUsageText(const std::string& exeName)
{
    std::string text;
    text += strVersionLine(exeName) + "\r\n";
    text += "Usage: " + exeName + "  [/? | | /L] \r\n";
    text += "OPTIONS\r\n";
    text += " /DBG\tSet Debug Message Level (0-9)\r\n";
    text += " /S\tSet MPT Run DOS Mode \r\n";
    text += " /C\tCheck Brevnor usb mass storage Firmware Version and then RETURN IMMEDIATELY.\r\n";
    return text;
}

CmdLineInit ParseCmdLine(const std::string& cmdLine, uint32_t cmdLineTimeOut, const std::string& exeName, int64_t nowMs)
{
    CmdLineInit r;
    // A line of blanks only is what some launchers pass for "no arguments".
    if (Trim(cmdLine).empty()) return r;
    r.bInteractive = false;

    std::string line = cmdLine;
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    if (const size_t at = line.find("/DBG"); at != std::string::npos) {
        std::string piece = line.substr(at);
        if (const size_t slash = piece.find('/', 1); slash != std::string::npos) piece.resize(slash);
        line.erase(at, piece.size());
        const std::string level = Trim(std::string_view(piece).substr(4));
        uint32_t value = 0;
        for (char c : level) {
            const int d = HexDigit(c);
            if (d < 0) {
                // Not a level: a usage error rather than a window at level 0.
                r.bInteractive = false;
                r.ShowAllowed = false;
                r.bUnrecognised = true;
                EndWithUsage(r, exeName);
                r.strCmdLine = line;
                return r;
            }
            value = (value << 4) | static_cast<uint32_t>(d);
        }
        r.bSetDebugLevel = true;
        r.iDebugLevel = static_cast<int>(value & 0xFF);
        r.strCmdLine = line;
        return r;
    }

    r.bSetDebugLevel = true;
    r.iDebugLevel = kCmdLineDebugLevel;
    r.ShowAllowed = false;

    if (line == "/?") {
        r.CommandIndex = kCmdNone;
        EndWithUsage(r, exeName);
        r.strCmdLine = line;
        return r;
    }
    if (line.size() == 15 && line.compare(0, 3, "/C:") == 0) {
        r.CheckedFirmware = Trim(std::string_view(line).substr(3));
        line.clear();
        if (r.CheckedFirmware.empty()) {
            r.bExit = true;
            r.iExitCode = kExitEmptyCheckedFirmware;
            return r;
        }
        r.CommandIndex = kCmdCheckFirmware;
    } else if (line == "/S") {
        r.CommandIndex = kCmdStart;
        line.clear();
    } else if (line == "/PC") {
        r.CommandIndex = kCmdPowerConfig;
        line.clear();
    } else if (line == "/O4") {
        r.CommandIndex = kCmdUSB4Export;
        line.clear();
    } else {
        // Nothing to do and no window to show: tell how it is used and end.
        r.bUnrecognised = true;
        EndWithUsage(r, exeName);
    }
    r.strCmdLine = line;

    if (r.CommandIndex >= kCmdCheckFirmware && r.CommandIndex <= kCmdPowerConfig) {
        r.bStartPlugInTimer = true;
        r.llPlugInTimerStartMs = nowMs;
        r.llPlugInTimerPeriodMs = static_cast<int64_t>(cmdLineTimeOut) * 1000;
    }
    return r;
}

CmdLineInit vCmdLineInitialise(const std::string& cmdLine, uint32_t cmdLineTimeOut, const std::string& exeName)
{
    CmdLineInit r = ParseCmdLine(cmdLine, cmdLineTimeOut, exeName, util::NowMs());
    if (r.bInteractive) return r;
    if (r.bSetDebugLevel) devlog::SetDebugLevel(r.iDebugLevel);
    if (r.ShowAllowed) return r;  // "/DBG": only the level

    std::string upper = cmdLine;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    DBG_MSG("%s:%d: cmd line[%s]", upper.c_str());
    if (r.iExitCode == kExitEmptyCheckedFirmware || r.CommandIndex == kCmdCheckFirmware)
        DBG_MSG("%s:%d: Checked Firmware: %s", r.CheckedFirmware.c_str());
    if (r.bUnrecognised) DBG_ERR("%s:%d: cmd line[%s] not recognised , dwErrorCode %d", upper.c_str(), 0);
    if (r.bStartPlugInTimer) DBG_MSG("%s:%d: plug in timer: %d s", static_cast<int>(cmdLineTimeOut));
    return r;
}

bool bPlugInTimeOut(bool autoMode, bool scanRunning, bool mainRunning, uint32_t cmdLineTimeOut)
{
    DBG_MSG("%s:%d: chk auto:%d,scan:%d,main:%d", autoMode ? 1 : 0, scanRunning ? 1 : 0, mainRunning ? 1 : 0);
    if (autoMode || scanRunning || mainRunning) return false;
    DBG_ERR("%s:%d: device plug in time out:%d s", static_cast<int>(cmdLineTimeOut));
    return true;
}
