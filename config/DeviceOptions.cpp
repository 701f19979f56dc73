#include "config/DeviceOptions.h"

#include <filesystem>

#include "util/Text.h"

namespace {

struct OptionField {
    DeviceOptionKey key;
    uint8_t IniSettings::*byte;
    uint32_t IniSettings::*word;
};

const std::vector<OptionField>& Fields()
{
    static const std::vector<OptionField> fields = {
        {{"usb_removable", "\"USB removable\"", 1}, &IniSettings::usb_removable, nullptr},
        {{"eup", "\"Eup\"", 1}, &IniSettings::eup, nullptr},
        {{"two_leds", "\"Two LEDS\"", 1}, &IniSettings::two_leds, nullptr},
        {{"wtg", "\"WTG\"", 1}, &IniSettings::wtg, nullptr},
        {{"u1u2", "\"U1/U2\"", 1}, &IniSettings::u1u2, nullptr},
        {{"low_power", "\"Low Power Mode\"", 1}, &IniSettings::low_power, nullptr},
        {{"support_2tb", "\"2TB\"", 1}, &IniSettings::support_2tb, nullptr},
        {{"slow_enumeration", "\"Slow Enumeration\"", 1}, &IniSettings::slow_enumeration, nullptr},
        {{"lp_if_idle", "\"LP if Idle\" list index", 2}, &IniSettings::lp_if_idle, nullptr},
        {{"lp_if_u3", "\"LP if U3\" list index", 3}, &IniSettings::lp_if_u3, nullptr},
        {{"pcie_aspm", "\"PCIE ASPM\" list index", 3}, &IniSettings::pcie_aspm, nullptr},
        {{"force_pcie_speed", "\"Force PCIE Speed\" list index", 3}, &IniSettings::force_pcie_speed, nullptr},
        {{"force_pcie_lane", "\"Force PCIE Lane\" list index", 3}, &IniSettings::force_pcie_lane, nullptr},
        {{"image0", "\"Image_1\"", 1}, &IniSettings::image0, nullptr},
        {{"image1", "\"Image_2\"", 1}, &IniSettings::image1, nullptr},
        {{"crc32", "\"Generate CRC32\"", 1}, &IniSettings::crc32, nullptr},
        {{"USB4_20G", "\"20G\"", 1}, nullptr, &IniSettings::USB4_20G},
        {{"USB4_x2", "\"x2\"", 1}, nullptr, &IniSettings::USB4_x2},
        {{"USB4_CLMode", "CL mode list index", 3}, nullptr, &IniSettings::USB4_CLMode},
    };
    return fields;
}

const OptionField* Find(std::string_view key)
{
    for (const auto& f : Fields())
        if (util::EqualNoCase(key, f.key.name)) return &f;
    return nullptr;
}

std::string_view Trim(std::string_view s)
{
    const char* blanks = " \t\r";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

}  // namespace

const std::vector<DeviceOptionKey>& DeviceOptionKeys()
{
    static const std::vector<DeviceOptionKey> keys = [] {
        std::vector<DeviceOptionKey> k;
        for (const auto& f : Fields()) k.push_back(f.key);
        return k;
    }();
    return keys;
}

bool bIsDeviceOptionKey(std::string_view key)
{
    return Find(key) != nullptr;
}

std::string strDeviceOptionsPath(const std::string& settingsPath)
{
    return (std::filesystem::path(settingsPath).parent_path() / kDeviceOptionsFileName).string();
}

std::optional<std::string> strRefuseDeviceOption(std::string_view key, std::string_view value)
{
    const std::string setting = std::string(key) + "=" + std::string(value);
    const OptionField* f = Find(key);
    if (!f) return setting + ": no such device option";
    if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoul(std::string(value)) > f->key.max)
        return setting + ": a number from 0 to " + std::to_string(f->key.max) + " is expected";
    return std::nullopt;
}

unsigned uDeviceOption(const IniSettings& settings, std::string_view key)
{
    const OptionField* f = Find(key);
    if (!f) return 0;
    return f->byte ? settings.*(f->byte) : settings.*(f->word);
}

bool bApplyDeviceOptionsText(std::string_view text, IniSettings& settings, std::string& error)
{
    IniSettings edited = settings;
    unsigned lineNumber = 0;
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        const std::string_view line = Trim(text.substr(0, lf));
        text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
        ++lineNumber;
        if (line.empty() || line.starts_with("//") || line.starts_with("[")) continue;
        const size_t eq = line.find('=');
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : Trim(line.substr(eq + 1));
        if (const auto refused = strRefuseDeviceOption(key, value)) {
            error = "line " + std::to_string(lineNumber) + ": " + *refused;
            return false;
        }
        const OptionField* f = Find(key);
        const auto number = std::stoul(std::string(value));
        if (f->byte) edited.*(f->byte) = static_cast<uint8_t>(number);
        else edited.*(f->word) = static_cast<uint32_t>(number);
    }
    settings = edited;
    return true;
}

std::string strComposeDeviceOptions(const IniSettings& settings)
{
    std::string text = "// Bridge options of the settings dialogs; devedactl ini set changes them\r\n";
    for (const auto& f : Fields())
        text += std::string(f.key.name) + "=" + std::to_string(uDeviceOption(settings, f.key.name)) + "\r\n";
    return text;
}
