// DEVeda: the MP station. With one of the command-line options it runs without a
// window: "/C:<version>" checks the attached bridges' firmware version, "/S" runs
// a whole MP run, "/O4" exports the USB4 identities, "/PC" writes the power
// configuration, "/?" shows the usage; the process ends with the run's exit code.
// Without an option (or with /DBG<level> alone) it opens the operator's window.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/TerminalDisplay.h"
#include "config/CmdLine.h"
#include "config/Ini.h"
#include "engine/MPEngine.h"
#include "log/DebugLog.h"
#include "platform/Station.h"
#include "util/Clock.h"
#include "util/USBUtility.h"
#ifdef DEVEDA_WITH_WINDOW
#include "app/RunWindow.h"
#endif

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", strVersionLine("DEVeda").c_str());
        return 0;
    }
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--station=", 10) == 0) {
        platform::SetStationChoice(argv[1] + 10);
        first = 2;
    }
    // The command line as one text, tabs and line feeds removed.
    std::string line;
    for (int i = first; i < argc; ++i) line += (i > first ? " " : "") + std::string(argv[i]);
    std::erase_if(line, [](char c) { return c == '\t' || c == '\n'; });

    // The trace goes to a file beside the settings unless $DEVEDA_TRACE names
    // another one ("-": standard error), so the station's terminal stays readable.
    const char* trace = std::getenv("DEVEDA_TRACE");
    const std::string tracePath = trace ? trace : CUSBUtility::Instance().GetProgramFolder() + "/DEVeda-trace.txt";
    if (tracePath != "-" && !devlog::SetTraceFile(tracePath))
        std::fprintf(stderr, "DEVeda: cannot write the trace file %s\n", tracePath.c_str());

    Ini& ini = Ini::Global();
    ini.m_bMessageToFile = !line.empty();
    ini.vLoadINIAtStartup(strDefaultINIFilePath());
    const CmdLineInit init = vCmdLineInitialise(line, ini.m_pINI.CmdLineTimeOut, "DEVeda");
    if (init.bShowUsage) {
        std::printf("%s\n", init.strUsageText.c_str());
        return init.iExitCode;
    }
    if (init.bExit) return init.iExitCode;
    // No option, or /DBG<level> alone: the operator's window.
    if (init.ShowAllowed) {
#ifdef DEVEDA_WITH_WINDOW
        return app::RunWindow(argc, argv, ini.m_pINI);
#else
        std::fprintf(stderr,
                     "DEVeda: the operator window is not part of this build; run a station with /S, /C:<version>, "
                     "/O4 or /PC (/? for the usage)\n");
        return 2;
#endif
    }

    platform::IStation& station = platform::Station();
    if (station.IsEmulated()) std::printf("*** %s: results are not from real drives ***\n", station.Describe().c_str());
    cli::TerminalDisplay display(stdout, platform::StandardOutputIsTerminal());
    engine::CMPEngine engine(display, station);
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
    if (*code == kExitPlugInTimeOut) std::printf("no bridge found on the %s in time\n", station.Describe().c_str());
    if (engine.Snapshot()->runResult != engine::kRunNone)
        std::printf("result log: %s\n", engine.MPResultLogPath().c_str());
    std::printf("%s", display.TableText().c_str());
    std::printf("exit code %d\n", *code);
    return *code;
}
