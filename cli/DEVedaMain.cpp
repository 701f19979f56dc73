// DEVeda: the MP station. With one of the command-line options it runs without a
// window: "/C:<version>" checks the attached bridges' firmware version, "/S" runs
// a whole MP run, "/O4" exports the USB4 identities, "/PC" writes the power
// configuration, "/?" shows the usage; the process ends with the run's exit code.
// Without an option (or with /DBG<level> alone) it opens the operator's window.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/RunJson.h"
#include "cli/TerminalDisplay.h"
#include "config/CmdLine.h"
#include "config/Ini.h"
#include "engine/MPEngine.h"
#include "log/DebugLog.h"
#include "platform/Station.h"
#include "util/Clock.h"
#include "util/Text.h"
#include "util/USBUtility.h"
#ifdef DEVEDA_WITH_WINDOW
#include "app/RunWindow.h"
#endif

namespace {

// The options and the exit codes as a shell sees them ($? is the code modulo 256).
constexpr const char* kHelpText =
    "Usage: DEVeda [--station=CHOICE] OPTION\n"
    "  /S              run the MP test on every attached bridge\n"
    "  /C:<version>    check the 12-character firmware version of the attached bridges\n"
    "  /O4             export the USB4 identities of the attached bridges to CSV\n"
    "  /PC             write PowerConfiguration.bin to the attached bridges\n"
    "  /DBG<level>     trace level\n"
    "  /?              the usage text\n"
    "  --help          this text;  --version  the version\n"
    "Exit codes ($? in a shell):\n"
    "  0    run passed, versions match, export or write done\n"
    "  1    usage shown (unknown option, /?)\n"
    "  2    no option, and the operator window cannot open (no display, or a build without it)\n"
    "  18   the operator window was closed\n"
    "  19   another operator window already runs on this station\n"
    "  255  (-1)  run failed\n"
    "  254  (-2)  a bridge's firmware version differs from /C:<version>\n"
    "  253  (-3)  Start refused the settings\n"
    "  252  (-4)  no bridge plugged in before the command-line time-out\n"
    "  246  (-10) the test file, dual-image setting or /C: version is empty or refused\n"
    "  other      /PC: the result of the failed power-configuration write\n"
    "The trace goes to DEVeda-trace.txt beside the settings ($DEVEDA_TRACE names another file, - for\n"
    "standard error); operator messages to ProgramMSG.txt; each run's results to the day's result log\n"
    "and to MPResult_YYYYMMDD_HHMMSS.json beside it.\n";

// The exit code of a start without an option when no window can open.
constexpr int kExitNoWindow = 2;

#ifdef DEVEDA_WITH_WINDOW
// Whether a window can open: Qt needs a display server (or a platform named
// explicitly, such as "offscreen").
bool DisplayAvailable()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(name); value && *value) return true;
    return false;
}
#endif

// The outcome an exit code stands for, in words, for the closing lines.
std::string ExitCause(int code)
{
    switch (code) {
    case kExitPass: return "passed";
    case -1: return "the run or a write failed";
    case kExitFirmwareMismatch: return "a bridge's firmware version differs";
    case kExitPreCheckFail: return "Start refused the settings";
    case kExitPlugInTimeOut: return "no bridge plugged in before the time-out";
    case kExitEmptyCheckedFirmware: return "the test file, dual-image setting or checked version was refused";
    default: return "ended";
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelpText, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", strVersionLine("DEVeda").c_str());
        return 0;
    }
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--station=", 10) == 0) {
        platform::SetStationChoice(argv[1] + 10);
        first = 2;
    }
    // Before any time is read: an emulated station may run on its own clock.
    platform::InstallStationClock();
    // The command line as one text, tabs and line feeds removed.
    std::string line;
    for (int i = first; i < argc; ++i) line += (i > first ? " " : "") + std::string(argv[i]);
    std::erase_if(line, [](char c) { return c == '\t' || c == '\n'; });

    // The trace goes to a file beside the settings unless $DEVEDA_TRACE names
    // another one ("-": standard error), so the station's terminal stays readable.
    const char* trace = std::getenv("DEVEDA_TRACE");
    std::string tracePath = trace ? trace : CUSBUtility::Instance().GetProgramFolder() + "/DEVeda-trace.txt";
    if (tracePath != "-" && !devlog::SetTraceFile(tracePath)) {
        // A tool folder that takes no file (read-only, full) keeps the terminal
        // readable all the same: the trace goes to the system's temporary folder.
        const std::string refused = tracePath + ": " + std::strerror(errno);
        std::error_code ec;
        tracePath = (std::filesystem::temp_directory_path(ec) / "DEVeda-trace.txt").string();
        if (ec || !devlog::SetTraceFile(tracePath)) tracePath = "/dev/null";
        devlog::SetTraceFile(tracePath);
        std::fprintf(stderr, "DEVeda: cannot write the trace file %s; the trace goes to %s\n", refused.c_str(),
                     tracePath.c_str());
    }

    Ini& ini = Ini::Global();
    ini.m_bMessageToFile = !line.empty();
    const bool settingsLoaded = ini.vLoadINIAtStartup(strDefaultINIFilePath());
    const CmdLineInit init = vCmdLineInitialise(line, ini.m_pINI.CmdLineTimeOut, "DEVeda");
    if (init.bShowUsage) {
        std::printf("%s\n", init.strUsageText.c_str());
        return init.iExitCode;
    }
    if (init.bExit) return init.iExitCode;
    // No option, or /DBG<level> alone: the operator's window.
    if (init.ShowAllowed) {
#ifdef DEVEDA_WITH_WINDOW
        if (!DisplayAvailable()) {
            std::fprintf(stderr,
                         "DEVeda: no display found (DISPLAY and WAYLAND_DISPLAY are not set), so the operator window "
                         "cannot open; run unattended with /S, /C:<version>, /O4 or /PC (/? for the usage)\n");
            return kExitNoWindow;
        }
        return app::RunWindow(argc, argv, ini.m_pINI);
#else
        std::fprintf(stderr,
                     "DEVeda: the operator window is not part of this build; run a station with /S, /C:<version>, "
                     "/O4 or /PC (/? for the usage)\n");
        return kExitNoWindow;
#endif
    }

    // The built-in settings switch every step off: say why they are in use, or
    // the refusal that follows ("no test step is switched on") hides the cause.
    if (!settingsLoaded)
        std::printf("settings: %s; the built-in settings are used\n", ini.m_strLoadFailure.c_str());
    const int64_t startMs = util::NowMs();
    const std::tm startTime = util::LocalTimeNow();
    platform::IStation& station = platform::Station();
    if (station.IsEmulated()) std::printf("*** %s: results are not from real drives ***\n", station.Describe().c_str());
    cli::TerminalDisplay display(stdout, cli::DisplayOptionsFromEnvironment(platform::StandardOutputIsTerminal()));
    engine::CMPEngine engine(display, station);
    display.SetSnapshotSource([&engine] { return engine.Snapshot(); });
    engine.SetSettings(ini.m_pINI);
    engine.SetCommandLine(init);
    engine.TriggerScanThread();

    // Plug-in time-out: with no scan and no run going on when it fires, no bridge
    // arrived in time. The timer is periodic: a tick that finds a scan or a run
    // going on waits for the next one, so a slow scan that finds nothing still
    // ends in the time-out.
    int64_t tickMs = init.llPlugInTimerStartMs + init.llPlugInTimerPeriodMs;
    std::optional<int> code = display.WaitForExit(tickMs);
    while (!code) {
        const auto state = engine.Snapshot();
        if (!state->exitCode &&
            bPlugInTimeOut(false, state->activity.scanning, state->activity.running, ini.m_pINI.CmdLineTimeOut)) {
            code = kExitPlugInTimeOut;
            break;
        }
        tickMs += std::max<int64_t>(init.llPlugInTimerPeriodMs, 1000);
        code = display.WaitForExit(tickMs);
    }
    // The closing lines: where the trace, the result log and the run's JSON are.
    if (*code == kExitPlugInTimeOut) std::printf("no bridge found on the %s in time\n", station.Describe().c_str());
    const auto final = engine.Snapshot();
    const std::string cause = ExitCause(*code) + (final->exitReason.empty() ? "" : ": " + final->exitReason);
    std::vector<std::string> closing{"outcome: " + cause};
    std::string json, jsonError;
    if (final->runResult != engine::kRunNone) {
        json = cli::StoreRunJson(CUSBUtility::Instance().GetProgramFolder(), *final,
                                 {startTime, util::NowMs() - startMs}, *code, jsonError);
        closing = cli::RunOutcomeLines(*final, cause, engine.MPResultLogPath(), json);
    }
    closing.push_back("trace: " + (tracePath == "-" ? std::string("standard error") : tracePath));
    if (final->runResult != engine::kRunNone)
        closing.push_back(json.empty() ? "run result not written: " + jsonError : "run result: " + json);
    display.Finish(*code, util::NowMs() - startMs, closing);
    return *code;
}
