#include "config/IniSettings.h"

#include <cstring>

bool SetIniString(IniString& field, std::string_view text)
{
    const size_t n = text.size() < kIniStringSize - 1 ? text.size() : kIniStringSize - 1;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, kIniStringSize - n);
    return n == text.size();
}

size_t IniStringLength(const IniString& field)
{
    return ::strnlen(field, kIniStringSize - 1);
}

void ApplyIniLoadForcedFields(IniSettings& s)
{
    SetIniString(s.USB4_ComponentID, "FFFFFFFFFFF");
    SetIniString(s.USB4_MinFW, "FF");
    s.usb_removable = 0;
    s.eup = 0;
    s.two_leds = 0;
    s.wtg = 0;
    s.u1u2 = 0;
    s.low_power = 0;
    s.support_2tb = 0;
    s.slow_enumeration = 0;
    s.reserved_flag0 = 0;
    s.reserved_flag1 = 0;
    s.reserved_flag2 = 0;
    s.lp_if_idle = 0;
    s.lp_if_u3 = 3;
    s.pcie_aspm = 3;
    s.force_pcie_speed = 3;
    s.force_pcie_lane = 3;
    s.USB4_20G = 1;
    s.USB4_x2 = 1;
    s.USB4_CLMode = 3;
}

IniSettings DefaultIniSettings()
{
    IniSettings s;
    std::memset(&s, 0, sizeof s);
    s.version = 1006;
    s.format_drive_type = 1;
    SetIniString(s.wr_test_binary_name, "rwtest.bin");
    s.wr_test_count = 1;
    SetIniString(s.preload_folder_path, "D:\\temp");
    s.SN_EditType = kSnIncreaseHex;
    s.USB4_ComponentID_EditType = 3;
    s.CmdLineTimeOut = 35;
    s.USB4_BcdSync = 1;
    s.fw_reload = 1;
    SetIniString(s.vendor_id, "2B9D");
    SetIniString(s.product_id, "7953");
    SetIniString(s.device_revision, "0100");
    SetIniString(s.manufacturer_string, "Brevnor");
    SetIniString(s.product_string, "BRV795X series");
    SetIniString(s.manufacturer_string_T10, "BRVT");
    SetIniString(s.product_string_T10, "BRV795X");
    SetIniString(s.serial_number, "AAAABBBB0001");
    s.serial_number_increase = 1;
    s.serial_number_increase_HEX = 1;
    s.serial_number_increase_DEC = 0;
    s.SN_remain_value_enable = 0;
    s.SN_remain_value_length = 8;
    s.SN_fix_length = 0;
    s.SN_Numbers = 12;
    s.standby_timer = 0;
    s.lp_if_idle = 0;
    s.lp_if_u3 = 3;
    s.pcie_aspm = 3;
    s.force_pcie_speed = 3;
    s.force_pcie_lane = 3;
    s.image0 = 1;
    SetIniString(s.USB4_VendorName, "Brevnor");
    SetIniString(s.USB4_ModelName, "795x");
    SetIniString(s.USB4_ComponentID, "CCDDEEFF321");
    SetIniString(s.USB4_VendorID, "2B9D");
    SetIniString(s.USB4_ProductID, "7953");
    SetIniString(s.USB4_TestID, "00000666");
    SetIniString(s.USB4_BcdProductFWRevision, "1234");
    SetIniString(s.USB4_ProductHWRevision, "5A");
    SetIniString(s.USB4_MinFW, "FF");
    SetIniString(s.USB4_TBT3VendorID, "00B8");
    SetIniString(s.USB4_TBT3ModelID, "7953");
    SetIniString(s.USB4_TBT3ModelRevision, "E3");
    s.USB4_U4Mode = 3;
    s.USB4_20G = 1;
    s.USB4_x2 = 1;
    s.USB4_CLMode = 3;
    s.PCIE_Scan = 1;
    SetIniString(s.PCIE_VendorID, "2C7A");
    SetIniString(s.PCIE_DeviceID, "7953");
    s.PCIE_SSDRelinkTime = 10;
    return s;
}

std::string strChipTypeFilterFromTargetChip(const char* targetChip)
{
    static const struct {
        const char* chip;
        const char* filter;
    } kChips[] = {{"5211", "00"}, {"5213", "001"}, {"5233", "010"}, {"5271", "011_1"}, {"5272", "011_2"}, {"419CM", "101"}};
    for (const auto& c : kChips)
        if (std::strcmp(targetChip, c.chip) == 0) return c.filter;
    return "0";
}
