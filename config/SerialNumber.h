#pragma once
// Serial-number arithmetic and the serial number each device's configuration
// table receives.
#include <cstdint>
#include <string>

#include "config/IniSettings.h"

// The serial number advanced by `ucCount`, in hexadecimal when `bHex` is set, else
// in decimal. The result is upper case and keeps the width of the input (a carry
// out of the first character is dropped). A decimal advance of a text that is not
// all digits returns it unchanged; a hexadecimal advance of a text that is not all
// hex digits advances its last 7 characters read as a hex number.
std::string vAddLimitSN(const std::string& strSerialNumber, uint8_t ucCount, bool bHex);

// Serial number of the device at `ucDeviceIndex` (0..15) for the table of the
// settings' `config_format` (1 or 4): the disk's own serial number, or the
// settings' serial number advanced by the index, with the fixed leading part kept
// when the remain value is on. At most 20 characters.
std::string strDeviceSerialNumber(const IniSettings& ini, uint8_t ucDeviceIndex, const std::string& strDiskSerialNumber);

// True when the device's table takes the attached disk's own serial number.
bool bUseDiskSerialNumber(const IniSettings& ini);
