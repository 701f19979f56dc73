#pragma once
// The device side of the debug dialog and the device information dialog: what
// each button does with one bridge of the device list, over the USB path or, for
// a record marked as a PCIe device, over the PCIe path, and the texts shown.
// Window-free; the dialogs run these on the engine thread and show the answers.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/BrvtUSBDev.h"
#include "device/DeviceList.h"
#include "device/pcie/Brv795xPcieCtrl.h"

// Configuration types of the table buttons.
inline constexpr uint8_t kConfigTypeTable = 0;    // ConfigTable
inline constexpr uint8_t kConfigTypeU4Block = 1;  // U4ConfigTable

// Largest register length the "Read Register" edit accepts.
inline constexpr uint32_t kMaxRegisterLengthText = 0xFFFF;

// One bridge of the device list as the main window chose it: the record and the
// firmware image (0 or 1).
struct DebugDevice {
    CBrvtUSBDev& dev;
    CBrv795xPcieCtrl& pcie;
    const DeviceList& devices;
    uint8_t record = 0;
    uint8_t image = 0;
};

// What a button gives back: the text for the dialog's display, and a message
// for the operator when something failed.
struct DebugAnswer {
    CommandResult result = kCommandSuccess;
    std::string text;
    std::string message;
};

// A hexadecimal edit's value: hex digits only (surrounding blanks ignored), at
// most `max`; nullopt for an empty or invalid text.
std::optional<uint32_t> ParseHexField(const std::string& text, uint32_t max);

// Bytes as "%02X" separated by blanks, with a line break after every 16th byte.
std::string strHexLines(const uint8_t* bytes, size_t length);

// "Read Register": `length` bytes from `address`; a length of 0 reads nothing and shows nothing.
DebugAnswer ReadRegister(const DebugDevice& target, uint32_t address, uint32_t length);
// "Write Register": one byte.
DebugAnswer WriteRegister(const DebugDevice& target, uint32_t address, uint8_t value);
// "Read Config Table" (type 0) and "Read U4 Config Table" (type 1) of the chosen
// image: 8 lines of 16 bytes, 0xFF where nothing was read.
DebugAnswer ReadConfigArea(const DebugDevice& target, uint8_t configType);
// "U4 Info": the message "U4 info\r\n UUID: %s\r\n ErrRecovCnt: %d".
DebugAnswer U4Info(const DebugDevice& target);

// The UUID text of a USB4 block image: "2B9D-", bytes 0x59 down to 0x54 as
// twelve hex digits without the first one, "-0".
std::string strU4UUID(const std::array<uint8_t, CONFIG_BIN_SIZE>& u4Image);

// --- the device information dialog --------------------------------------------------

// Columns of the configuration list, and its one row's title.
inline constexpr const char* kConfigSettingColumns[] = {"Config", "CS", "EE", "TL",  "HS",
                                                        "U1U2",   "LP", "2TB", "SE", "Idle Timer"};
inline constexpr const char* kConfigSettingRow = "Status";

// The idle-timer byte as the list shows it ("3 min" .. "5 hr", "Never", "NULL").
std::string strIdleTimerText(uint8_t idleTimer);
// The row of the list: "Status", the flag byte's bits 0..7 as "X" (set) or "O"
// (clear), the idle-timer text.
std::array<std::string, 10> ConfigSettingRow(uint8_t optionFlags, uint8_t idleTimer);
// "USB Mode: Legacy" for chip "7951", "USB Mode: Tunnel" for "7956", else empty.
std::string strUSBModeText(const std::string& chipId);
// The device code and UASP text from registers 0xC890 (`features`), 0xC8FF
// (`variant`) and 0x9000 (`usbMode`); `seed` seeds the two random numbers.
std::string strDeviceCodeText(uint8_t features, uint8_t variant, uint8_t usbMode, unsigned seed);

struct DeviceInfoView {
    std::array<std::string, 10> row;  // the configuration list's row
    std::string usbMode;              // "USB Mode: ..."
    std::string deviceCode;           // device code and UASP lines
    std::vector<std::string> messages;  // failures, for the operator
};
// Everything the device information dialog shows; `seed` as above.
DeviceInfoView ReadDeviceInfo(const DebugDevice& target, unsigned seed);
