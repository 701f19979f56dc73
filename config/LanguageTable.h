#pragma once
// The table of user-interface texts: the main window's button texts and
// selection lists, the result table's column titles, the result words and the
// settings checks' messages. One table for the whole program, fixed when the
// program is built; every screen takes its texts from here.
#include <array>

#include "config/Ini.h"
#include "config/SerialNumber.h"

struct LanguageTable {
    // Result words of the table, the indicators and the result log.
    const char* strPass;
    const char* strFail;
    // Titles of the result table's 19 columns.
    std::array<const char*, 19> strResultColumns;
    // The "SN Edit Type" list, indexed by SnEditType.
    std::array<const char*, 5> strSNEditTypes;
    // Buttons of the main window.
    const char* strClose;
    const char* strMin;
    const char* strBrowseFW;
    const char* strBrowsePreload;
    const char* strUnlock;
    const char* strLock;
    const char* strLoadINI;
    const char* strSaveINI;
    const char* strCheckConfig;
    const char* strSHA256Key;
    const char* strPowerDeliveryKey;
    const char* strMoreConfig;
    const char* strUSB4MoreConfig;
    const char* strStart;
    const char* strSafelyRemove;
    const char* strClearCount;
    const char* strDebug;
    // Messages of the settings checks.
    const char* strInvalidConfigType;
    const char* strWrRdTestTooLarge;
};

inline constexpr LanguageTable kLanguageTable{
    "PASS",
    "FAIL",
    {"Port#", "Status", "VID", "PID", "Serial Number", "FW Version", "CC", "U4 Mode", "Capacity", "Update", "ReLink",
     "Partition", "R/W Test", "Preload", "PD", "", "", "", ""},
    {kSNEditTypeTexts[0], kSNEditTypeTexts[1], kSNEditTypeTexts[2], kSNEditTypeTexts[3], kSNEditTypeTexts[4]},
    "Close",
    "Min",
    "Browse FW",
    "Browse Preload File",
    "Unlock",
    "Lock",
    "Load INI",
    "Save INI",
    "Check_Config",
    "Modify SHA256 initial Key",
    " Power Delivery Key",
    "MoreConfig",
    "USB4 MoreConfig",
    "Start",
    "Safely Remove",
    "Clear Count",
    "Debug",
    kMsgInvalidConfigType,
    "WrRdTest file size too large",
};
