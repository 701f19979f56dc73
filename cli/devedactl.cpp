// devedactl: the engineering console.
// Usage: devedactl [--station=CHOICE] [--debug=LEVEL] [--trace=FILE] COMMAND ...
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "config/CmdLine.h"
#include "log/DebugLog.h"
#include "platform/Station.h"

namespace cli {

std::map<std::string, CommandGroup>& CommandGroups()
{
    static std::map<std::string, CommandGroup> groups;
    return groups;
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "devedactl: %s\n", text.c_str());
    return 2;
}

}  // namespace cli

namespace {

// Exit code of a command that failed, also when it failed by an exception.
constexpr int kExitFailure = 1;

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
                 "usage: devedactl [--station=%s] [--debug=LEVEL] [--trace=FILE] COMMAND ...\n"
                 "       devedactl --help | --version | COMMAND --help\n",
                 platform::StationUsage().c_str());
    for (const auto& [name, group] : cli::CommandGroups()) std::fprintf(out, "%s\n", group.usage.c_str());
    for (const platform::StationKind* kind : platform::StationKinds())
        if (kind->console) std::fprintf(out, "%s\n", kind->consoleUsage.c_str());
}

// Commands a station kind brings (devedactl emu ...), given the argument of the
// current choice when it is of that kind.
std::optional<int> RunStationConsole(const cli::Args& args)
{
    const platform::StationKind* kind = platform::FindStationKind(args[0]);
    if (!kind || !kind->console) return std::nullopt;
    if (cli::AsksForHelp(cli::Args(args.begin() + 1, args.end()))) {
        std::printf("%s\n", kind->consoleUsage.c_str());
        return 0;
    }
    std::string name, argument, error;
    if (!platform::SplitStationChoice(platform::StationChoice(), name, argument, error) || name != kind->name)
        argument.clear();
    return kind->console(argument, cli::Args(args.begin() + 1, args.end()));
}

int UnknownCommand(const std::string& word)
{
    std::vector<std::string> names;
    for (const auto& [name, group] : cli::CommandGroups()) names.push_back(name);
    for (const platform::StationKind* kind : platform::StationKinds())
        if (kind->console) names.push_back(kind->name);
    const std::string nearest = cli::NearestName(word, names);
    std::string text = "unknown command '" + word + "'";
    if (!nearest.empty()) text += "; did you mean '" + nearest + "'?";
    return cli::UsageError(text + " (devedactl --help lists the commands)");
}

int Run(const cli::Args& words)
{
    const cli::GlobalOptions options = cli::ParseGlobalOptions(words);
    if (!options.error.empty()) return cli::UsageError(options.error);
    if (options.version) {
        std::printf("%s\n", strVersionLine("devedactl").c_str());
        return 0;
    }
    if (options.help) {
        PrintUsage(stdout);
        return 0;
    }
    if (options.rest.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    if (options.station) platform::SetStationChoice(*options.station);
    // Before any time is read: an emulated station may run on its own clock.
    platform::InstallStationClock();
    // Trace: --debug=LEVEL (1 errors, 2 warnings, 3 messages) and --trace=FILE
    // (append the trace to FILE instead of standard error).
    if (options.debugLevel) devlog::SetDebugLevel(*options.debugLevel);
    if (options.traceFile && !devlog::SetTraceFile(*options.traceFile))
        return cli::UsageError("--trace: cannot open " + *options.traceFile + ": " + cli::SystemErrorText(errno));

    const auto group = cli::CommandGroups().find(options.rest[0]);
    if (group == cli::CommandGroups().end()) {
        if (const std::optional<int> code = RunStationConsole(options.rest)) return *code;
        return UnknownCommand(options.rest[0]);
    }
    const cli::Args commandWords(options.rest.begin() + 1, options.rest.end());
    if (cli::AsksForHelp(commandWords)) {
        std::printf("%s\n", group->second.usage.c_str());
        return 0;
    }
    return group->second.run(commandWords);
}

// Last resort for an exception that escaped a thread: name it and end with the
// failure code instead of the runtime's bare "terminate called".
[[noreturn]] void OnTerminate()
{
    std::string cause = "unknown cause";
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            cause = e.what();
        } catch (...) {
        }
    }
    std::fprintf(stderr, "devedactl: internal error: %s\n", cause.c_str());
    std::fflush(stdout);
    std::_Exit(kExitFailure);
}

}  // namespace

int main(int argc, char** argv)
{
    std::set_terminate(OnTerminate);
    try {
        return Run(cli::Args(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "devedactl: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "devedactl: internal error: unknown cause\n");
    }
    return kExitFailure;
}
