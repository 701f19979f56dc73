#pragma once
// The 128-byte bridge configuration table: USB identity, power and link options.
// Composed from the settings in format 1 or 4 for each device of a run.
#include <array>
#include <cstdint>
#include <string>

#include "config/IniSettings.h"
#include "device/DeviceList.h"

// Byte image of a configuration table. Text fields are ASCII without terminator,
// numbers little-endian, unset bytes 0xFF.
struct ConfigTable : std::array<uint8_t, CONFIG_BIN_SIZE> {};

// Offsets of the fields.
namespace config_table {
inline constexpr size_t kSerialNumber = 4;            // 20 bytes
inline constexpr size_t kManufacturer = 24;           // 36 bytes
inline constexpr size_t kManufacturerT10 = 60;        // 8 bytes, format 4
inline constexpr size_t kProduct = 68;                // 32 bytes
inline constexpr size_t kProductT10 = 100;            // 16 bytes, format 4
inline constexpr size_t kVendorId = 116;              // 2 bytes
inline constexpr size_t kProductId = 118;             // 2 bytes
inline constexpr size_t kDeviceRevision = 120;        // 2 bytes
inline constexpr size_t kPowerOrStandby = 122;        // power byte (4) / standby byte (1)
inline constexpr size_t kPcie = 123;                  // format 4
inline constexpr size_t kFixed02 = 124;               // always 0x02
inline constexpr size_t kOptions = 125;               // option bits, active low
inline constexpr size_t kSignature = 126;
inline constexpr size_t kChecksum = 127;
inline constexpr uint8_t kSignatureValue = 0x5A;
// Bytes 0..3 are neither summed nor compared.
inline constexpr size_t kFirstCoveredByte = 4;
}  // namespace config_table

// Configuration formats of `config_format`.
enum : uint8_t { kConfigFormatKeep = 0, kConfigFormat1 = 1, kConfigFormat2 = 2, kConfigFormat4 = 4 };

// Text limits of the table's fields; the same for every configuration format.
struct ConfigTableLimits {
    unsigned ucVendorIdLen, ucProductIdLen, ucDeviceRevisionLen, ucSerialNumberLen;
    unsigned ucManufacturerLen, ucProductLen, ucManufacturerT10Len, ucProductT10Len;
};
// The limits query of the settings check: fills the limits, true for every type.
bool bGetConfigTableLimits(uint8_t ucConfigType, ConfigTableLimits& limits);

// Standby code of `standby_timer`: 0xF0 + S for S in 1..11, else 0xFF.
uint8_t ucStandbyCode(uint8_t standbyTimer);
// Format 4 byte 122: standby code with "LP if Idle" (bits 4-5) and "LP if U3"
// (bits 6-7).
uint8_t ucPowerByteFormat4(const IniSettings& ini);
// Format 4 byte 123: ASPM (bits 0-1), speed (bits 2-3), lane (bits 4-5), bits 6-7 set.
uint8_t ucPcieByteFormat4(const IniSettings& ini);
// Format 1 byte 122: standby code, bit 4 cleared with "WTG", bits 5/6 the reserved flags.
uint8_t ucStandbyByteFormat1(const IniSettings& ini);
// Byte 125: starts at 0xFF, each enabled option clears its bit.
uint8_t ucOptionByte(const IniSettings& ini, uint8_t ucConfigFormat);

// True when the device's table takes the attached disk's own serial number:
// format 1 with the edit type "4.From HDDSN"; format 4 with `Scan_HDDSN` set or that
// edit type.
bool bUseDiskSerialNumber(const IniSettings& ini);

// Serial number of the device at `ucDeviceIndex` (0..15): the disk's own serial
// number, or the settings' serial number advanced by the index (hexadecimal for
// edit type 1, decimal for 2, the fixed leading part kept when the remain value is
// on), or for any other edit type the settings' serial number unchanged. At most
// 20 characters.
std::string strDeviceSerialNumber(const IniSettings& ini, uint8_t ucDeviceIndex, const std::string& strDiskSerialNumber);

// Sum of bytes 4..126 modulo 256.
uint8_t ucConfigTableChecksum(const ConfigTable& table);

// Composes the table of one device in format 1 or 4 (`ini.config_format`), with the
// serial number for `ucDeviceIndex` (or `strDiskSerialNumber` when the settings take
// the disk's own). False, with the table left all 0xFF, for any other format.
bool bComposeConfigTable(const IniSettings& ini, uint8_t ucDeviceIndex, const std::string& strDiskSerialNumber,
                         ConfigTable& table);

// A table read back from the bridge equals the written one when bytes 4..127 are
// equal.
bool bConfigTableReadBackEqual(const std::array<uint8_t, CONFIG_BIN_SIZE>& written,
                               const std::array<uint8_t, CONFIG_BIN_SIZE>& readBack);

// The three templates of the device-access object (formats 0/1, format 2,
// format 4) and its working image.
class CConfigTemplates {
public:
    CConfigTemplates();
    ConfigTable& Template(uint8_t ucConfigType);  // 0/1, 2, 4; other types give the 0/1 template
    ConfigTable& WorkingImage() { return m_WorkingImage; }

    // With `bClear` fills the working image with zeros; otherwise copies the template
    // of the type into it (0 and 1, 2, 4). Any other type zero-fills it and logs;
    // returns false then.
    bool vSetMConfigInfo(bool bClear, uint8_t ucSelectConfigType);

    // The run's composition for one device: in format 1 or 4 composes the format's
    // template, takes it as working image and copies it into `U3ConfigImage`; in
    // format 0 (the bridge keeps its own tables) copies the working image unchanged.
    // Any other format produces no table: the working image is filled with 0xFF, a
    // line is logged, `U3ConfigImage` is left alone and false is returned, so that no
    // zero or stale table can reach a bridge.
    bool bComposeDeviceTable(const IniSettings& ini, uint8_t ucDeviceIndex, const std::string& strDiskSerialNumber,
                             ConfigTable& U3ConfigImage);

private:
    ConfigTable m_Template01;
    ConfigTable m_Template2;
    ConfigTable m_Template4;
    ConfigTable m_WorkingImage;
};

// Parses leading hexadecimal digits (after leading blanks) as "%X" does; 0 when
// there are none. Digits beyond 32 bits are dropped from the top.
uint32_t ulParseHex(const char* text);
