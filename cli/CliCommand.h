#pragma once
// Command groups of devedactl. Each group lives in its own cli/*Command.cpp file
// and registers itself with DEVEDA_CLI_COMMAND, so adding a group touches no
// other file.
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace cli {

using Args = std::vector<std::string>;

struct CommandGroup {
    std::function<int(const Args&)> run;  // gets the words after the group name
    std::string usage;                    // one or more lines, each a full command
};

std::map<std::string, CommandGroup>& CommandGroups();

struct Registrar {
    Registrar(const std::string& name, std::function<int(const Args&)> run, std::string usage)
    {
        CommandGroups()[name] = CommandGroup{std::move(run), std::move(usage)};
    }
};

// Prints "devedactl: " + text to standard error and returns the usage exit code 2.
int UsageError(const std::string& text);

}  // namespace cli

#define DEVEDA_CLI_CONCAT2_(a, b) a##b
#define DEVEDA_CLI_CONCAT_(a, b) DEVEDA_CLI_CONCAT2_(a, b)
#define DEVEDA_CLI_COMMAND(name, function, usage) \
    static const ::cli::Registrar DEVEDA_CLI_CONCAT_(g_CliRegistrar, __LINE__)(name, function, usage)
