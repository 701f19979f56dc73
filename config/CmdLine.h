#pragma once
// Command line of unattended stations: read once while the main dialog
// initialises (after the settings are loaded). This is the initialisation only:
// what to do, whether the window may show, the debug level and the plug-in
// time-out. The actions themselves run later on the scan thread.
//
// ParseCmdLine is the main dialog's command-line step and `vCmdLinePreHandler`
// in one: the "/DBG" branch first, the option branch otherwise.
#include <cstdint>
#include <string>

// `CommandIndex` values.
enum CmdLineCommand : int {
    kCmdNone = 0,
    kCmdCheckFirmware = 1,
    kCmdStart = 2,
    kCmdUSB4Export = 3,
    kCmdPowerConfig = 4,
};

// Exit codes of command-line runs.
enum CmdLineExitCode : int {
    kExitPass = 0,
    kExitUsage = 1,
    kExitFirmwareMismatch = -2,
    kExitPreCheckFail = -3,
    kExitPlugInTimeOut = -4,
    kExitEmptyCheckedFirmware = -10,
};

// Debug level of every command line without "/DBG".
inline constexpr int kCmdLineDebugLevel = 4;
// Window timer number of the plug-in time-out.
inline constexpr int kPlugInTimer = 3;

struct CmdLineInit {
    int CommandIndex = kCmdNone;
    std::string CheckedFirmware;   // the 12 characters after "/C:", trimmed
    bool ShowAllowed = true;       // clear: the main window stays hidden
    bool bInteractive = true;      // empty command line: nothing was done

    bool bSetDebugLevel = false;   // the debug level is to be set to iDebugLevel
    int iDebugLevel = 0;

    bool bShowUsage = false;       // show strUsageText in an "Information" box
    std::string strUsageText;
    bool bExit = false;            // end the process with iExitCode
    int iExitCode = 0;

    bool bStartPlugInTimer = false; // start PlugInTimer (timer 3)
    int64_t llPlugInTimerStartMs = 0;   // util::NowMs() when started
    int64_t llPlugInTimerPeriodMs = 0;  // CmdLineTimeOut x 1000

    bool bUnrecognised = false;    // a non-empty line that matched no option
    std::string strCmdLine;        // the upper-cased line after the options were removed
};

// The title-and-version line of `exeName` ("DEVeda DEVeda MP Tool Ver 1, ...").
std::string strVersionLine(const std::string& exeName);

// The usage text ("/?"): title-and-version line, usage line and options.
std::string strCmdLineUsageText(const std::string& exeName);

// Parses the command line (tab and line-feed characters already removed) with
// the plug-in time-out `cmdLineTimeOut` in seconds. Pure: logs nothing, sets
// nothing; the plug-in timer start is taken from `nowMs`.
//
// A non-empty line that matches no option shows the usage text and exits with
// code 1 instead of leaving an invisible window with nothing to do.
CmdLineInit ParseCmdLine(const std::string& cmdLine, uint32_t cmdLineTimeOut, const std::string& exeName,
                         int64_t nowMs);

// The initialisation step of the main dialog: parses, sets the process debug
// level (the "/DBG" level, or 4 for any other non-empty line), writes the trace
// lines, and takes the plug-in timer start from util::NowMs().
CmdLineInit vCmdLineInitialise(const std::string& cmdLine, uint32_t cmdLineTimeOut, const std::string& exeName);

// `PlugInTimer` fired with the three activity flags (automatic mode, scan
// thread running, MP run running). Returns true when the process is to end with
// exit code -4 (all three clear; the PCIe I/O driver is to be unloaded first).
bool bPlugInTimeOut(bool autoMode, bool scanRunning, bool mainRunning, uint32_t cmdLineTimeOut);
