#pragma once
// The daily MP result log: after every interactive run one tab-separated record
// per taking-part device is appended to "YYYYMMDD.log" in the tool's folder, so
// that the production line keeps a trace of what was written into which device
// and which steps passed. The first record of a day creates the file with the
// header line. Records are appended whole; the file is never rewritten.
#include <array>
#include <ctime>
#include <string>
#include <string_view>

#include "config/IniSettings.h"
#include "device/DeviceList.h"
#include "engine/StepResults.h"

namespace engine {

// Column names of the header line, in record order. The records carry the
// partition and the format result in two columns, so "DoFormatResult" follows
// "DoPartitionFormatResult" (which then holds the partition result).
inline constexpr size_t kMPResultLogColumns = 34;
extern const std::array<const char*, kMPResultLogColumns> kMPResultLogHeader;

// "<folder>/YYYYMMDD.log" for the local date in `localTime`.
std::string strMPResultLogPath(const std::string& folder, const std::tm& localTime);
// The header line: every name followed by a tab, no line break.
std::string strMPResultLogHeader();
// One record: "\r\n", then every field followed by a tab, the last one " \t".
// Texts are written as they are except that tabs, line breaks and other control
// characters become blanks, so one record always stays one line of columns.
// `serialWritten` is the serial number the run wrote into this device (empty when
// it wrote none): the UpdateSerialNumber column, so that every shipped serial
// number can be traced to its port and day.
std::string strMPResultRecord(const std::tm& localTime, int deviceIndex, const DeviceInfo& device,
                              const StepResults& results, const IniSettings& settings,
                              std::string_view serialWritten = {});

// Appends the record of one device (`deviceIndex` is its position in the device
// list) to the log of `localTime`'s day in `folder`, with the header first when
// the file does not exist yet. False when the record could not be written, with
// `error` (when given) naming the file and the system's reason.
bool vLogMPResult(const std::string& folder, const std::tm& localTime, int deviceIndex, const DeviceInfo& device,
                  const StepResults& results, const IniSettings& settings, std::string_view serialWritten = {},
                  std::string* error = nullptr);
// The same for now, in the tool's folder (CUSBUtility::GetProgramFolder).
bool vLogMPResult(int deviceIndex, const DeviceInfo& device, const StepResults& results,
                  const IniSettings& settings, std::string_view serialWritten = {}, std::string* error = nullptr);

}  // namespace engine
