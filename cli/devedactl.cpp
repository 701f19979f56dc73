// devedactl: the engineering console. Usage: devedactl [--station=SPEC] GROUP ...
#include <cstdio>
#include <cstring>

#include "cli/CliCommand.h"

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
    std::fprintf(stderr, "usage: devedactl [--station=emu:DIR|linux] COMMAND ...\n");
    for (const auto& [name, group] : cli::CommandGroups()) std::fprintf(stderr, "%s\n", group.usage.c_str());
}
}  // namespace

int main(int argc, char** argv)
{
    cli::Args args(argv + 1, argv + argc);
    if (!args.empty() && args[0].rfind("--station=", 0) == 0) {
        ::setenv("DEVEDA_STATION", args[0].c_str() + std::strlen("--station="), 1);
        args.erase(args.begin());
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        PrintUsage();
        return args.empty() ? 2 : 0;
    }
    const auto group = cli::CommandGroups().find(args[0]);
    if (group == cli::CommandGroups().end()) {
        PrintUsage();
        return cli::UsageError("unknown command '" + args[0] + "'");
    }
    return group->second.run(cli::Args(args.begin() + 1, args.end()));
}
