#pragma once
// The bridge options of the two settings dialogs ("PCIE_USB_Config" and
// "USB4_More_Config"), which the settings file does not carry: a load of the
// settings file resets them. A station without a window keeps them in a small
// companion file, "DeviceOptions.ini" beside the settings file, one "key=value"
// line each; the start-up load applies it after the settings file.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/IniSettings.h"

inline constexpr const char* kDeviceOptionsFileName = "DeviceOptions.ini";

// One option: its key, the dialog control it stands for, and its largest value
// (0 is the smallest of every option).
struct DeviceOptionKey {
    const char* name;
    const char* control;
    unsigned max;
};
// Every option, in the order the file lists them.
const std::vector<DeviceOptionKey>& DeviceOptionKeys();
bool bIsDeviceOptionKey(std::string_view key);

// "DeviceOptions.ini" in the folder of the settings file `settingsPath`.
std::string strDeviceOptionsPath(const std::string& settingsPath);

// Why `value` is refused for option `key`, or nullopt when it is in range.
std::optional<std::string> strRefuseDeviceOption(std::string_view key, std::string_view value);

// The value `settings` holds for option `key` (a key of DeviceOptionKeys()).
unsigned uDeviceOption(const IniSettings& settings, std::string_view key);

// Sets the options named in `text` ("key=value" lines, blank lines and lines
// starting with "//" or "[" ignored) in `settings`. On an unknown key or a
// refused value `settings` is left unchanged and `error` names the line.
bool bApplyDeviceOptionsText(std::string_view text, IniSettings& settings, std::string& error);

// The file's text for the options of `settings`, every option on its own line.
std::string strComposeDeviceOptions(const IniSettings& settings);
