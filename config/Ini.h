#pragma once
// The settings object: loads, stores and checks the settings file and owns the
// settings record the whole tool reads.
#include <cstdint>
#include <string>
#include <vector>

#include "config/IniSettings.h"

// Result codes of Ini::vCheckINIType.
enum IniCheckResult : int {
    kIniCheckValid = 0,
    kIniCheckInvalidConfigType = 1,
    kIniCheckTextTooLong = 2,
    kIniCheckInternalError = 3,
    kIniCheckSNNotHex = 4,
    kIniCheckDiskLabelTooLong = 5,
};

// Operator texts of the settings checks.
inline constexpr const char* kMsgInvalidConfigType = "Invalid Config Type";
inline constexpr const char* kMsgInvalidSNSize = "Invalid SN Size";
inline constexpr const char* kMsgInvalidSNString = "Invalid SN String";
inline constexpr const char* kMsgInvalidManufacturerSize = "Invalid Manufacturer Size";
inline constexpr const char* kMsgInvalidProductSize = "Invalid Product Size";
inline constexpr const char* kMsgInvalidManufacturerT10Size = "Invalid Manufacturer T10 Size";
inline constexpr const char* kMsgInvalidProductT10Size = "Invalid Product T10 Size";
inline constexpr const char* kMsgInvalidDiskLabelSize = "Invalid DiskLabel Size";
inline constexpr const char* kMsgUnknownError = "Unknown Error";
inline constexpr const char* kMsgVIDFormatNotValid = "VID Format not valid";
inline constexpr const char* kMsgPIDFormatNotValid = "PID Format not valid";
inline constexpr const char* kMsgDeviceRevisionFormatNotValid = "Device Revision Format not valid";
inline constexpr const char* kMsgInvalidConfigLine = "Line of Configuration String in INI file is invalid !";
inline constexpr const char* kMsgValueTooLong = "Value of Configuration String in INI file is too long !";
inline constexpr const char* kMsgValueOutOfRange = "Value of Configuration String in INI file is out of range !";
// Comment line of the "[Target_Chip]" section.
inline constexpr const char* kTargetChipComment = "//5211, 5213, 5233, 5271, 5272, 419CM, 0 for all";

class Ini {
public:
    // The process-wide settings object.
    static Ini& Global();

    // The settings record.
    IniSettings m_pINI{};

    // Loads `path` into the record (cleared first). True when the file was read,
    // every value could be held, `vCheckINIType` returned 0 and at most 83 lines
    // were counted. Operator messages (wrong version, invalid lines, failed
    // checks) go through CUSBUtility::ShowProgramMessage.
    bool vLoadINIFile(const std::string& path);
    // Warnings of the last load that do not refuse the file ("FILE:LINE: KEY is
    // given more than once; the last value is taken").
    std::vector<std::string> m_Warnings;
    // Why the last load returned false, in words naming the file (and the line and
    // key where one is to blame); empty after a load that succeeded.
    std::string m_strLoadFailure;

    // Checks the record and, when it is valid, writes it to `path` as one whole
    // file (a temporary file forced to disk and renamed over the target, the
    // folder forced to disk after), so a crash never leaves a missing or
    // half-written settings file. Returns true when written; otherwise
    // `m_strLastStoreError` says why when the write itself failed.
    bool vStoreINIFile(const std::string& path);
    std::string m_strLastStoreError;

    // Checks the record's texts; clears every offending text and shows its
    // message. Returns the last IniCheckResult set, 0 when all pass.
    int vCheckINIType();

    // The built-in defaults, then `vCheckINIType`.
    int vSetDefaultINI();

    // Start-up load: `path` (the default settings file), the built-in defaults
    // when it does not load, then the step switches cleared, then the device
    // options of "DeviceOptions.ini" beside it, then (with `USB4_BcdSync` 1) the
    // USB4 BCD revision from the firmware file name. Returns whether the file loaded.
    bool vLoadINIAtStartup(const std::string& path);

    // The start-up load with the step switches kept as the file holds them: for
    // runs started from the engineering console, where no operator ticks them.
    bool vLoadINIKeepingSteps(const std::string& path);

    // Applies the device options file `path` to the record; a missing file
    // changes nothing. A damaged one is shown and changes nothing; false then.
    bool vApplyDeviceOptionsFile(const std::string& path);

    // Lines counted by the last load (every recognised key, the counted section
    // lines, the "[Target_Chip]" comment and every unrecognised line).
    unsigned m_uTotalINICountLine = 0;
    // Result of the last `vCheckINIType`, -1 when the last load did not get that far.
    int m_iLastCheckResult = -1;
    // Operator messages are written to "ProgramMSG.txt" instead of shown while
    // the main window is hidden.
    bool m_bMessageToFile = false;

private:
    void vShowMessage(const std::string& text, int kind);
    std::string m_strLastCheckMessage;  // the first error message of the last load
    // Clears the record, shows the version message and returns false.
    bool vRejectVersion(uint32_t version);
};

// After every load the partition/format, write/read test, preload, USB status,
// reload and safe-removal switches are off until the operator ticks them.
void vClearStepSwitchesAfterLoad(IniSettings& settings);

// Combo texts of the main dialog as record values: "NTFS"/"FAT32"/"exFAT" give
// 0/1/2, "USB 2.0"/"USB 3.0"/"USB 3.1" give 0/1/2; -1 for any other text.
int iDriveTypeFromText(const std::string& text);
int iUSBStatusFromText(const std::string& text);

// One key of the settings file: its name as stored, whether it holds text, and
// for numbers the largest value its record field holds.
struct IniFileKey {
    const char* name;
    bool text;
    uint64_t fieldMax;
};
// Every key of the settings file, in the order the store writes them.
std::vector<IniFileKey> IniFileKeys();

// Default settings file path: the tool's folder and "br_mp_Toolv0.6.ini".
std::string strDefaultINIFilePath();

// The text of `settings` as `vStoreINIFile` writes it (version always 1008,
// `SN_Numbers` always 12, CR LF line ends).
std::string strComposeINIText(const IniSettings& settings);

// Descriptor check before saving: the vendor ID, product ID and device revision
// must each hold exactly 4 characters. Returns the message lines of the failed
// ones ("VID Format not valid \r\n", ...), empty when all pass.
std::string strValidateGUIForSaveINI(const std::string& vendorId, const std::string& productId,
                                     const std::string& deviceRevision);
// The same check as the "Save INI" button runs it: on failure shows the lines as
// a warning (to "ProgramMSG.txt" when `toFile`), logs them and returns false.
bool vValidateGUIForSaveINI(const std::string& vendorId, const std::string& productId,
                            const std::string& deviceRevision, bool toFile);
