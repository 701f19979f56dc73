#include "config/SerialNumber.h"

#include <cctype>
#include <cstdio>
#include <string_view>

#include "log/DebugLog.h"

namespace {

bool IsDecimal(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDecimal(c) || (c >= 'A' && c <= 'F'); }
bool IsAnyHex(char c) { return IsUpperHex(c) || (c >= 'a' && c <= 'f'); }

std::string ToUpper(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

unsigned DigitValue(char c)
{
    if (IsDecimal(c)) return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 0;  // only met in hexadecimal mode, whose result the fallback replaces
}

constexpr char kDigits[] = "0123456789ABCDEF";

}  // namespace

std::string vAddLimitSN(const std::string& serialNumber, uint8_t count, bool hex)
{
    try {
        const std::string upper = ToUpper(serialNumber);
        bool allDecimal = true;
        bool allHex = true;
        for (char c : upper) {
            allDecimal = allDecimal && IsDecimal(c);
            allHex = allHex && IsUpperHex(c);
        }
        if (upper.empty() || (!hex && !allDecimal)) {
            DBG_ERR("%s:%d: vAddLimitSN: ucSerialNumberLen[%d] <= 0,  bHexCheck_Result = %d",
                    static_cast<int>(upper.size()), hex ? static_cast<int>(allHex) : static_cast<int>(allDecimal));
            return upper;
        }

        const unsigned base = hex ? 16 : 10;
        std::string result = upper;
        unsigned carry = 0;
        for (size_t i = result.size(); i-- > 0;) {
            unsigned sum = DigitValue(result[i]) + carry;
            if (i == result.size() - 1) sum += count;
            result[i] = kDigits[sum % base];
            carry = sum / base;
        }
        if (carry != 0)
            DBG_WRN("%s:%d: vAddLimitSN: strSerialNumber[%s] , ucCount[%d] , ", upper.c_str(), static_cast<int>(count));

        if (!allHex) {
            DBG_WRN("%s:%d: vAddLimitSN: Not Invalid strRetSerialNumber[%s] , strSerialNumber[%s] , ucCount[%d] , ",
                    result.c_str(), upper.c_str(), static_cast<int>(count));
            // The last 7 characters as a hexadecimal number: its leading hex
            // digits, 0 when there are none.
            const size_t tailAt = upper.size() >= 7 ? upper.size() - 7 : 0;
            uint32_t value = 0;
            for (size_t i = tailAt; i < upper.size() && IsUpperHex(upper[i]); ++i) value = value * 16 + DigitValue(upper[i]);
            value += count;
            char number[16];
            std::snprintf(number, sizeof number, "%X", static_cast<unsigned>(value));
            result = upper.size() >= 8 ? upper.substr(0, upper.size() - 7) + number : std::string(number);
        }
        return result;
    } catch (...) {
        DBG_ERR("%s:%d: vAddLimitSN: strSerialNumber[%s] , ucCount[%d] , dwErrorCode %d", serialNumber.c_str(),
                static_cast<int>(count), 0);
        return serialNumber;
    }
}

std::string strAdvanceSNWithRemain(const std::string& serialNumber, uint8_t count, uint8_t editType,
                                   bool remainEnable, uint32_t remainLength)
{
    const bool hex = editType == kSnIncreaseHex;
    if (!remainEnable) return vAddLimitSN(serialNumber, count, hex);
    const size_t fixed = remainLength < serialNumber.size() ? remainLength : serialNumber.size();
    const std::string variable = serialNumber.substr(fixed);
    // An empty variable part has nothing to advance.
    if (variable.empty()) return serialNumber;
    return serialNumber.substr(0, fixed) + vAddLimitSN(variable, count, hex);
}

std::string strAdvanceSNForSettings(const IniSettings& settings, const std::string& serialNumber, uint8_t count)
{
    return strAdvanceSNWithRemain(serialNumber, count, settings.SN_EditType, settings.SN_remain_value_enable == 1,
                                  settings.SN_remain_value_length);
}

bool bCheckSNValidByEditType(const std::string& serialNumber, uint8_t editType)
{
    for (char c : serialNumber) {
        if (editType == kSnIncreaseHex && !IsUpperHex(c)) return false;
        if (editType == kSnIncreaseDec && !IsDecimal(c)) return false;
    }
    return true;
}

std::string strSNVariablePart(const IniSettings& settings, const std::string& serialNumber)
{
    if (settings.SN_remain_value_enable != 1) return serialNumber;
    return settings.SN_remain_value_length < serialNumber.size() ? serialNumber.substr(settings.SN_remain_value_length)
                                                                  : std::string();
}

SNCheckResult CheckSNFixLength(const IniSettings& settings, const std::string& editText)
{
    SNCheckResult result;
    if (settings.SN_fix_length == 0 || settings.SN_EditType == kSnFromHddSn) return result;
    if (editText.size() == static_cast<size_t>(settings.SN_fix_length)) return result;
    char message[64];
    std::snprintf(message, sizeof message, "input SN should have %d digits", static_cast<int>(settings.SN_fix_length));
    result.bValid = false;
    result.strMessage = message;
    result.bClearEdit = true;
    result.iExitCode = -3;
    return result;
}

std::string strPadHddSN(const std::string& serialNumber, uint32_t snNumbers, std::string& message)
{
    message.clear();
    std::string padded = serialNumber;
    if (padded.empty()) return padded;
    if (snNumbers != 0 && padded.size() < 12) padded.insert(0, 12 - padded.size(), '0');
    const uint32_t least = snNumbers != 0 ? snNumbers : 12;
    if (padded.size() < least) {
        char line[64];
        std::snprintf(line, sizeof line, "Serial Number Invalid, at least %d digits\r\n", static_cast<int>(least));
        message = line;
    }
    return padded;
}

size_t CSerialNumberEdit::OnEnChangeEditSerialNumber(const std::string& typed, size_t caret)
{
    const std::string_view read = std::string_view(typed).substr(0, 127);
    std::string kept;
    size_t newCaret = 0;
    if (m_Settings.Check_SerialNumber) {
        for (size_t i = 0; i < read.size() && kept.size() < m_Settings.SN_Numbers; ++i) {
            if (!IsAnyHex(read[i])) continue;
            kept += read[i];
            if (i < caret) ++newCaret;
        }
    } else {
        kept = std::string(read.substr(0, kMaxSerialNumberLen));
        newCaret = caret;
    }
    m_strEdit = ToUpper(kept);
    if (newCaret > m_strEdit.size()) newCaret = m_strEdit.size();
    SetIniString(m_Settings.serial_number, m_strEdit);
    return newCaret;
}

std::string CSerialNumberEdit::vRadixClicked(bool hex)
{
    m_Settings.serial_number_increase_HEX = hex ? 1 : 0;
    m_Settings.serial_number_increase_DEC = hex ? 0 : 1;
    if (bCheckSNValidByEditType(strSNVariablePart(m_Settings, m_strEdit), m_Settings.SN_EditType)) return {};
    m_strEdit.clear();
    SetIniString(m_Settings.serial_number, "");
    m_Settings.serial_number_increase_HEX = hex ? 0 : 1;
    m_Settings.serial_number_increase_DEC = hex ? 1 : 0;
    return hex ? "SN digits should be all heximal" : "SN digits should be all decimal";
}

std::string CSerialNumberEdit::OnBnClickedStaticDevicedescriptorSnincHex() { return vRadixClicked(true); }
std::string CSerialNumberEdit::OnBnClickedStaticDevicedescriptorSnincDec() { return vRadixClicked(false); }

void CSerialNumberEdit::OnCbnSelchangeComboSNEditType(uint8_t editType)
{
    m_Settings.SN_EditType = editType;
    m_bEditFocus = false;
    if (editType == kSnFromBarcode) {
        m_bEditEnabled = true;
        m_strEdit.clear();
        SetIniString(m_Settings.serial_number, "");
        m_bEditFocus = true;
    } else if (editType == kSnFromHddSn) {
        m_bEditEnabled = false;
    } else {
        m_bEditEnabled = true;
    }
}

std::string CSNDlg::OnEnChangeEditDeviceArrivalDialogPcbSn(const std::string& typed, unsigned deviceCount)
{
    try {
        if (deviceCount == 0) {
            m_strSNandPStringDlgPCBSN.clear();
            SetIniString(m_Settings.serial_number, "");
            return {};
        }
        std::string kept;
        for (char c : typed) {
            if (m_Settings.Check_SerialNumber && !IsAnyHex(c)) continue;
            // The table holds 20 characters; a longer scan would not fit it.
            if (kept.size() == kMaxSerialNumberLen) break;
            kept += c;
        }
        m_strSNandPStringDlgPCBSN = ToUpper(kept);
        SetIniString(m_Settings.serial_number, m_strSNandPStringDlgPCBSN);
        return m_strSNandPStringDlgPCBSN;
    } catch (...) {
        DBG_ERR("%s:%d: OnEnChangeEditSNandPStringDlgPCBSN: m_strSNandPStringDlgPCBSN : %s , dwErrorCode %d",
                m_strSNandPStringDlgPCBSN.c_str(), 0);
        return m_strSNandPStringDlgPCBSN;
    }
}

bool OpenSNAndPStringEnteringDialogResult(const CSNDlg& dialog, bool ok, IniSettings& settings, std::string& mainEdit)
{
    mainEdit = dialog.m_strSNandPStringDlgPCBSN;
    SetIniString(settings.serial_number, mainEdit);
    return ok;
}
