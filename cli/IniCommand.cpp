// devedactl ini: load a settings file as the tool does and report the outcome.
#include <cstdio>
#include <string>

#include "cli/CliCommand.h"
#include "config/Ini.h"
#include "util/USBUtility.h"

namespace {

// Prints every operator message the load would show, one text line per line.
class PrintingSink : public IProgramMessageSink {
public:
    int ShowMessageBox(const std::string& text, const char* caption, int, unsigned) override
    {
        std::string line;
        for (char c : text) {
            if (c == '\r') continue;
            if (c == '\n') {
                std::printf("message: %s: %s\n", caption, line.c_str());
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) std::printf("message: %s: %s\n", caption, line.c_str());
        return 1;
    }
};

int RunIni(const cli::Args& args)
{
    if (args.empty() || args[0] != "check") return cli::UsageError("ini: expected 'check'");
    if (args.size() != 2) return cli::UsageError("ini check: expected FILE");
    if (std::FILE* probe = std::fopen(args[1].c_str(), "rb")) std::fclose(probe);
    else std::fprintf(stderr, "devedactl: ini check: cannot read '%s'\n", args[1].c_str());
    PrintingSink sink;
    CUSBUtility::Instance().SetMessageSink(&sink);
    Ini ini;
    const bool loaded = ini.vLoadINIFile(args[1]);
    CUSBUtility::Instance().SetMessageSink(nullptr);

    if (ini.m_iLastCheckResult < 0) std::printf("vCheckINIType: not run\n");
    else std::printf("vCheckINIType: %d\n", ini.m_iLastCheckResult);
    std::printf("lines: %u\n", ini.m_uTotalINICountLine);
    std::printf("load: %s\n", loaded ? "OK" : "FAILED");
    return loaded ? 0 : 1;
}

}  // namespace

DEVEDA_CLI_COMMAND("ini", RunIni,
                   "  ini check FILE   load a settings file; print the check result, counted lines, "
                   "outcome and messages (exit 1 when the load fails)");
