#pragma once
// Serial numbers are reserved before any bridge is written: under the tool
// folder's lock, the stored counter is read, the run takes its range from it and
// the counter advanced past the range is stored (durably) before the run begins.
// A run that is cut short, a kill or a full disk can therefore never hand out a
// serial number twice: at worst a reserved range goes unused.
#include <string>

#include "config/IniSettings.h"

// The lock every process of the tool takes on a tool folder to read and write its
// settings counter.
std::string strToolFolderLockPath(const std::string& folder);

struct SerialRange {
    std::string first;            // serial number of the run's first position
    std::string next;             // the stored counter after the run
    std::string firstComponentId; // USB4 component ID of the first position
    std::string nextComponentId;
};

// Whether a run with these settings advances a counter (serial number or USB4
// component ID in an advancing edit type).
bool bRunAdvancesSerial(const IniSettings& settings);

// Reserves `count` serial numbers for a run. `settings` are the run's settings;
// with `adoptStored` the counters stored in `iniPath` (when it loads) replace
// those of `settings` first, so that two processes sharing a tool folder never
// start from the same value. On success `settings` hold the first values of the
// range and the file holds `settings` advanced by `count`; on failure `error`
// says why and nothing was stored.
// `messagesToFile`: a check message of the store goes to "ProgramMSG.txt"
// (command-line runs) instead of a message box.
bool bReserveSerialRange(const std::string& iniPath, IniSettings& settings, uint8_t count, bool adoptStored,
                         bool messagesToFile, SerialRange& range, std::string& error);
