// devedactl: the engineering console. Usage: devedactl [--station=CHOICE] GROUP ...
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
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
void PrintUsage()
{
    std::fprintf(stderr, "usage: devedactl [--station=%s] [--debug=LEVEL] [--trace=FILE] COMMAND ...\n",
                 platform::StationUsage().c_str());
    for (const auto& [name, group] : cli::CommandGroups()) std::fprintf(stderr, "%s\n", group.usage.c_str());
    for (const platform::StationKind* kind : platform::StationKinds())
        if (kind->console) std::fprintf(stderr, "%s\n", kind->consoleUsage.c_str());
}

// Commands a station kind brings (devedactl emu ...), given the argument of the
// current choice when it is of that kind.
std::optional<int> RunStationConsole(const cli::Args& args)
{
    const platform::StationKind* kind = platform::FindStationKind(args[0]);
    if (!kind || !kind->console) return std::nullopt;
    std::string name, argument, error;
    if (!platform::SplitStationChoice(platform::StationChoice(), name, argument, error) || name != kind->name)
        argument.clear();
    return kind->console(argument, cli::Args(args.begin() + 1, args.end()));
}
}  // namespace

int main(int argc, char** argv)
{
    cli::Args args(argv + 1, argv + argc);
    if (!args.empty() && args[0].rfind("--station=", 0) == 0) {
        platform::SetStationChoice(args[0].substr(std::strlen("--station=")));
        args.erase(args.begin());
    }
    // Trace options: --debug=LEVEL (1 errors, 2 warnings, 3 messages) and
    // --trace=FILE (append the trace to FILE instead of standard error).
    while (!args.empty() && (args[0].rfind("--debug=", 0) == 0 || args[0].rfind("--trace=", 0) == 0)) {
        const std::string value = args[0].substr(8);
        if (args[0][2] == 'd') {
            const auto level = cli::ParseInteger(value, 0, 255);
            if (!level) return cli::UsageError("--debug takes a level from 0 to 255");
            devlog::SetDebugLevel(static_cast<int>(*level));
        } else if (!devlog::SetTraceFile(value)) {
            return cli::UsageError("--trace: cannot open " + value);
        }
        args.erase(args.begin());
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        PrintUsage();
        return args.empty() ? 2 : 0;
    }
    const auto group = cli::CommandGroups().find(args[0]);
    if (group == cli::CommandGroups().end()) {
        if (const std::optional<int> code = RunStationConsole(args)) return *code;
        PrintUsage();
        return cli::UsageError("unknown command '" + args[0] + "'");
    }
    return group->second.run(cli::Args(args.begin() + 1, args.end()));
}
