// The settings-file load, the check and store of what it loaded, and the
// console's single-key edits of the same text.
#include <string>

#include "FuzzSupport.h"
#include "config/Ini.h"
#include "config/IniEdit.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = fuzzsupport::WriteScratch("settings.ini", data, size);
    Ini ini;
    if (ini.vLoadINIFile(path)) {
        // What loaded must store and load again.
        const std::string stored = strComposeINIText(ini.m_pINI);
        if (stored.empty()) __builtin_trap();
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto keys = IniFileKeys();
    const auto& key = keys[size % keys.size()];
    const std::string value = text.substr(0, text.find('\n')).substr(0, 40);
    if (!strRefuseIniValue(key.name, value)) {
        const std::string edited = strSetIniValues(text, {{key.name, value}});
        // The edited key reads back as set.
        const auto back = strIniValueOf(edited, key.name);
        if (!back || *back != value) __builtin_trap();
    }
    return 0;
}
