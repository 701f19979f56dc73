// DEVeda's command line and devedactl's options before the command (words
// separated by NUL bytes).
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "cli/CliText.h"
#include "config/CmdLine.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const CmdLineInit init = ParseCmdLine(text, static_cast<uint32_t>(size * 977), "DEVeda", 0);
    if (init.CommandIndex < kCmdNone || init.CommandIndex > kCmdPowerConfig) __builtin_trap();
    if (init.iDebugLevel < 0 || init.iDebugLevel > 255) __builtin_trap();

    std::vector<std::string> words;
    size_t start = 0;
    for (size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == '\0') {
            words.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    const cli::GlobalOptions options = cli::ParseGlobalOptions(words);
    if (options.error.empty() && options.rest.size() > words.size()) __builtin_trap();
    cli::NearestName(words.front(), {"emu", "fw", "ini", "list", "table"});
    cli::JsonString(text);
    return 0;
}
