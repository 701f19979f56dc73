#include "config/IniEdit.h"

#include <algorithm>
#include <cstdint>

#include "config/Ini.h"
#include "util/Text.h"

namespace {

// Range of a numeric key when it is narrower than its field.
struct NumberRule {
    const char* key;
    uint64_t min, max;
};
constexpr NumberRule kNumberRules[] = {
    {"version", kIniFileVersion, kIniFileVersion},
    {"format_enable", 0, 1}, {"format_drive_type", 0, 2}, {"partition_drive_type", 0, 1}, {"wr_test_enable", 0, 1},
    {"auto_mp", 0, 1}, {"auto_mp_DevNum", 0, 16}, {"preload_enable", 0, 1}, {"Check_USBStatus_enable", 0, 1},
    {"Check_USBStatus", 0, 2}, {"Check_SerialNumber", 0, 1}, {"Auto_Safe_Remove", 0, 1}, {"Scan_BarCode", 0, 1},
    {"Speed_test_enable", 0, 1}, {"Scan_HDDSN", 0, 1}, {"check_config", 0, 1},
    {"SN_EditType", 0, 4}, {"USB4_BcdSync", 0, 1}, {"fw_enable", 0, 1}, {"fw_reload", 0, 1},
    {"ext_fw_enable", 0, 1}, {"pd_fw_enable", 0, 1}, {"mcu_fw_enable", 0, 1},
    {"SN_Numbers", 12, 12}, {"serial_number_increase", 0, 1}, {"SN_fix_length", 0, 20},
    {"SN_remain_value_enable", 0, 1}, {"SN_remain_value_length", 0, 20}, {"standby_timer", 0, 11},
    {"hdd_standby", 0, 1}, {"image0", 0, 1}, {"image1", 0, 1}, {"crc32", 0, 1}, {"USB4_U4Mode", 0, 3},
    {"PCIE_Scan", 0, 2}, {"cd_rom_mode", 0, 1},
};

// Text keys with a length limit; `exact` texts must have that many hexadecimal digits.
struct TextRule {
    const char* key;
    size_t length;
    bool exactHex;
};
constexpr TextRule kTextRules[] = {
    {"vendor_id", kMaxVendorIdLen, true},
    {"product_id", kMaxProductIdLen, true},
    {"device_revision", kMaxDeviceRevisionLen, true},
    {"manufacturer_string", kMaxManufacturerLen, false},
    {"product_string", kMaxProductLen, false},
    {"manufacturer_string_T10", kMaxManufacturerT10Len, false},
    {"product_string_T10", kMaxProductT10Len, false},
    {"serial_number", kMaxSerialNumberLen, false},
    {"drive_label_name", kMaxDiskLabelLenNtfs, false},
    {"USB4_VendorName", 32, false},
    {"USB4_ModelName", 32, false},
    {"USB4_VendorID", 4, true},
    {"USB4_ProductID", 4, true},
    {"USB4_TestID", 8, true},
    {"USB4_BcdProductFWRevision", 4, true},
    {"USB4_ProductHWRevision", 2, true},
    {"USB4_TBT3VendorID", 4, true},
    {"USB4_TBT3ModelID", 4, true},
    {"USB4_TBT3ModelRevision", 2, true},
    {"PCIE_VendorID", 4, true},
    {"PCIE_DeviceID", 4, true},
};

std::optional<IniFileKey> FindKey(std::string_view key)
{
    for (const auto& k : IniFileKeys())
        if (util::EqualNoCase(key, k.name)) return k;
    return std::nullopt;
}

std::string_view Trim(std::string_view s)
{
    const char* blanks = " \t\r\n\v\f";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// A line of `text`: its start, the end of its content (before CR LF) and the
// start of the next line.
struct LineSpan {
    size_t begin, contentEnd, next;
};
std::vector<LineSpan> Lines(std::string_view text)
{
    std::vector<LineSpan> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t lf = text.find('\n', begin);
        const size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
        size_t end = lf == std::string_view::npos ? text.size() : lf;
        if (end > begin && text[end - 1] == '\r') --end;
        lines.push_back({begin, end, next});
        begin = next;
    }
    return lines;
}

// The key of a line as the load reads it.
std::string_view LineKey(std::string_view line)
{
    return Trim(line.substr(0, line.find('=')));
}

bool IsHex(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

}  // namespace

std::string strIniKeyRule(std::string_view key)
{
    const auto k = FindKey(key);
    if (!k) return "";
    if (!k->text) {
        uint64_t min = 0, max = k->fieldMax;
        for (const auto& rule : kNumberRules)
            if (util::EqualNoCase(key, rule.key)) min = rule.min, max = rule.max;
        if (util::EqualNoCase(key, "SN_fix_length")) return "0 (off) or a number from 12 to 20";
        if (min == max) return "the number " + std::to_string(min);
        return "a number from " + std::to_string(min) + " to " + std::to_string(max);
    }
    for (const auto& rule : kTextRules) {
        if (!util::EqualNoCase(key, rule.key)) continue;
        if (rule.exactHex) return "exactly " + std::to_string(rule.length) + " hexadecimal digits";
        return "a text of at most " + std::to_string(rule.length) + " characters";
    }
    return "a text of at most " + std::to_string(kIniStringSize - 1) + " characters";
}

std::optional<std::string> strRefuseIniValue(std::string_view key, std::string_view value)
{
    const auto k = FindKey(key);
    const std::string setting = std::string(key) + "=" + std::string(value);
    if (!k) return setting + ": no such key in a settings file";
    const std::string rule = strIniKeyRule(key);
    const auto refuse = [&] { return setting + ": " + rule + " is expected"; };
    if (value != Trim(value)) return setting + ": leading or trailing blanks would be lost; " + rule + " is expected";
    if (std::any_of(value.begin(), value.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        }))
        return setting + ": control characters are not allowed";
    if (value.find("//") != std::string_view::npos && !value.starts_with("//"))
        return setting + ": \"//\" starts a comment, the rest would be lost";
    if (!k->text) {
        if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string_view::npos)
            return refuse();
        const uint64_t number = std::stoull(std::string(value));
        uint64_t min = 0, max = k->fieldMax;
        for (const auto& r : kNumberRules)
            if (util::EqualNoCase(key, r.key)) min = r.min, max = r.max;
        if (number < min || number > max) return refuse();
        if (util::EqualNoCase(key, "SN_fix_length") && number != 0 && number < 12) return refuse();
        return std::nullopt;
    }
    for (const auto& r : kTextRules) {
        if (!util::EqualNoCase(key, r.key)) continue;
        if (r.exactHex && (value.size() != r.length || !IsHex(value))) return refuse();
        if (!r.exactHex && value.size() > r.length) return refuse();
        return std::nullopt;
    }
    if (value.size() > kIniStringSize - 1) return refuse();
    return std::nullopt;
}

std::optional<std::string> strRefuseLoadedIniValue(std::string_view key, std::string_view value)
{
    const auto k = FindKey(key);
    if (!k) return std::nullopt;  // the load counts it as an invalid line
    const std::string setting = std::string(key) + "=" + std::string(value);
    const auto refuse = [&] { return setting + ": " + strIniKeyRule(key) + " is expected"; };
    if (!k->text) {
        // A number with anything but decimal digits would be read as another number.
        if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string_view::npos)
            return refuse();
        // Keys the load forces or clamps to a value of its own keep that rule.
        static constexpr const char* kAdjustedByLoad[] = {
            "version",  "fw_reload", "USB4_ComponentID_EditType", "hdd_standby", "image0",    "image1",
            "crc32",    "SN_remain_value_length", "SN_fix_length", "USB4_U4Mode", "PCIE_Scan", "SN_Numbers"};
        for (const char* adjusted : kAdjustedByLoad)
            if (util::EqualNoCase(key, adjusted)) return std::nullopt;
        // A number wider than its field has the load's own "out of range" refusal.
        if (std::stoull(std::string(value)) > k->fieldMax) return std::nullopt;
        return strRefuseIniValue(key, value) ? std::optional<std::string>(refuse()) : std::nullopt;
    }
    // Hexadecimal identities reach the bridge as numbers: a letter outside A-F
    // would be composed as another value. Their lengths are the Start checks'.
    for (const auto& r : kTextRules)
        if (r.exactHex && util::EqualNoCase(key, r.key) && !IsHex(value))
            return setting + ": hexadecimal digits (0-9, A-F) are expected";
    return std::nullopt;
}

std::optional<std::string> strIniValueOf(std::string_view text, std::string_view key)
{
    std::optional<std::string> found;
    for (const auto& span : Lines(text)) {
        const std::string_view line = Trim(text.substr(span.begin, span.contentEnd - span.begin));
        if (!util::EqualNoCase(LineKey(line), key)) continue;
        const size_t eq = line.find('=');
        std::string_view rest = eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
        const size_t comment = rest.find("//");
        if (comment != std::string_view::npos && comment > 0) rest = rest.substr(0, comment);
        found = std::string(Trim(rest));
    }
    return found;
}

std::string strSetIniValues(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    const std::vector<IniFileKey> order = IniFileKeys();
    for (const auto& assignment : values) {
        const std::string& key = assignment.first;
        const std::string& value = assignment.second;
        const std::string name = [&] {
            for (const auto& k : order)
                if (util::EqualNoCase(key, k.name)) return std::string(k.name);
            return key;
        }();
        bool replaced = false;
        const auto lines = Lines(text);
        // Back to front, so the spans of earlier lines stay valid.
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            const std::string_view line(text.data() + it->begin, it->contentEnd - it->begin);
            const std::string_view lineKey = LineKey(line);
            if (!util::EqualNoCase(lineKey, name)) continue;
            text.replace(it->begin, it->contentEnd - it->begin, std::string(lineKey) + "=" + value);
            replaced = true;
        }
        if (replaced) continue;
        // Missing: after the last line of the nearest preceding key the text has.
        // The text's own line end; CR LF, as the store writes, when it has none.
        const bool bareLineFeeds = text.find('\n') != std::string::npos && text.find("\r\n") == std::string::npos;
        const std::string lineEnd = bareLineFeeds ? "\n" : "\r\n";
        size_t insertAt = std::string::npos;
        const auto self = std::find_if(order.begin(), order.end(), [&](const IniFileKey& k) { return name == k.name; });
        for (auto before = self; before != order.begin() && insertAt == std::string::npos;) {
            --before;
            for (const auto& span : Lines(text))
                if (util::EqualNoCase(LineKey(std::string_view(text).substr(span.begin, span.contentEnd - span.begin)),
                                      before->name))
                    insertAt = span.next;
        }
        // Without one, before the first line of the nearest key that follows it.
        for (auto after = self; after != order.end() && insertAt == std::string::npos; ++after) {
            if (after == self) continue;
            for (const auto& span : Lines(text)) {
                if (util::EqualNoCase(LineKey(std::string_view(text).substr(span.begin, span.contentEnd - span.begin)),
                                      after->name)) {
                    insertAt = span.begin;
                    break;
                }
            }
        }
        if (insertAt == std::string::npos) insertAt = text.size();
        std::string added = name + "=" + value + lineEnd;
        if (insertAt > 0 && text[insertAt - 1] != '\n') added = lineEnd + added;
        text.insert(insertAt, added);
    }
    return text;
}
