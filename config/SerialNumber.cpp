#include "config/SerialNumber.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "log/DebugLog.h"

namespace {

int DigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

bool AllOf(const std::string& text, const char* allowed)
{
    return text.find_first_not_of(allowed) == std::string::npos;
}

// Value of the leading hex digits of `text`, 0 when it starts with none.
unsigned long LeadingHex(const std::string& text)
{
    unsigned long value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) break;
        value = value * 16 + static_cast<unsigned long>(DigitValue(static_cast<char>(std::toupper(c))));
    }
    return value;
}

}  // namespace

std::string vAddLimitSN(const std::string& strSerialNumber, uint8_t ucCount, bool bHex)
{
    try {
        std::string upper = strSerialNumber;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const bool allDecimal = AllOf(upper, "0123456789");
        if (upper.empty() || (!bHex && !allDecimal)) {
            DBG_ERR("%s:%d: vAddLimitSN: ucSerialNumberLen[%d] <= 0,  bHexCheck_Result = %d",
                    static_cast<int>(upper.size()), allDecimal ? 1 : 0);
            return upper;
        }
        const int base = bHex ? 16 : 10;
        static const char kDigits[] = "0123456789ABCDEF";
        std::string result = upper;
        int carry = 0;
        for (size_t i = result.size(); i-- > 0;) {
            int sum = DigitValue(result[i]) + carry;
            if (i == result.size() - 1) sum += ucCount;
            result[i] = kDigits[sum % base];
            carry = sum / base;
        }
        if (carry != 0) DBG_WRN("%s:%d: vAddLimitSN: strSerialNumber[%s] , ucCount[%d] , ", upper.c_str(), ucCount);
        if (!AllOf(upper, "0123456789ABCDEF")) {
            DBG_WRN("%s:%d: vAddLimitSN: Not Invalid strRetSerialNumber[%s] , strSerialNumber[%s] , ucCount[%d] , ",
                    result.c_str(), upper.c_str(), ucCount);
            const size_t tail = upper.size() >= 7 ? upper.size() - 7 : 0;
            char number[16];
            std::snprintf(number, sizeof number, "%lX", LeadingHex(upper.substr(tail)) + ucCount);
            result = upper.size() >= 8 ? upper.substr(0, tail) + number : std::string(number);
        }
        return result;
    } catch (...) {
        DBG_ERR("%s:%d: vAddLimitSN: strSerialNumber[%s] , ucCount[%d] , dwErrorCode %d", strSerialNumber.c_str(),
                ucCount, 0);
        return strSerialNumber;
    }
}

bool bUseDiskSerialNumber(const IniSettings& ini)
{
    if (ini.config_format == 4) return ini.Scan_HDDSN != 0 || ini.SN_EditType == kSnFromHddSn;
    return ini.SN_EditType == kSnFromHddSn;
}

std::string strDeviceSerialNumber(const IniSettings& ini, uint8_t ucDeviceIndex, const std::string& strDiskSerialNumber)
{
    if (bUseDiskSerialNumber(ini)) {
        if (strDiskSerialNumber.empty())
            DBG_WRN("%s:%d: device [%d] has no disk serial number , ucConfig_format[%d]", ucDeviceIndex,
                    ini.config_format);
        return strDiskSerialNumber.substr(0, kMaxSerialNumberLen);
    }
    const std::string typed(ini.serial_number, IniStringLength(ini.serial_number));
    std::string serial;
    if (ini.SN_EditType == kSnIncreaseHex || ini.SN_EditType == kSnIncreaseDec) {
        const bool hex = ini.SN_EditType == kSnIncreaseHex;
        if (ini.SN_remain_value_enable == 1) {
            const size_t fixed = std::min<size_t>(ini.SN_remain_value_length, typed.size());
            serial = typed.substr(0, fixed) + vAddLimitSN(typed.substr(fixed), ucDeviceIndex, hex);
        } else {
            serial = vAddLimitSN(typed, ucDeviceIndex, hex);
        }
    } else {
        DBG_ERR("%s:%d: OnBnClickedButtonStart: ucThreadCount[%d] , pIni.m_pINI.ucConfig_format[%d] , ucSN_EditType[%d]",
                ucDeviceIndex, ini.config_format, ini.SN_EditType);
        serial = typed;
    }
    return serial.substr(0, kMaxSerialNumberLen);
}
