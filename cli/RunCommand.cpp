// devedactl run: one MP run on the station's bridges with the settings file as it
// is stored, step switches included. The operator's window and DEVeda /S clear
// the partition/format, write/read, preload, USB-status, reload and safe-removal
// switches at start-up, so that only an operator turns them on; a run started
// from the engineering console is the way to run those steps unattended (line
// bring-up, demos).
#include <cstdio>
#include <string>

#include "cli/CliCommand.h"
#include "cli/RunJson.h"
#include "cli/TerminalDisplay.h"
#include "config/Ini.h"
#include "engine/MPEngine.h"
#include "platform/Station.h"
#include "util/Clock.h"
#include "util/Text.h"
#include "util/USBUtility.h"

namespace {

constexpr const char* kUsage =
    "  run [--settings FILE]   one MP run on the station's bridges with the settings file as stored\n"
    "                          (default: the tool's settings file), step switches kept; exit 0 when\n"
    "                          every bridge passed";

int RunMp(const cli::Args& args)
{
    std::string path = strDefaultINIFilePath();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--settings") return cli::UsageError("run: unknown option '" + args[i] + "'");
        if (i + 1 >= args.size()) return cli::UsageError("run: --settings needs a file");
        path = args[++i];
    }
    Ini ini;
    ini.m_bMessageToFile = true;
    // The built-in settings switch every step off: a run on them would pass
    // without doing what was asked.
    if (!ini.vLoadINIKeepingSteps(path)) {
        std::fprintf(stderr, "devedactl: run: the settings file does not load: %s\n", ini.m_strLoadFailure.c_str());
        return 1;
    }
    platform::IStation& station = platform::Station();
    if (station.IsEmulated()) std::printf("*** %s: results are not from real drives ***\n", station.Describe().c_str());
    const int64_t startMs = util::NowMs();
    const std::tm startTime = util::LocalTimeNow();
    cli::TerminalDisplay display(stdout, cli::DisplayOptionsFromEnvironment(platform::StandardOutputIsTerminal()));
    engine::CMPEngine engine(display, station);
    display.SetSnapshotSource([&engine] { return engine.Snapshot(); });
    engine.SetSettings(ini.m_pINI);
    engine.TriggerScanThread();
    engine.WaitUntilIdle();
    const engine::StartResult start = engine.OnBnClickedButtonStart(ini.m_pINI.serial_number).get();
    if (start.outcome != engine::StartOutcome::kStarted) {
        display.Finish(1, util::NowMs() - startMs, {"outcome: Start refused the run"});
        return 1;
    }
    engine.WaitUntilIdle();
    const auto final = engine.Snapshot();
    const int code = final->runResult == 1 ? 0 : 1;
    // This command writes no JSON of its own; a result log that lost records
    // gets one, so that the run's results are kept somewhere.
    std::string json, jsonError;
    if (!final->recordFailure.empty())
        json = cli::StoreRunJson(CUSBUtility::Instance().GetProgramFolder(), *final,
                                 {startTime, util::NowMs() - startMs}, code, jsonError);
    auto closing = cli::RunOutcomeLines(*final, code == 0 ? "passed" : "failed", engine.MPResultLogPath(), json);
    if (!jsonError.empty() && json.empty()) closing.push_back("run result not written: " + jsonError);
    display.Finish(code, util::NowMs() - startMs, closing);
    return code;
}

}  // namespace

DEVEDA_CLI_COMMAND("run", RunMp, kUsage);
