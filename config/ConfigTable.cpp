#include "config/ConfigTable.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "config/SerialNumber.h"
#include "log/DebugLog.h"

using namespace config_table;

namespace {

void PutLE16(ConfigTable& table, size_t offset, uint32_t value)
{
    table[offset] = static_cast<uint8_t>(value);
    table[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// Copies the characters of `text` (no terminator) into a field of `capacity`
// bytes. Longer texts are cut at the field's end so that they never run into the
// next field.
void PutText(ConfigTable& table, size_t offset, size_t capacity, const char* text, size_t length, const char* field)
{
    if (length > capacity) {
        DBG_WRN("%s:%d: %s longer than %d characters is cut : %s", field, static_cast<int>(capacity), text);
        length = capacity;
    }
    std::memcpy(table.data() + offset, text, length);
}

void PutIniText(ConfigTable& table, size_t offset, size_t capacity, const IniString& text, const char* field)
{
    PutText(table, offset, capacity, text, IniStringLength(text), field);
}

uint8_t ClearIf(uint8_t byte, unsigned bit, unsigned enabled)
{
    return enabled ? static_cast<uint8_t>(byte & ~(1u << bit)) : byte;
}

}  // namespace

uint32_t ulParseHex(const char* text)
{
    while (*text == ' ' || *text == '\t') ++text;
    uint32_t value = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*text)); ++text) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
        value = value * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return value;
}

bool bGetConfigTableLimits(uint8_t /*ucConfigType*/, ConfigTableLimits& limits)
{
    limits = {kMaxVendorIdLen,     kMaxProductIdLen, kMaxDeviceRevisionLen,  kMaxSerialNumberLen,
              kMaxManufacturerLen, kMaxProductLen,   kMaxManufacturerT10Len, kMaxProductT10Len};
    return true;
}

uint8_t ucStandbyCode(uint8_t standbyTimer)
{
    return standbyTimer >= 1 && standbyTimer <= 11 ? static_cast<uint8_t>(0xF0 + standbyTimer) : 0xFF;
}

uint8_t ucPowerByteFormat4(const IniSettings& ini)
{
    const unsigned idle = ini.lp_if_idle & 3u;
    const unsigned u3 = ini.lp_if_u3 & 3u;
    return static_cast<uint8_t>(ucStandbyCode(ini.standby_timer) & ((idle << 4) | 0xCF) & ((u3 << 6) | 0x3F));
}

uint8_t ucPcieByteFormat4(const IniSettings& ini)
{
    const unsigned aspm = ini.pcie_aspm & 3u;
    const unsigned speed = ini.force_pcie_speed & 3u;
    const unsigned lane = ini.force_pcie_lane & 3u;
    return static_cast<uint8_t>((aspm | 0xFC) & ((speed << 2) | 0xF3) & ((lane << 4) | 0xCF));
}

uint8_t ucStandbyByteFormat1(const IniSettings& ini)
{
    uint8_t byte = ucStandbyCode(ini.standby_timer);
    byte = ClearIf(byte, 4, ini.wtg);
    byte = ClearIf(byte, 5, ini.reserved_flag1);
    byte = ClearIf(byte, 6, ini.reserved_flag2);
    return byte;
}

uint8_t ucOptionByte(const IniSettings& ini, uint8_t ucConfigFormat)
{
    const bool format4 = ucConfigFormat == kConfigFormat4;
    uint8_t byte = 0xFF;
    byte = ClearIf(byte, 0, format4 ? ini.usb_removable : ini.reserved_flag0);
    byte = ClearIf(byte, 1, ini.eup);
    byte = ClearIf(byte, 2, ini.two_leds);
    byte = ClearIf(byte, 3, format4 ? ini.wtg : ini.hdd_standby);
    byte = ClearIf(byte, 4, ini.u1u2);
    byte = ClearIf(byte, 5, ini.low_power);
    byte = ClearIf(byte, 6, ini.support_2tb);
    byte = ClearIf(byte, 7, ini.slow_enumeration);
    return byte;
}

bool bUseDiskSerialNumber(const IniSettings& ini)
{
    if (ini.config_format == kConfigFormat4) return ini.Scan_HDDSN != 0 || ini.SN_EditType == kSnFromHddSn;
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
    std::string serial = typed;
    if (ini.SN_EditType == kSnIncreaseHex || ini.SN_EditType == kSnIncreaseDec)
        serial = strAdvanceSNForSettings(ini, typed, ucDeviceIndex);
    else
        DBG_ERR("%s:%d: OnBnClickedButtonStart: ucThreadCount[%d] , pIni.m_pINI.ucConfig_format[%d] , ucSN_EditType[%d]",
                ucDeviceIndex, ini.config_format, ini.SN_EditType);
    return serial.substr(0, kMaxSerialNumberLen);
}

uint8_t ucConfigTableChecksum(const ConfigTable& table)
{
    unsigned sum = 0;
    for (size_t i = kFirstCoveredByte; i < kChecksum; ++i) sum += table[i];
    return static_cast<uint8_t>(sum);
}

bool bComposeConfigTable(const IniSettings& ini, uint8_t ucDeviceIndex, const std::string& strDiskSerialNumber,
                         ConfigTable& table)
{
    table.fill(0xFF);
    const uint8_t format = ini.config_format;
    if (format != kConfigFormat1 && format != kConfigFormat4) return false;

    PutLE16(table, kVendorId, ulParseHex(ini.vendor_id));
    PutLE16(table, kProductId, ulParseHex(ini.product_id));
    PutLE16(table, kDeviceRevision, ulParseHex(ini.device_revision));

    const std::string serial = strDeviceSerialNumber(ini, ucDeviceIndex, strDiskSerialNumber);
    PutText(table, kSerialNumber, kMaxSerialNumberLen, serial.c_str(), serial.size(), "serial_number");
    PutIniText(table, kManufacturer, kMaxManufacturerLen, ini.manufacturer_string, "manufacturer_string");
    PutIniText(table, kProduct, kMaxProductLen, ini.product_string, "product_string");

    if (format == kConfigFormat4) {
        PutIniText(table, kManufacturerT10, kMaxManufacturerT10Len, ini.manufacturer_string_T10,
                   "manufacturer_string_T10");
        PutIniText(table, kProductT10, kMaxProductT10Len, ini.product_string_T10, "product_string_T10");
        table[kPowerOrStandby] = ucPowerByteFormat4(ini);
        table[kPcie] = ucPcieByteFormat4(ini);
        DBG_MSG("%s:%d: ucStandbyTimer_Type4: [0x%x]", ucStandbyCode(ini.standby_timer));
    } else {
        table[kPowerOrStandby] = ucStandbyByteFormat1(ini);
        DBG_MSG("%s:%d: ucStandbyTimer: [0x%x]", ucStandbyCode(ini.standby_timer));
    }
    table[kFixed02] = 0x02;
    table[kOptions] = ucOptionByte(ini, format);
    table[kSignature] = kSignatureValue;
    table[kChecksum] = ucConfigTableChecksum(table);
    return true;
}

bool bConfigTableReadBackEqual(const std::array<uint8_t, CONFIG_BIN_SIZE>& written,
                               const std::array<uint8_t, CONFIG_BIN_SIZE>& readBack)
{
    return std::equal(written.begin() + kFirstCoveredByte, written.end(), readBack.begin() + kFirstCoveredByte);
}

CConfigTemplates::CConfigTemplates() : m_Template01{}, m_Template2{}, m_Template4{}, m_WorkingImage{} {}

ConfigTable& CConfigTemplates::Template(uint8_t ucConfigType)
{
    if (ucConfigType == kConfigFormat2) return m_Template2;
    if (ucConfigType == kConfigFormat4) return m_Template4;
    return m_Template01;
}

bool CConfigTemplates::vSetMConfigInfo(bool bClear, uint8_t ucSelectConfigType)
{
    if (bClear) {
        m_WorkingImage.fill(0x00);
        return true;
    }
    switch (ucSelectConfigType) {
    case kConfigFormatKeep:
    case kConfigFormat1:
    case kConfigFormat2:
    case kConfigFormat4:
        m_WorkingImage = Template(ucSelectConfigType);
        return true;
    default:
        m_WorkingImage.fill(0x00);
        DBG_ERR("%s:%d: vSetMConfigInfo: ConfigType not accure, ucSelectConfigType : %x ", ucSelectConfigType);
        return false;
    }
}

bool CConfigTemplates::bComposeDeviceTable(const IniSettings& ini, uint8_t ucDeviceIndex,
                                           const std::string& strDiskSerialNumber, ConfigTable& U3ConfigImage)
{
    try {
        const uint8_t format = ini.config_format;
        if (format == kConfigFormat1 || format == kConfigFormat4) {
            ConfigTable& table = Template(format);
            bComposeConfigTable(ini, ucDeviceIndex, strDiskSerialNumber, table);
            m_WorkingImage = table;
        } else if (format != kConfigFormatKeep) {
            m_WorkingImage.fill(0xFF);
            DBG_ERR("%s:%d: OnBnClickedButtonStart: InValid Config Table[%d]", format);
            return false;
        }
        if (!vSetMConfigInfo(false, format)) return false;
        U3ConfigImage = m_WorkingImage;
        return true;
    } catch (...) {
        DBG_ERR("%s:%d: catch(...): ucDeviceIndex : %d", ucDeviceIndex);
        return false;
    }
}
