#include "config/LimitationTable.h"

#include <cctype>
#include <cerrno>
#include <fstream>
#include <strings.h>

#include "log/DebugLog.h"

namespace {

std::string Trim(const std::string& text)
{
    const char* blanks = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Decimal value of the leading digits; anything else gives 0.
int LeadingDecimal(const std::string& text)
{
    long long value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int>(value);
}

// Like taking `count` characters from `start`: parts outside the text are empty.
std::string Part(const std::string& text, int start, int count)
{
    if (start < 0 || count <= 0 || static_cast<size_t>(start) >= text.size()) return "";
    return text.substr(static_cast<size_t>(start), static_cast<size_t>(count));
}

}  // namespace

bool CLimitationTable::vLoadLimitationTableFromFolder(const std::string& folder)
{
    return vLoadLimitationTable(folder + "/" + kLimitationTableFileName);
}

bool CLimitationTable::vLoadLimitationTable(const std::string& strPath)
{
    m_Table = LimitationTable{};
    m_bLoaded = false;
    try {
        std::ifstream in(strPath, std::ios::binary);
        if (!in) {
            DBG_WRN("%s:%d: strLimitationTablePath : %s not loaded , dwErrorCode %d", strPath.c_str(), errno);
            return false;
        }
        LimitationTable table;
        struct IntKey {
            const char* name;
            int LimitationTable::*field;
        };
        struct TextKey {
            const char* name;
            std::string LimitationTable::*field;
        };
        static const IntKey intKeys[] = {
            {"check_fw_version", &LimitationTable::check_fw_version},
            {"check_manufacture_string", &LimitationTable::check_manufacture_string},
            {"check_product_string", &LimitationTable::check_product_string},
            {"check_vid", &LimitationTable::check_vid},
            {"check_pid", &LimitationTable::check_pid},
            {"check_part_of_fw_version", &LimitationTable::check_part_of_fw_version},
            {"start_address_of_part_of_fw_version", &LimitationTable::start_address_of_part_of_fw_version},
            {"part_of_fw_version_length", &LimitationTable::part_of_fw_version_length},
        };
        static const TextKey textKeys[] = {
            {"fw_version", &LimitationTable::fw_version},
            {"manufacture_string", &LimitationTable::manufacture_string},
            {"product_string", &LimitationTable::product_string},
            {"vid", &LimitationTable::vid},
            {"pid", &LimitationTable::pid},
            {"part_of_fw_version", &LimitationTable::part_of_fw_version},
        };
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find('=');
            const std::string key = Trim(line.substr(0, eq));
            std::string rest = eq == std::string::npos ? "" : line.substr(eq + 1);
            // A "//" after the first character starts a comment; at the start it is
            // part of the value.
            if (const size_t comment = rest.find("//"); comment != std::string::npos && comment > 0)
                rest = rest.substr(0, comment);
            const std::string value = Trim(rest);
            if (key.empty()) continue;
            bool known = false;
            for (const auto& k : intKeys)
                if (strcasecmp(key.c_str(), k.name) == 0) {
                    table.*k.field = LeadingDecimal(value);
                    known = true;
                }
            for (const auto& k : textKeys)
                if (strcasecmp(key.c_str(), k.name) == 0) {
                    table.*k.field = value;
                    known = true;
                }
            if (!known) DBG_MSG("%s:%d: LimitationTable ignored line : %s", line.c_str());
        }
        m_Table = std::move(table);
        m_bLoaded = true;
        return true;
    } catch (...) {
        m_Table = LimitationTable{};
        DBG_ERR("%s:%d: catch(...): strLimitationTablePath : %s", strPath.c_str());
        return false;
    }
}

int CLimitationTable::iCheckLimitation(const std::vector<LimitationDeviceTexts>& devices) const
{
    const LimitationTable& t = m_Table;
    for (size_t i = 0; i < devices.size(); ++i) {
        const LimitationDeviceTexts& d = devices[i];
        const int index = static_cast<int>(i);
        if (t.check_fw_version == 1 && d.m_strFWVersion != t.fw_version) {
            DBG_ERR("%s:%d: [%d]fw:%s,%s", index, d.m_strFWVersion.c_str(), t.fw_version.c_str());
            return kLimitationFWVersionMismatch;
        }
        if (t.check_manufacture_string == 1 && d.m_strManufacturer != t.manufacture_string) {
            DBG_ERR("%s:%d: [%d]m str:%s,%s", index, d.m_strManufacturer.c_str(), t.manufacture_string.c_str());
            return kLimitationOtherMismatch;
        }
        if (t.check_product_string == 1 && d.m_strProduct != t.product_string) {
            DBG_ERR("%s:%d: [%d]p str:%s,%s", index, d.m_strProduct.c_str(), t.product_string.c_str());
            return kLimitationOtherMismatch;
        }
        if (t.check_vid == 1 && d.m_strVID != t.vid) {
            DBG_ERR("%s:%d: [%d]vid:%s,%s", index, d.m_strVID.c_str(), t.vid.c_str());
            return kLimitationOtherMismatch;
        }
        if (t.check_pid == 1 && d.m_strPID != t.pid) {
            DBG_ERR("%s:%d: [%d]pid:%s,%s", index, d.m_strPID.c_str(), t.pid.c_str());
            return kLimitationOtherMismatch;
        }
        if (t.check_part_of_fw_version == 1) {
            const int start = t.start_address_of_part_of_fw_version;
            const int length = t.part_of_fw_version_length;
            const std::string devicePart = Part(d.m_strFWVersion, start, length);
            const std::string tablePart = Part(t.fw_version, start, length);
            if (devicePart != tablePart) {
                DBG_ERR("%s:%d: [%d]part fw:%s,%s, start:%d, len:%d", index, devicePart.c_str(), tablePart.c_str(),
                        start, length);
                return kLimitationOtherMismatch;
            }
        }
    }
    return kLimitationPass;
}
