#include "config/Ini.h"
#include "util/Text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <variant>
#include <vector>

#include "config/DeviceOptions.h"
#include "config/FirmwareCheck.h"
#include "config/IniEdit.h"
#include "log/DebugLog.h"
#include "platform/FileStore.h"
#include "util/USBUtility.h"

namespace fs = std::filesystem;

namespace {

// One line of the settings file: a section, the "[Target_Chip]" comment, or a key
// with the record field that carries it. The table is in file order, so the store
// writes it top to bottom and the load finds every key in it.
struct Section {
    bool counted;    // "[ini_version]" and "[usb_func]" are not counted
    bool blankBefore; // an empty line goes before every section after the first two
    bool operator==(const Section&) const = default;
};
struct Comment {
    bool operator==(const Comment&) const = default;
};
using Field = std::variant<uint8_t IniSettings::*, uint32_t IniSettings::*, int32_t IniSettings::*, IniString IniSettings::*,
                           Section, Comment>;
struct IniLine {
    const char* name;
    Field field;
};

#define NUM(f) IniLine{#f, &IniSettings::f}
constexpr Section kUncounted{false, false};
constexpr Section kCounted{true, true};

const IniLine kIniLines[] = {
    {"[ini_version]", kUncounted},
    NUM(version),
    {"[usb_func]", kUncounted},
    NUM(format_enable), NUM(format_drive_type), NUM(partition_drive_type), NUM(drive_label_name), NUM(wr_test_enable),
    NUM(wr_test_binary_name), NUM(wr_test_count), NUM(auto_mp), NUM(auto_mp_DevNum), NUM(preload_enable),
    NUM(preload_folder_path), NUM(Check_USBStatus_enable), NUM(Check_USBStatus), NUM(Check_SerialNumber),
    NUM(Auto_Safe_Remove), NUM(Scan_BarCode), NUM(uiRemove_after_finish), NUM(Speed_test_enable), NUM(Scan_HDDSN),
    NUM(check_config), NUM(SN_EditType), NUM(USB4_ComponentID_EditType), NUM(CmdLineTimeOut), NUM(USB4_BcdSync),
    {"[Speed_Test]", kCounted},
    NUM(read_speed), NUM(write_speed), NUM(speed_test_file_size),
    {"[usb_fw]", kCounted},
    NUM(fw_enable), NUM(fw_binary_name), NUM(fw_reload), NUM(rescan_after_relink), NUM(ext_fw_enable), NUM(pd_fw_enable),
    NUM(mcu_fw_enable), NUM(pd_binary_name), NUM(mcu_binary_name),
    {"[usb_config]", kCounted},
    NUM(config_format), NUM(vendor_id), NUM(product_id), NUM(device_revision), NUM(manufacturer_string),
    NUM(product_string), NUM(manufacturer_string_T10), NUM(product_string_T10), NUM(SN_Numbers), NUM(serial_number),
    NUM(serial_number_increase), NUM(serial_number_increase_HEX), NUM(serial_number_increase_DEC), NUM(SN_fix_length),
    NUM(SN_remain_value_enable), NUM(SN_remain_value_length), NUM(standby_timer), NUM(hdd_standby), NUM(image0),
    NUM(image1), NUM(crc32),
    {"[USB4_Config]", kCounted},
    NUM(USB4_VendorName), NUM(USB4_ModelName), NUM(USB4_VendorID), NUM(USB4_ProductID), NUM(USB4_TestID),
    NUM(USB4_BcdProductFWRevision), NUM(USB4_ProductHWRevision), NUM(USB4_TBT3VendorID), NUM(USB4_TBT3ModelID),
    NUM(USB4_TBT3ModelRevision), NUM(USB4_U4Mode),
    {"[PCIE]", kCounted},
    NUM(PCIE_Scan), NUM(PCIE_VendorID), NUM(PCIE_DeviceID), NUM(PCIE_SSDRelinkTime),
    {"[usb_mode]", kCounted},
    NUM(cd_rom_mode),
    {"[Target_Chip]", kCounted},
    {kTargetChipComment, Comment{}},
    NUM(target_chip),
};
#undef NUM

const IniLine* FindIniLine(std::string_view key)
{
    for (const auto& line : kIniLines)
        if (util::EqualNoCase(key, line.name)) return &line;
    return nullptr;
}

std::string_view Trim(std::string_view s)
{
    const char* blanks = " \t\r\n\v\f";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// Leading decimal digits of `text` (anything else gives 0), saturated at the
// largest 64-bit value so that a long digit run is still seen as too large.
uint64_t LeadingDecimal(std::string_view text)
{
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        const unsigned d = static_cast<unsigned>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::numeric_limits<uint64_t>::max();
        value = value * 10 + d;
    }
    return value;
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Text limits of a configuration-table format. Every format shares the same
// limits, so every format is accepted.
struct ConfigLimits {
    unsigned vid, pid, rev, sn, manufacturer, product, manufacturerT10, productT10;
};
bool bGetConfigTypeLimits(uint8_t /*configFormat*/, ConfigLimits& limits)
{
    limits = {kMaxVendorIdLen,     kMaxProductIdLen, kMaxDeviceRevisionLen,  kMaxSerialNumberLen,
              kMaxManufacturerLen, kMaxProductLen,   kMaxManufacturerT10Len, kMaxProductT10Len};
    return true;
}

// The first control character of a text (anything below a blank but the tab,
// and DEL).
std::optional<unsigned char> FirstControlCharacter(std::string_view text)
{
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return byte;
    }
    return std::nullopt;
}

// A raw file line without its line end (the CR of a CR LF).
std::string_view WithoutLineEnd(std::string_view raw)
{
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    return raw;
}

}  // namespace

std::vector<IniFileKey> IniFileKeys()
{
    std::vector<IniFileKey> keys;
    for (const auto& line : kIniLines) {
        if (std::holds_alternative<IniString IniSettings::*>(line.field)) keys.push_back({line.name, true, 0});
        else if (std::holds_alternative<uint8_t IniSettings::*>(line.field)) keys.push_back({line.name, false, 0xFF});
        else if (std::holds_alternative<uint32_t IniSettings::*>(line.field))
            keys.push_back({line.name, false, 0xFFFFFFFFu});
        else if (std::holds_alternative<int32_t IniSettings::*>(line.field))
            keys.push_back({line.name, false, 0x7FFFFFFF});
    }
    return keys;
}

Ini& Ini::Global()
{
    static Ini ini;
    return ini;
}

std::string strDefaultINIFilePath()
{
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%s", CUSBUtility::Instance().GetProgramFolder().c_str(), kDefaultIniFileName);
    return path;
}

void Ini::vShowMessage(const std::string& text, int kind)
{
    if (kind == kMsgError && m_strLastCheckMessage.empty()) m_strLastCheckMessage = text;
    CUSBUtility::Instance().ShowProgramMessage(text, kind, 0, m_bMessageToFile);
}

bool Ini::vRejectVersion(uint32_t version)
{
    char msg[256];
    std::snprintf(msg, sizeof msg, "Loaded INI file Versoin[%d] is not suit for current version of DEVeda",
                  static_cast<int>(version));
    std::memset(&m_pINI, 0, sizeof m_pINI);
    vShowMessage(msg, kMsgError);
    return false;
}

bool Ini::vLoadINIFile(const std::string& path)
{
    try {
        std::memset(&m_pINI, 0, sizeof m_pINI);
        m_uTotalINICountLine = 0;
        m_iLastCheckResult = -1;
        m_Warnings.clear();
        m_strLoadFailure.clear();
        m_strLastCheckMessage.clear();

        if (platform::RemoveLeftoverStore(path)) {
            // A store was cut short before its rename: the file itself is the
            // last complete store, the temporary file is of no use.
            DBG_WRN("%s:%d: vLoadINIFile: removed %s left by an interrupted store", platform::StoreTempPath(path).c_str());
            vShowMessage("Removed " + platform::StoreTempPath(path) + " left by an interrupted store of the settings",
                         kMsgWarning);
        }
        std::ifstream file(path, std::ios::binary);
        const int openError = errno;
        std::error_code ec;
        if (!fs::is_regular_file(path, ec) || !file) {
            DBG_ERR("%s:%d: vLoadINIFile: strINIFilePath : %s , dwErrorCode %d", path.c_str(), errno);
            m_strLoadFailure = !fs::exists(path, ec)   ? path + " does not exist"
                               : fs::is_directory(path, ec) ? path + " is a folder, not a settings file"
                               : !fs::is_regular_file(path, ec)
                                   ? path + " is not a regular file"
                                   : path + " cannot be read: " + std::strerror(openError);
            return false;
        }

        // The counter does not wrap: a file with hundreds of unrecognised lines
        // must not come back under the line limit.
        unsigned countLine = 0;
        bool bError = false;         // a line the operator has to be told about
        bool bValueRejected = false; // a value the record cannot hold
        bool bVersionSeen = false;
        std::string pending;
        auto addPending = [&](const char* text) {
            char line[256];
            std::snprintf(line, sizeof line, "%d %s\r\n", static_cast<int>(countLine), text);
            pending += line;
            bError = true;
        };

        std::string raw;
        unsigned fileLine = 0;
        std::set<std::string_view> seenKeys;
        while (std::getline(file, raw)) {
            ++fileLine;
            if (const auto control = FirstControlCharacter(WithoutLineEnd(raw))) {
                // A NUL or other control byte is no text anybody typed: the file
                // is damaged or not a settings file, and the value would be cut
                // or carry the byte into the tables.
                char line[160];
                std::snprintf(line, sizeof line, "Line %u of the INI file holds the control character 0x%02X !\r\n",
                              fileLine, static_cast<unsigned>(*control));
                pending += line;
                bError = true;
                bValueRejected = true;
                DBG_ERR("%s:%d: vLoadINIFile: strINIFilePath : %s line %u holds control character 0x%02X", path.c_str(),
                        fileLine, static_cast<unsigned>(*control));
                if (m_strLoadFailure.empty())
                    m_strLoadFailure = path + ":" + std::to_string(fileLine) + ": the line holds a control character";
                continue;
            }
            const std::string_view text = Trim(raw);
            if (text.empty()) continue;

            const size_t eq = text.find('=');
            const std::string key(Trim(text.substr(0, eq)));
            std::string_view rest = eq == std::string_view::npos ? std::string_view{} : text.substr(eq + 1);
            // A "//" comment ends the value, except when the value itself starts
            // with "//" (a network path).
            const size_t comment = rest.find("//");
            if (comment != std::string_view::npos && comment > 0) rest = rest.substr(0, comment);
            const std::string value(Trim(rest));

            const IniLine* line = FindIniLine(key);
            if (!line) {
                ++countLine;
                addPending(kMsgInvalidConfigLine);
                DBG_ERR("%s:%d: INI file Setting, strItemName=%s, strItemValue=%s", key.c_str(), value.c_str());
                continue;
            }
            if (const auto* section = std::get_if<Section>(&line->field)) {
                if (section->counted) ++countLine;
                continue;
            }
            ++countLine;
            if (std::holds_alternative<Comment>(line->field)) continue;
            if (!seenKeys.insert(line->name).second) {
                // The last line wins, as ever; the operator learns that the file says it twice.
                char note[320];
                std::snprintf(note, sizeof note, "%s:%u: %s is given more than once; the last value is taken",
                              path.c_str(), fileLine, line->name);
                m_Warnings.push_back(note);
                DBG_WRN("%s:%d: vLoadINIFile: %s", note);
            }
            if (const auto refusal = strRefuseLoadedIniValue(line->name, value)) {
                char note[512];
                std::snprintf(note, sizeof note, "%s:%u: %s", path.c_str(), fileLine, refusal->c_str());
                pending += std::string(note) + "\r\n";
                bError = true;
                bValueRejected = true;
                if (m_strLoadFailure.empty()) m_strLoadFailure = note;
                DBG_ERR("%s:%d: vLoadINIFile: %s", note);
                continue;
            }

            if (auto* str = std::get_if<IniString IniSettings::*>(&line->field)) {
                if (!SetIniString(m_pINI.*(*str), value)) {
                    // A cut text (a path, a serial number) would silently be a
                    // different setting: leave the field empty and fail the load.
                    std::memset(m_pINI.*(*str), 0, kIniStringSize);
                    addPending(kMsgValueTooLong);
                    bValueRejected = true;
                    if (m_strLoadFailure.empty())
                        m_strLoadFailure = path + ":" + std::to_string(fileLine) + ": " + key + " is longer than " +
                                           std::to_string(kIniStringSize - 1) + " characters";
                    DBG_ERR("%s:%d: vLoadINIFile: strItemName=%s value length %d > %d", key.c_str(),
                            static_cast<int>(value.size()), static_cast<int>(kIniStringSize - 1));
                }
                continue;
            }

            const uint64_t number = LeadingDecimal(value);
            uint64_t fieldMax = 0;
            if (std::holds_alternative<uint8_t IniSettings::*>(line->field)) fieldMax = 0xFF;
            else if (std::holds_alternative<uint32_t IniSettings::*>(line->field)) fieldMax = 0xFFFFFFFFu;
            else fieldMax = 0x7FFFFFFF;
            if (number > fieldMax) {
                // Kept in the field's width the value would wrap to another
                // setting; the load fails instead.
                addPending(kMsgValueOutOfRange);
                bValueRejected = true;
                if (m_strLoadFailure.empty())
                    m_strLoadFailure = path + ":" + std::to_string(fileLine) + ": " + key + " is out of range";
                DBG_ERR("%s:%d: vLoadINIFile: strItemName=%s strItemValue=%s out of range", key.c_str(), value.c_str());
                continue;
            }
            if (auto* u8 = std::get_if<uint8_t IniSettings::*>(&line->field)) m_pINI.*(*u8) = static_cast<uint8_t>(number);
            else if (auto* u32 = std::get_if<uint32_t IniSettings::*>(&line->field))
                m_pINI.*(*u32) = static_cast<uint32_t>(number);
            else if (auto* i32 = std::get_if<int32_t IniSettings::*>(&line->field))
                m_pINI.*(*i32) = static_cast<int32_t>(number);

            // Rules of single keys.
            if (line->field == Field{&IniSettings::version}) {
                bVersionSeen = true;
                if (m_pINI.version != kIniFileVersion) {
                    m_uTotalINICountLine = countLine;
                    m_strLoadFailure = path + ":" + std::to_string(fileLine) + ": version " +
                                       std::to_string(m_pINI.version) + " is not this tool's version " +
                                       std::to_string(kIniFileVersion);
                    return vRejectVersion(m_pINI.version);
                }
            } else if (line->field == Field{&IniSettings::fw_reload}) {
                if (m_pINI.fw_enable == 0) m_pINI.fw_reload = 0;
            } else if (line->field == Field{&IniSettings::USB4_ComponentID_EditType}) {
                m_pINI.USB4_ComponentID_EditType = 5;
            } else if (line->field == Field{&IniSettings::hdd_standby}) {
                m_pINI.hdd_standby = 0;
            } else if (line->field == Field{&IniSettings::image0}) {
                m_pINI.image0 = 1;
            } else if (line->field == Field{&IniSettings::image1}) {
                m_pINI.image1 = 0;
            } else if (line->field == Field{&IniSettings::crc32}) {
                m_pINI.crc32 = 0;
            } else if (line->field == Field{&IniSettings::SN_remain_value_length}) {
                if (m_pINI.SN_remain_value_length > kMaxSerialNumberLen) m_pINI.SN_remain_value_length = kMaxSerialNumberLen;
            } else if (line->field == Field{&IniSettings::SN_fix_length}) {
                const int32_t n = m_pINI.SN_fix_length;
                if (n != 0 && (n < 12 || n > 20)) m_pINI.SN_fix_length = 0;
            } else if (line->field == Field{&IniSettings::USB4_U4Mode}) {
                if (m_pINI.USB4_U4Mode > 3) m_pINI.USB4_U4Mode = 3;
            } else if (line->field == Field{&IniSettings::PCIE_Scan}) {
                if (m_pINI.PCIE_Scan < 0 || m_pINI.PCIE_Scan > 2) m_pINI.PCIE_Scan = 1;
            }
        }
        if (file.bad()) {
            DBG_ERR("%s:%d: vLoadINIFile: strINIFilePath : %s read Fail , dwErrorCode %d", path.c_str(), errno);
            std::memset(&m_pINI, 0, sizeof m_pINI);
            m_strLoadFailure = path + " could not be read to its end: " + std::strerror(errno);
            return false;
        }
        file.close();
        m_uTotalINICountLine = countLine;
        // A file that never states its version (empty, cut short, another
        // tool's file) is not taken for a valid settings file.
        if (!bVersionSeen) {
            m_strLoadFailure = path + (fileLine == 0 ? " is empty" : " states no version (it is not a settings file)");
            return vRejectVersion(0);
        }
        ApplyIniLoadForcedFields(m_pINI);

        if (bError) vShowMessage(pending, kMsgError);
        for (const auto& warning : m_Warnings) vShowMessage(warning, kMsgWarning);

        m_strLastCheckMessage.clear();  // the check's own first message, for the load's failure
        m_iLastCheckResult = vCheckINIType();
        if (countLine > kMaxIniCountLine) {
            DBG_ERR("%s:%d: vLoadINIFile: strINIFilePath : %s ucTotalINICountLine : %d , dwErrorCode %d", path.c_str(),
                    static_cast<int>(countLine), 0);
            m_strLoadFailure = path + " has " + std::to_string(countLine) + " counted lines; at most " +
                               std::to_string(kMaxIniCountLine) + " are read";
            return false;
        }
        if (m_iLastCheckResult != kIniCheckValid && m_strLoadFailure.empty())
            m_strLoadFailure = path + ": a text fails the settings check (" + m_strLastCheckMessage + ")";
        return m_iLastCheckResult == kIniCheckValid && !bValueRejected;
    } catch (...) {
        std::memset(&m_pINI, 0, sizeof m_pINI);
        DBG_ERR("%s:%d: vLoadINIFile: catch(...) strINIFilePath : %s , dwErrorCode %d", path.c_str(), errno);
        m_strLoadFailure = path + " could not be read";
        return false;
    }
}

std::string strComposeINIText(const IniSettings& s)
{
    std::string text;
    char buf[kIniStringSize + 64];
    for (const auto& line : kIniLines) {
        if (const auto* section = std::get_if<Section>(&line.field)) {
            if (section->blankBefore) text += "\r\n";
            std::snprintf(buf, sizeof buf, "%s\r\n", line.name);
        } else if (std::holds_alternative<Comment>(line.field)) {
            std::snprintf(buf, sizeof buf, "%s\r\n", line.name);
        } else if (auto* str = std::get_if<IniString IniSettings::*>(&line.field)) {
            std::snprintf(buf, sizeof buf, "%s=%.*s\r\n", line.name, static_cast<int>(IniStringLength(s.*(*str))),
                          s.*(*str));
        } else {
            int value = 0;
            if (auto* u8 = std::get_if<uint8_t IniSettings::*>(&line.field)) value = s.*(*u8);
            else if (auto* u32 = std::get_if<uint32_t IniSettings::*>(&line.field)) value = static_cast<int>(s.*(*u32));
            else if (auto* i32 = std::get_if<int32_t IniSettings::*>(&line.field)) value = s.*(*i32);
            if (line.field == Field{&IniSettings::version}) value = static_cast<int>(kIniFileVersion);
            if (line.field == Field{&IniSettings::SN_Numbers}) value = 12;
            // Unsigned fields beyond the signed range go out as their unsigned value.
            if (auto* u32 = std::get_if<uint32_t IniSettings::*>(&line.field); u32 && s.*(*u32) > 0x7FFFFFFFu)
                std::snprintf(buf, sizeof buf, "%s=%u\r\n", line.name, static_cast<unsigned>(s.*(*u32)));
            else
                std::snprintf(buf, sizeof buf, "%s=%d\r\n", line.name, value);
        }
        text += buf;
    }
    return text;
}

bool Ini::vStoreINIFile(const std::string& path)
{
    try {
        if (vCheckINIType() != kIniCheckValid) {
            DBG_ERR("%s:%d: vStoreINIFile: Check INI Type Not Valid , strINIFilePath : %s , dwErrorCode %d", path.c_str(),
                    0);
            return false;
        }
        // A line break inside a text would split it into lines that load as
        // other keys, and the load refuses any other control byte: such a
        // record is not written.
        for (const auto& line : kIniLines) {
            if (auto* str = std::get_if<IniString IniSettings::*>(&line.field)) {
                const std::string_view v(m_pINI.*(*str), IniStringLength(m_pINI.*(*str)));
                if (FirstControlCharacter(v)) {
                    DBG_ERR("%s:%d: vStoreINIFile: %s holds a control character , strINIFilePath : %s , dwErrorCode %d",
                            line.name, path.c_str(), 0);
                    return false;
                }
            }
        }
        const std::string text = strComposeINIText(m_pINI);
        std::string error;
        if (!platform::StoreFileDurably(path, text, error)) {
            DBG_ERR("%s:%d: vStoreINIFile: strINIFilePath : %s , %s", path.c_str(), error.c_str());
            m_strLastStoreError = error;
            return false;
        }
        m_strLastStoreError.clear();
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: vStoreINIFile: strINIFilePath : %s , dwErrorCode %d", path.c_str(), errno);
        return false;
    }
}

int Ini::vCheckINIType()
{
    int result = kIniCheckValid;
    try {
        const unsigned labelLimit = m_pINI.format_drive_type != 0 ? kMaxDiskLabelLenFat : kMaxDiskLabelLenNtfs;

        ConfigLimits limits{};
        if (!bGetConfigTypeLimits(m_pINI.config_format, limits)) {
            const int format = m_pINI.config_format;
            std::memset(&m_pINI, 0, sizeof m_pINI);
            DBG_ERR("%s:%d: ConfigType not accure, this->m_pINI.ucConfig_format : %x , dwErrorCode %d", format, 0);
            vShowMessage(kMsgInvalidConfigType, kMsgError);
            return kIniCheckInvalidConfigType;
        }

        const int snLen = static_cast<int>(IniStringLength(m_pINI.serial_number));
        if (snLen > static_cast<int>(limits.sn)) {
            DBG_ERR("%s:%d: vCheckINIType: SN Size not accure, this->m_pINI.ucConfig_format : %x , m_ucConfig_SN_Len : %d "
                    ", ucINI_SN_Len : %d , strINISN : %s ,  dwErrorCode %d",
                    m_pINI.config_format, static_cast<int>(limits.sn), snLen, m_pINI.serial_number, 0);
            std::memset(m_pINI.serial_number, 0, kIniStringSize);
            vShowMessage(kMsgInvalidSNSize, kMsgError);
            result = kIniCheckTextTooLong;
        } else if (m_pINI.Check_SerialNumber) {
            for (int i = 0; i < snLen; ++i) {
                if (!IsHexDigit(m_pINI.serial_number[i])) {
                    DBG_ERR("%s:%d: vCheckINIType: SN Invalid, strINISN : %s , ucINI_SN_Len : %d , dwErrorCode %d",
                            m_pINI.serial_number, snLen, 0);
                    vShowMessage(kMsgInvalidSNString, kMsgError);
                    std::memset(m_pINI.serial_number, 0, kIniStringSize);
                    result = kIniCheckSNNotHex;
                    break;
                }
            }
        }

        // Texts the configuration table holds in fixed-size fields. The table
        // copies them as they are, so a longer text would run into the next field.
        struct TextCheck {
            IniString IniSettings::*field;
            unsigned limit;
            const char* message;
            const char* name;
        };
        const TextCheck checks[] = {
            {&IniSettings::manufacturer_string, limits.manufacturer, kMsgInvalidManufacturerSize, "manufacturer_string"},
            {&IniSettings::product_string, limits.product, kMsgInvalidProductSize, "product_string"},
            {&IniSettings::manufacturer_string_T10, limits.manufacturerT10, kMsgInvalidManufacturerT10Size,
             "manufacturer_string_T10"},
            {&IniSettings::product_string_T10, limits.productT10, kMsgInvalidProductT10Size, "product_string_T10"},
            {&IniSettings::vendor_id, limits.vid, kMsgVIDFormatNotValid, "vendor_id"},
            {&IniSettings::product_id, limits.pid, kMsgPIDFormatNotValid, "product_id"},
            {&IniSettings::device_revision, limits.rev, kMsgDeviceRevisionFormatNotValid, "device_revision"},
        };
        for (const auto& check : checks) {
            const size_t len = IniStringLength(m_pINI.*check.field);
            if (len > check.limit) {
                DBG_ERR("%s:%d: vCheckINIType: %s Size not accure, len : %d , limit : %d , dwErrorCode %d", check.name,
                        static_cast<int>(len), static_cast<int>(check.limit), 0);
                std::memset(m_pINI.*check.field, 0, kIniStringSize);
                vShowMessage(check.message, kMsgError);
                result = kIniCheckTextTooLong;
            }
        }

        const int labelLen = static_cast<int>(IniStringLength(m_pINI.drive_label_name));
        if (labelLen > static_cast<int>(labelLimit)) {
            std::memset(m_pINI.drive_label_name, 0, kIniStringSize);
            DBG_ERR("%s:%d: vCheckINIType: DiskLabel Size not accure, ucINI_DiskLabel_len=%d , m_ucDevice_DiskLabel_Len= "
                    "%d, dwErrorCode %d",
                    labelLen, static_cast<int>(labelLimit), 0);
            vShowMessage(kMsgInvalidDiskLabelSize, kMsgError);
            result = kIniCheckDiskLabelTooLong;
        }
    } catch (...) {
        DBG_ERR("%s:%d: vCheckINIType: this->m_pINI.ucConfig_format : %x , dwErrorCode %d", m_pINI.config_format, 0);
        vShowMessage(kMsgUnknownError, kMsgError);
        result = kIniCheckInternalError;
    }
    return result;
}

int Ini::vSetDefaultINI()
{
    m_pINI = DefaultIniSettings();
    return vCheckINIType();
}

bool Ini::vLoadINIAtStartup(const std::string& path)
{
    const bool loaded = vLoadINIKeepingSteps(path);
    vClearStepSwitchesAfterLoad(m_pINI);
    return loaded;
}

bool Ini::vLoadINIKeepingSteps(const std::string& path)
{
    const bool loaded = vLoadINIFile(path);
    if (!loaded) vSetDefaultINI();
    vApplyDeviceOptionsFile(strDeviceOptionsPath(path));
    bSyncUSB4BcdProductFWRevision(m_pINI);
    return loaded;
}

bool Ini::vApplyDeviceOptionsFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) return true;  // no companion file: the dialogs' defaults stay
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string error;
    if (bApplyDeviceOptionsText(text, m_pINI, error)) return true;
    DBG_ERR("%s:%d: vApplyDeviceOptionsFile: %s %s", path.c_str(), error.c_str());
    vShowMessage(path + " " + error + "; the device options keep their defaults", kMsgWarning);
    return false;
}

void vClearStepSwitchesAfterLoad(IniSettings& s)
{
    s.format_enable = 0;
    s.wr_test_enable = 0;
    s.preload_enable = 0;
    s.Check_USBStatus_enable = 0;
    s.fw_reload = 0;
    s.Auto_Safe_Remove = 0;
}

int iDriveTypeFromText(const std::string& text)
{
    if (text == "NTFS") return 0;
    if (text == "FAT32") return 1;
    if (text == "exFAT") return 2;
    return -1;
}

int iUSBStatusFromText(const std::string& text)
{
    if (text == "USB 2.0") return 0;
    if (text == "USB 3.0") return 1;
    if (text == "USB 3.1") return 2;
    return -1;
}

std::string strValidateGUIForSaveINI(const std::string& vendorId, const std::string& productId,
                                     const std::string& deviceRevision)
{
    std::string message;
    char line[128];
    const struct {
        const std::string& text;
        const char* error;
    } edits[] = {{vendorId, kMsgVIDFormatNotValid},
                 {productId, kMsgPIDFormatNotValid},
                 {deviceRevision, kMsgDeviceRevisionFormatNotValid}};
    for (const auto& edit : edits) {
        if (edit.text.size() != 4) {
            std::snprintf(line, sizeof line, "%s \r\n", edit.error);
            message += line;
        }
    }
    return message;
}

bool vValidateGUIForSaveINI(const std::string& vendorId, const std::string& productId,
                            const std::string& deviceRevision, bool toFile)
{
    const std::string message = strValidateGUIForSaveINI(vendorId, productId, deviceRevision);
    if (message.empty()) return true;
    CUSBUtility::Instance().ShowProgramMessage(message, kMsgWarning, 0, toFile);
    DBG_ERR("%s:%d: vValidateGUIForSaveINI: Format not valid , m_strEditDeviceConfigurationVendorID : %s , "
            "m_strEditDeviceConfigurationProductID : %s , m_strEditDeviceConfigurationDeviceRevision : %s , dwErrorCode "
            "%d",
            vendorId.c_str(), productId.c_str(), deviceRevision.c_str(), 0);
    return false;
}
