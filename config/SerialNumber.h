#pragma once
// Serial numbers: the advance arithmetic, the fixed leading part, the edit types,
// the checks at Start, and UI-free models of the serial-number edit, the HEX/DEC
// radio buttons, the edit-type list and the barcode entry dialog. A window drives
// the models and shows what they return.
#include <cstdint>
#include <string>

#include "config/IniSettings.h"

// Texts of the "SN Edit Type" list, indexed by SnEditType.
inline constexpr const char* kSNEditTypeTexts[] = {"0.User define", "1.Increase HEX", "2.Increase DEC",
                                                    "3.From Barcode", "4.From HDDSN"};

// Serial number advanced by `count`, in hexadecimal when `hex` is set, else in
// decimal. The text is upper-cased; the carry out of the first character is
// dropped (the number wraps within its width). Decimal mode returns a text with
// a non-decimal character unchanged (upper-cased). In hexadecimal mode a text
// holding a character outside 0-9/A-F takes the 7-character fallback: its last
// 7 characters are read as a hexadecimal number, the count added and the sum
// written with "%X" after the rest of the text.
std::string vAddLimitSN(const std::string& serialNumber, uint8_t count, bool hex);

// Serial number of the device at `index` (or the serial advanced after a run by
// the device count): with the remain value on, the first `remainLength`
// characters stay as they are and only the rest is advanced; hexadecimal when
// `editType` is 1, else decimal.
std::string strAdvanceSNWithRemain(const std::string& serialNumber, uint8_t count, uint8_t editType,
                                   bool remainEnable, uint32_t remainLength);
// The same, taking the edit type and the remain value from the settings.
std::string strAdvanceSNForSettings(const IniSettings& settings, const std::string& serialNumber, uint8_t count);

// Validity by edit type: false when the edit type is 1 and the text holds a
// character outside "0123456789ABCDEF", or the edit type is 2 and the text holds
// a character outside "0123456789"; true otherwise.
bool bCheckSNValidByEditType(const std::string& serialNumber, uint8_t editType);

// The part of the serial number after the fixed leading part (the whole text
// when the remain value is off).
std::string strSNVariablePart(const IniSettings& settings, const std::string& serialNumber);

// Fixed-length rule at Start. When `SN_fix_length` is not 0 and the edit type
// is not 4, the serial-number edit must hold exactly that many characters.
struct SNCheckResult {
    bool bValid = true;
    std::string strMessage;  // operator warning when invalid
    bool bClearEdit = false; // the serial-number edit is cleared
    int iExitCode = 0;       // exit code of a hidden (command-line) run when invalid
};
SNCheckResult CheckSNFixLength(const IniSettings& settings, const std::string& editText);

// Serial number typed for edit type 4 ("From HDDSN"): with `SN_Numbers` not 0 a
// non-empty text shorter than 12 characters is padded on the left with "0" to 12
// characters. `message` receives "Serial Number Invalid, at least %d digits\r\n"
// when the (padded) text is still shorter than `SN_Numbers` (12 when
// `SN_Numbers` is 0); an empty text is not checked. Returns the padded text.
std::string strPadHddSN(const std::string& serialNumber, uint32_t snNumbers, std::string& message);

// Model of the main dialog's serial-number edit and its radix and edit-type
// controls. `m_strEdit` is the edit's text; the settings record is the one the
// window shows.
class CSerialNumberEdit {
public:
    explicit CSerialNumberEdit(IniSettings& settings) : m_Settings(settings) {}

    // Change of the edit: filters the typed text (at most 127 characters read;
    // with `Check_SerialNumber` only 0-9/A-F/a-f, at most `SN_Numbers` of them,
    // else the first 20 characters), upper-cases it and copies it to
    // `serial_number`. `caret` is the caret position in the typed text; returns
    // the caret position in the filtered text.
    size_t OnEnChangeEditSerialNumber(const std::string& typed, size_t caret);

    // The HEX and DEC radio buttons. The clicked radix is chosen; when the
    // serial number (after the fixed part) is then invalid for the edit type, the
    // edit is cleared, the choice flips to the other radix and the returned
    // warning is to be shown ("SN digits should be all heximal" / "... decimal").
    // Returns an empty text when all is well.
    std::string OnBnClickedStaticDevicedescriptorSnincHex();
    std::string OnBnClickedStaticDevicedescriptorSnincDec();

    // Selection of the edit-type list: stored in `SN_EditType`; 3 makes the edit
    // writable, clears it and gives it the focus; 4 disables it.
    void OnCbnSelchangeComboSNEditType(uint8_t editType);

    std::string m_strEdit;
    bool m_bEditEnabled = true;
    bool m_bEditFocus = false;

private:
    std::string vRadixClicked(bool hex);
    IniSettings& m_Settings;
};

// Model of the barcode entry dialog "Serial Number Entering".
class CSNDlg {
public:
    explicit CSNDlg(IniSettings& settings) : m_Settings(settings) {}

    // Change of the "Serial Number :" edit with `deviceCount` attached devices:
    // with devices, keeps only 0-9/A-F/a-f when `Check_SerialNumber` is set,
    // upper-cases, keeps at most 20 characters (the table's serial field), and
    // stores the text as the dialog's serial number and as `serial_number`;
    // without devices, clears both. Returns the text to write back to the edit.
    std::string OnEnChangeEditDeviceArrivalDialogPcbSn(const std::string& typed, unsigned deviceCount);

    std::string m_strSNandPStringDlgPCBSN;

private:
    IniSettings& m_Settings;
};

// After the barcode dialog closed: the dialog's serial number goes to the main
// dialog's serial-number field and edit. Returns `ok` (the operator pressed OK).
bool OpenSNAndPStringEnteringDialogResult(const CSNDlg& dialog, bool ok, IniSettings& settings, std::string& mainEdit);
