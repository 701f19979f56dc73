// devedactl ini: check, show and change settings files as the tool reads them.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "config/DeviceOptions.h"
#include "config/Ini.h"
#include "config/IniEdit.h"
#include "platform/FileStore.h"
#include "util/USBUtility.h"

namespace {

constexpr const char* kUsage =
    "  ini check FILE   load a settings file; print the check result, counted lines, outcome and messages\n"
    "                   (exit 1 when the load fails)\n"
    "  ini show FILE [KEY]   every key of the file and the device options beside it, or the value of KEY\n"
    "  ini set FILE KEY=VALUE...   change the named keys only; the other lines, the serial number among them,\n"
    "                   stay; a device option (eup, pcie_aspm, USB4_20G, ...) goes to DeviceOptions.ini beside FILE\n"
    "  ini write FILE [KEY=VALUE...]   the built-in settings with the given values, checked and stored";

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

// Loads `path` into `ini` with the operator messages printed.
bool LoadPrinting(Ini& ini, const std::string& path)
{
    PrintingSink sink;
    CUSBUtility::Instance().SetMessageSink(&sink);
    const bool loaded = ini.vLoadINIFile(path);
    CUSBUtility::Instance().SetMessageSink(nullptr);
    return loaded;
}

std::optional<std::string> ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool Store(const std::string& path, const std::string& text)
{
    std::string error;
    if (platform::StoreFileDurably(path, text, error)) return true;
    std::fprintf(stderr, "devedactl: ini: %s\n", error.c_str());
    return false;
}

// Whether `text` loads as a valid settings file (the messages of the load printed).
bool LoadsAsSettings(const std::string& nearPath, const std::string& text)
{
    const std::string probe = nearPath + ".check";
    if (!Store(probe, text)) return false;
    Ini ini;
    const bool loaded = LoadPrinting(ini, probe);
    std::remove(probe.c_str());
    return loaded;
}

// "KEY=VALUE" words as pairs; nullopt (with the usage error printed) for another word.
std::optional<std::vector<std::pair<std::string, std::string>>> Assignments(const cli::Args& words, const char* command)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& word : words) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            cli::UsageError(std::string(command) + ": expected KEY=VALUE, not '" + word + "'");
            return std::nullopt;
        }
        pairs.emplace_back(word.substr(0, eq), word.substr(eq + 1));
    }
    return pairs;
}

// The device options as the station would apply them from the folder of `path`.
IniSettings OptionsBeside(const std::string& path, std::string& error)
{
    IniSettings settings = DefaultIniSettings();
    if (const auto text = ReadText(strDeviceOptionsPath(path))) bApplyDeviceOptionsText(*text, settings, error);
    return settings;
}

int Show(const cli::Args& args)
{
    if (args.empty() || args.size() > 2) return cli::UsageError("usage: ini show FILE [KEY]");
    const auto text = ReadText(args[0]);
    if (!text) {
        std::fprintf(stderr, "devedactl: ini show: cannot read %s: %s\n", args[0].c_str(),
                     cli::SystemErrorText(errno).c_str());
        return 1;
    }
    std::string optionsError;
    const IniSettings options = OptionsBeside(args[0], optionsError);
    if (!optionsError.empty())
        std::fprintf(stderr, "devedactl: ini show: %s: %s\n", strDeviceOptionsPath(args[0]).c_str(), optionsError.c_str());
    if (args.size() == 2) {
        const std::string& key = args[1];
        if (bIsDeviceOptionKey(key)) {
            std::printf("%u\n", uDeviceOption(options, key));
            return 0;
        }
        if (strIniKeyRule(key).empty()) return cli::UsageError("ini show: no key '" + key + "' in a settings file");
        const auto value = strIniValueOf(*text, key);
        if (!value) {
            std::fprintf(stderr, "devedactl: ini show: %s has no line for %s\n", args[0].c_str(), key.c_str());
            return 1;
        }
        std::printf("%s\n", value->c_str());
        return 0;
    }
    for (const auto& key : IniFileKeys()) {
        const auto value = strIniValueOf(*text, key.name);
        if (value) std::printf("%s=%s\n", key.name, value->c_str());
        else std::printf("%s  (not in the file)\n", key.name);
    }
    std::printf("// device options (%s)\n", strDeviceOptionsPath(args[0]).c_str());
    for (const auto& key : DeviceOptionKeys()) std::printf("%s=%u\n", key.name, uDeviceOption(options, key.name));
    return 0;
}

int Set(const cli::Args& args)
{
    if (args.size() < 2) return cli::UsageError("usage: ini set FILE KEY=VALUE...");
    const std::string& path = args[0];
    const auto pairs = Assignments(cli::Args(args.begin() + 1, args.end()), "ini set");
    if (!pairs) return 2;
    std::vector<std::pair<std::string, std::string>> settingValues, optionValues;
    bool refused = false;
    for (const auto& [key, value] : *pairs) {
        const bool option = bIsDeviceOptionKey(key);
        const auto why = option ? strRefuseDeviceOption(key, value) : strRefuseIniValue(key, value);
        if (why) {
            std::fprintf(stderr, "devedactl: ini set: %s\n", why->c_str());
            refused = true;
        }
        (option ? optionValues : settingValues).emplace_back(key, value);
    }
    if (refused) return 1;

    if (platform::RemoveLeftoverStore(path))
        std::fprintf(stderr, "devedactl: ini set: removed %s left by an interrupted store\n",
                     platform::StoreTempPath(path).c_str());
    if (!settingValues.empty()) {
        const auto current = ReadText(path);
        const std::string text =
            strSetIniValues(current ? *current : strComposeINIText(DefaultIniSettings()), settingValues);
        if (!LoadsAsSettings(path, text)) {
            std::fprintf(stderr, "devedactl: ini set: %s would not load with these values (messages above); "
                                 "nothing was changed\n", path.c_str());
            return 1;
        }
        if (!Store(path, text)) return 1;
    }
    if (!optionValues.empty()) {
        std::string optionsError;
        IniSettings options = OptionsBeside(path, optionsError);
        if (!optionsError.empty())
            std::fprintf(stderr, "devedactl: ini set: %s was damaged (%s); the other options are rewritten with "
                                 "their defaults\n", strDeviceOptionsPath(path).c_str(), optionsError.c_str());
        std::string text;
        for (const auto& [key, value] : optionValues) text += key + "=" + value + "\n";
        bApplyDeviceOptionsText(text, options, optionsError);
        if (!Store(strDeviceOptionsPath(path), strComposeDeviceOptions(options))) return 1;
    }
    return 0;
}

// ini write FILE [KEY=VALUE...]: the built-in defaults with the given values,
// checked by loading the text as the tool would, then stored whole.
int Write(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("usage: ini write FILE [KEY=VALUE...]");
    const auto pairs = Assignments(cli::Args(args.begin() + 1, args.end()), "ini write");
    if (!pairs) return 2;
    for (const auto& [key, value] : *pairs) {
        if (const auto why = strRefuseIniValue(key, value)) {
            std::fprintf(stderr, "devedactl: ini write: %s\n", why->c_str());
            return 1;
        }
    }
    // The text, not a loaded record: a load forces some fields that the file keeps.
    const std::string text = strSetIniValues(strComposeINIText(DefaultIniSettings()), *pairs);
    if (!LoadsAsSettings(args[0], text)) {
        std::fprintf(stderr, "devedactl: ini write: the values above do not make a valid settings file\n");
        return 1;
    }
    return Store(args[0], text) ? 0 : 1;
}

int Check(const cli::Args& args)
{
    if (args.size() != 1) return cli::UsageError("ini check: expected FILE");
    if (std::FILE* probe = std::fopen(args[0].c_str(), "rb")) std::fclose(probe);
    else std::fprintf(stderr, "devedactl: ini check: cannot read %s: %s\n", args[0].c_str(),
                      cli::SystemErrorText(errno).c_str());
    Ini ini;
    const bool loaded = LoadPrinting(ini, args[0]);
    if (ini.m_iLastCheckResult < 0) std::printf("vCheckINIType: not run\n");
    else std::printf("vCheckINIType: %d\n", ini.m_iLastCheckResult);
    std::printf("lines: %u\n", ini.m_uTotalINICountLine);
    std::printf("load: %s\n", loaded ? "OK" : "FAILED");
    return loaded ? 0 : 1;
}

int RunIni(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("ini: expected 'check', 'show', 'set' or 'write'");
    const cli::Args rest(args.begin() + 1, args.end());
    if (args[0] == "check") return Check(rest);
    if (args[0] == "show") return Show(rest);
    if (args[0] == "set") return Set(rest);
    if (args[0] == "write") return Write(rest);
    return cli::UsageError("ini: unknown subcommand '" + args[0] + "'; expected 'check', 'show', 'set' or 'write'");
}

}  // namespace

DEVEDA_CLI_COMMAND("ini", RunIni, kUsage);
