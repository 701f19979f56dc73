#pragma once
// The settings record: one field per key of the settings file plus the option
// fields of the two settings dialogs. It is a plain fixed-size record, copied and
// cleared as a whole (std::memset / assignment), and is the single source of a
// run's parameters.
//
// Fields that the file carries are named by their key. Numeric fields keep the
// width the file format gives them; every text is a 255-byte array holding a
// zero-terminated text of at most 254 characters.
//
// The engine's names for some switches map onto these fields: `ucConfig_format`
// is `config_format`, `ucSN_EditType` is `SN_EditType`, `ucFw_enablel` is
// `fw_enable`, `ucFw_reload` is `fw_reload`, `ucFormat_enable` is
// `format_enable`, `ucWr_test_enable` is `wr_test_enable`, `ucSpeed_test_enable`
// is `Speed_test_enable`, `ucConfig_Check` is `check_config`,
// `ucUSB4_ComponentID_EditType` is `USB4_ComponentID_EditType`.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

// Size of every text field of the record (254 characters and the terminator).
inline constexpr size_t kIniStringSize = 255;
using IniString = char[kIniStringSize];

// The only file format version the loader accepts, and what the store writes.
inline constexpr uint32_t kIniFileVersion = 1008;
// Default settings file in the tool's folder.
inline constexpr const char* kDefaultIniFileName = "br_mp_Toolv0.6.ini";
// Firmware browse history in the tool's folder (last five firmware paths).
inline constexpr const char* kBrowsedBINPathFileName = "BrowsedBINPath.txt";
// Most lines a settings file may have (counted as the loader counts them); a
// file written by the store has exactly this many.
inline constexpr unsigned kMaxIniCountLine = 83;

// Text limits of the configuration table, the same for every `config_format`.
inline constexpr unsigned kMaxVendorIdLen = 4;
inline constexpr unsigned kMaxProductIdLen = 4;
inline constexpr unsigned kMaxDeviceRevisionLen = 4;
inline constexpr unsigned kMaxSerialNumberLen = 20;
inline constexpr unsigned kMaxManufacturerLen = 36;
inline constexpr unsigned kMaxProductLen = 32;
inline constexpr unsigned kMaxManufacturerT10Len = 8;
inline constexpr unsigned kMaxProductT10Len = 16;
// Drive label limit: FAT32/exFAT (format_drive_type non-zero) and NTFS (0).
inline constexpr unsigned kMaxDiskLabelLenFat = 11;
inline constexpr unsigned kMaxDiskLabelLenNtfs = 32;

// Serial-number edit types (`SN_EditType`).
enum SnEditType : uint8_t {
    kSnUserDefine = 0,
    kSnIncreaseHex = 1,
    kSnIncreaseDec = 2,
    kSnFromBarcode = 3,
    kSnFromHddSn = 4,
};

struct IniSettings {
    uint32_t version;              // file format version; the file must carry 1008
    uint8_t format_enable;         // format step on
    uint8_t format_drive_type;     // 0 NTFS, 1 FAT32, 2 exFAT
    IniString drive_label_name;    // <= 11 chars (FAT32/exFAT) or 32 (NTFS)
    uint8_t wr_test_enable;        // write/read test on
    uint8_t Speed_test_enable;     // speed test on
    IniString wr_test_binary_name; // write/read test file
    uint8_t wr_test_count;         // write/read test repetitions
    uint8_t auto_mp;               // automatic MP mode
    uint8_t auto_mp_DevNum;        // device count that triggers automatic mode (combo index + 1)
    uint8_t preload_enable;        // preload copy on
    IniString preload_folder_path; // preload source folder
    uint8_t partition_drive_type;  // 0 MBR, other GPT
    uint8_t Check_USBStatus_enable; // USB link check on
    uint8_t Check_USBStatus;       // failing link speed: 0 "USB 2.0", 1 "USB 3.0", 2 "USB 3.1"
    uint8_t Check_SerialNumber;    // serial number must be hexadecimal
    uint8_t Auto_Safe_Remove;      // safely remove devices after a run
    uint8_t Scan_BarCode;          // barcode check box (clears Scan_HDDSN)
    uint8_t Scan_HDDSN;            // serial number from the disk in format 4 (clears Scan_BarCode)
    uint8_t SN_EditType;           // SnEditType 0..4
    uint8_t check_config;          // compare reported descriptors after the run
    uint32_t USB4_ComponentID_EditType; // edit type of the USB4 component ID (5 after a load)
    uint32_t CmdLineTimeOut;       // plug-in time-out of command-line runs, seconds
    uint8_t USB4_BcdSync;          // USB4 BCD FW revision from the firmware file name
    uint8_t fw_enable;             // bridge firmware update on
    IniString fw_binary_name;      // bridge firmware file path
    uint8_t fw_reload;             // reload (CPU reset and relink) after update
    uint32_t rescan_after_relink;  // rescan the bus after relink
    uint32_t uiRemove_after_finish; // remove devices from the list when finished
    uint32_t ext_fw_enable;        // external (PD) firmware step on
    uint32_t pd_fw_enable;         // PD firmware update on
    uint32_t mcu_fw_enable;        // MCU firmware update on
    IniString pd_binary_name;      // PD firmware file
    IniString mcu_binary_name;     // MCU firmware file
    uint8_t config_format;         // configuration table format (1 or 4 are composed)
    IniString vendor_id;           // USB idVendor, 4 hex digits
    IniString product_id;          // USB idProduct, 4 hex digits
    IniString device_revision;     // USB bcdDevice, 4 hex digits
    IniString manufacturer_string; // <= 36 chars
    IniString product_string;      // <= 32 chars
    IniString manufacturer_string_T10; // SCSI vendor identification, <= 8 chars
    IniString product_string_T10;  // SCSI product identification, <= 16 chars
    IniString serial_number;       // <= 20 chars
    uint8_t serial_number_increase; // advance the serial number per device
    uint32_t serial_number_increase_HEX; // hexadecimal increment (exactly one of HEX/DEC set)
    uint32_t serial_number_increase_DEC; // decimal increment
    uint32_t SN_remain_value_enable; // keep the first SN_remain_value_length characters fixed
    uint32_t SN_remain_value_length; // length of the fixed leading part, 0..20
    int32_t SN_fix_length;         // required serial-number length at Start: 0 (off) or 12..20
    uint32_t SN_Numbers;           // serial-number digit count; always written as 12
    uint8_t standby_timer;         // disk standby timer code 0..11

    // Options of the "PCIE_USB_Config" dialog, not carried by the file (a load
    // resets them). First group: format 4 power/PCIe bytes and format 1 byte 122.
    uint8_t wtg;                   // "WTG" (Windows To Go)
    uint8_t reserved_flag1;        // always 0
    uint8_t reserved_flag2;        // always 0
    uint8_t lp_if_idle;            // "LP if Idle" list index, default 0
    uint8_t lp_if_u3;              // "LP if U3" list index, default 3
    uint8_t pcie_aspm;             // "PCIE ASPM" list index, default 3
    uint8_t force_pcie_speed;      // "Force PCIE Speed" list index, default 3
    uint8_t force_pcie_lane;       // "Force PCIE Lane" list index, default 3
    // Second group: the option bits 0..7 of byte 125 in format 1 order.
    uint8_t reserved_flag0;        // always 0
    uint8_t eup;                   // "Eup"
    uint8_t two_leds;              // "Two LEDS"
    uint8_t hdd_standby;           // written to the file, forced to 0 by a load
    uint8_t u1u2;                  // "U1/U2"
    uint8_t low_power;             // "Low Power Mode"
    uint8_t support_2tb;           // "2TB"
    uint8_t slow_enumeration;      // "Slow Enumeration"
    uint8_t usb_removable;         // "USB removable"

    uint8_t image0;                // dual-image option (forced to 1 by a load)
    uint8_t image1;                // dual-image option (forced to 0 by a load)
    uint8_t crc32;                 // generate CRC32 option (forced to 0 by a load)
    uint8_t cd_rom_mode;           // CD-ROM mode

    IniString USB4_VendorName;
    IniString USB4_ModelName;
    IniString USB4_ComponentID;    // 11 hex characters, not in the file ("FFFFFFFFFFF" after a load)
    IniString USB4_VendorID;
    IniString USB4_ProductID;
    IniString USB4_TestID;
    IniString USB4_BcdProductFWRevision;
    IniString USB4_ProductHWRevision;
    IniString USB4_MinFW;          // minimum (minor) firmware, not in the file ("FF")
    IniString USB4_TBT3VendorID;
    IniString USB4_TBT3ModelID;
    IniString USB4_TBT3ModelRevision;
    uint32_t USB4_U4Mode;          // USB4 mode 0..3
    // Options of the "USB4_More_Config" dialog, not carried by the file.
    uint32_t USB4_20G;             // "20G", default 1
    uint32_t USB4_x2;              // "x2", default 1
    uint32_t USB4_CLMode;          // CL mode list index, default 3 ("3:Disable")

    int32_t PCIE_Scan;             // 0 USB only, 1 USB and PCIe, 2 PCIe only
    IniString PCIE_VendorID;       // PCI vendor ID searched on the PCIe path
    IniString PCIE_DeviceID;       // PCI device ID searched on the PCIe path
    uint32_t PCIE_SSDRelinkTime;   // relink wait on the PCIe path, seconds
    IniString read_speed;          // speed test read threshold text
    IniString write_speed;         // speed test write threshold text
    IniString speed_test_file_size; // speed test file size text
    IniString target_chip;         // chip filter of discovery ("5211", ..., "0" all)
};

static_assert(std::is_trivially_copyable_v<IniSettings> && std::is_standard_layout_v<IniSettings>,
              "IniSettings is copied and cleared as a whole");

// The built-in defaults of every field.
IniSettings DefaultIniSettings();

// Copies `text` into a text field. Texts longer than 254 characters are cut to
// 254; returns false when it had to cut.
bool SetIniString(IniString& field, std::string_view text);

// Length of a text field's zero-terminated text (at most 254 even when the
// terminator is missing).
size_t IniStringLength(const IniString& field);

// Sets the fields the settings file does not carry, as every load does at the
// end of the file: component ID "FFFFFFFFFFF", minimum firmware "FF", every
// PCIE_USB_Config option back to its default (all off; LP if Idle 0; LP if U3,
// ASPM, speed and lane 3) and the USB4 options 1, 1, 3.
void ApplyIniLoadForcedFields(IniSettings& settings);

// Chip-type filter of discovery for a `target_chip` value: "5211" gives "00",
// "5213" "001", "5233" "010", "5271" "011_1", "5272" "011_2", "419CM" "101",
// anything else "0" (every chip type).
std::string strChipTypeFilterFromTargetChip(const char* targetChip);
