// The device options file beside the settings file.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "config/DeviceOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    IniSettings settings = DefaultIniSettings();
    const IniSettings before = settings;
    std::string error;
    const bool applied = bApplyDeviceOptionsText(std::string(reinterpret_cast<const char*>(data), size), settings, error);
    // A refused file changes nothing; an applied one reads back the same.
    if (!applied && std::memcmp(&settings, &before, sizeof settings) != 0) __builtin_trap();
    if (applied) {
        IniSettings again = DefaultIniSettings();
        if (!bApplyDeviceOptionsText(strComposeDeviceOptions(settings), again, error)) __builtin_trap();
        for (const auto& key : DeviceOptionKeys())
            if (uDeviceOption(again, key.name) != uDeviceOption(settings, key.name)) __builtin_trap();
    }
    return 0;
}
