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

// ini write FILE [KEY=VALUE...]: the built-in defaults with the given values,
// checked by loading the text as the tool would, then stored whole.
int Write(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("usage: ini write FILE [KEY=VALUE...]");
    std::string text = strComposeINIText(DefaultIniSettings());
    for (size_t i = 1; i < args.size(); ++i) {
        const size_t eq = args[i].find('=');
        if (eq == std::string::npos || eq == 0) return cli::UsageError("ini write: expected KEY=VALUE, not '" + args[i] + "'");
        const std::string key = args[i].substr(0, eq) + "=";
        size_t at = text.find("\n" + key);
        if (at == std::string::npos) return cli::UsageError("ini write: no key '" + args[i].substr(0, eq) + "'");
        at += 1;
        const size_t end = text.find('\r', at);
        text.replace(at, end - at, args[i]);
    }
    const std::string temp = args[0] + ".new";
    if (std::FILE* out = std::fopen(temp.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
    PrintingSink sink;
    CUSBUtility::Instance().SetMessageSink(&sink);
    Ini ini;
    const bool loaded = ini.vLoadINIFile(temp);
    CUSBUtility::Instance().SetMessageSink(nullptr);
    std::remove(temp.c_str());
    if (!loaded) {
        std::fprintf(stderr, "devedactl: ini write: the values above do not make a valid settings file\n");
        return 1;
    }
    // The text, not the loaded record: a load forces some fields that the file keeps.
    return CUSBUtility::Instance().vWriteFile(args[0], reinterpret_cast<const uint8_t*>(text.data()),
                                              static_cast<uint32_t>(text.size()))
               ? 0
               : 1;
}

int RunIni(const cli::Args& args)
{
    if (!args.empty() && args[0] == "write") return Write(cli::Args(args.begin() + 1, args.end()));
    if (args.empty() || args[0] != "check") return cli::UsageError("ini: expected 'check' or 'write'");
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
                   "outcome and messages (exit 1 when the load fails)\n"
                   "  ini write FILE [KEY=VALUE...]   the built-in settings with the given values, checked and stored");
