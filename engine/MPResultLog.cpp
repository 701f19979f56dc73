#include "engine/MPResultLog.h"
#include "util/Text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "log/DebugLog.h"
#include "util/USBUtility.h"

namespace engine {

const std::array<const char*, kMPResultLogColumns> kMPResultLogHeader{
    "Date",
    "Time",
    "Target",
    "Port#",
    "HDD_SN",
    "VID",
    "PID",
    "iVersion",
    "iManugacturer",
    "iProduct",
    "SerialNumber",
    "FWVersion",
    "USB Speed",
    "PhysicalAddress",
    "LogicalAddress",
    "ConfigTableFormat",
    "UpdateVID",
    "UpdatePID",
    "UpdateRevision",
    "UpdateManufacturerString",
    "UpdateProductString",
    "UpdateSerialNumber",
    "UpdateSerialIncrease",
    "UpdateFWFile",
    "FormatDriveType",
    "FormatLabelName",
    "WrRdTestBinary",
    "WrRdTestCount",
    "UpdateFWResult",
    "ReloadFWResult",
    "DoPartitionFormatResult",
    "DoFormatResult",
    "DoWrRdTestResult",
    "DoPreloadResult",
};

namespace {

constexpr const char* kEmptyColumn = " \t";

class RecordBuilder {
public:
    void Text(std::string_view text)
    {
        for (char c : text) {
            const auto u = static_cast<unsigned char>(c);
            m_strText += (u < 0x20 || u == 0x7F) ? ' ' : c;
        }
        m_strText += '\t';
    }
    void Text(const IniString& field) { Text(std::string_view(field, IniStringLength(field))); }
    void Number(int value, bool twoDigits = false)
    {
        char text[16];
        std::snprintf(text, sizeof text, twoDigits ? "%02d\t" : "%d\t", value);
        m_strText += text;
    }
    void Raw(const char* text) { m_strText += text; }
    void Empty(int columns = 1)
    {
        for (int i = 0; i < columns; ++i) m_strText += kEmptyColumn;
    }
    void Result(bool enabled, uint8_t result)
    {
        if (enabled)
            Text(result ? PassText : FailText);
        else
            Empty();
    }
    std::string Take() { return std::move(m_strText); }

private:
    std::string m_strText;
};

}  // namespace

std::string strMPResultLogPath(const std::string& folder, const std::tm& localTime)
{
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d.%s", localTime.tm_year + 1900, localTime.tm_mon + 1,
                  localTime.tm_mday, "log");
    return folder + "/" + name;
}

std::string strMPResultLogHeader()
{
    std::string header;
    for (const char* name : kMPResultLogHeader) {
        header += name;
        header += '\t';
    }
    return header;
}

std::string strMPResultRecord(const std::tm& localTime, int deviceIndex, const DeviceInfo& device,
                              const StepResults& results, const IniSettings& settings, std::string_view serialWritten)
{
    RecordBuilder record;
    record.Raw("\r\n");
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d\t%02d:%02d:%02d\t", localTime.tm_year + 1900,
                  localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min, localTime.tm_sec);
    record.Raw(stamp);

    record.Number(deviceIndex, true);
    record.Number(device.m_ulPortIndex, true);
    record.Text(device.m_strDiskSerialNumber);
    record.Text(device.m_strVID);
    record.Text(device.m_strPID);
    record.Text(device.m_strDeviceRev);
    record.Text(device.m_strManufacturer);
    record.Text(device.m_strProduct);
    record.Text(device.m_strSerialNumber);
    record.Text(device.m_strFWVersion);
    record.Text(device.m_strUsbConnectionStatus);

    record.Number(device.m_ucPhysicalAddress, true);
    // A device without a volume has no letter (127): an empty column, not a
    // control character in the middle of the record.
    if (std::isalpha(static_cast<unsigned char>(device.m_cDriveLetter)))
        record.Text(std::string_view(&device.m_cDriveLetter, 1));
    else
        record.Empty();

    if (settings.fw_enable == 1) {
        record.Number(settings.config_format);
        record.Text(settings.vendor_id);
        record.Text(settings.product_id);
        record.Text(settings.device_revision);
        record.Text(settings.manufacturer_string);
        record.Text(settings.product_string);
        if (serialWritten.empty()) record.Empty();
        else record.Text(serialWritten);
        record.Number(settings.serial_number_increase);
        record.Text(settings.fw_binary_name);
    } else {
        record.Empty(9);
    }

    if (settings.format_enable == 1) {
        record.Number(settings.format_drive_type);
        record.Text(settings.drive_label_name);
    } else {
        record.Empty(2);
    }

    if (settings.wr_test_enable == 1) {
        record.Text(settings.wr_test_binary_name);
        record.Number(settings.wr_test_count);
    } else {
        record.Empty(2);
    }

    record.Result(settings.fw_enable == 1, results.UpdateFWResult);
    record.Result(settings.fw_reload == 1, results.ReloadFWResult);
    record.Result(settings.format_enable == 1, results.PartitionResult);
    record.Result(settings.format_enable == 1, results.FormatResult);
    record.Result(settings.wr_test_enable == 1, results.DoWrRdTestResult);
    record.Result(settings.preload_enable == 1, results.DoPreloadResult);
    record.Empty();
    return record.Take();
}

bool vLogMPResult(const std::string& folder, const std::tm& localTime, int deviceIndex, const DeviceInfo& device,
                  const StepResults& results, const IniSettings& settings, std::string_view serialWritten,
                  std::string* error)
{
    const std::string path = strMPResultLogPath(folder, localTime);
    try {
        std::error_code ec;
        std::string text = std::filesystem::exists(path, ec) ? std::string() : strMPResultLogHeader();
        text += strMPResultRecord(localTime, deviceIndex, device, results, settings, serialWritten);
        // The header and the record go out as one append: a day's file never
        // holds half a record, however long the texts are.
        if (AppendRecord(path, text)) return true;
    } catch (...) {
    }
    const int code = errno;
    DBG_ERR("%s:%d: vLogMPResult: [%d] , dwErrorCode %d", deviceIndex, code);
    if (error) *error = "the result log " + path + " could not be written: " + std::strerror(code);
    return false;
}

bool vLogMPResult(int deviceIndex, const DeviceInfo& device, const StepResults& results,
                  const IniSettings& settings, std::string_view serialWritten, std::string* error)
{
    return vLogMPResult(CUSBUtility::Instance().GetProgramFolder(), util::LocalTimeNow(), deviceIndex, device, results,
                        settings, serialWritten, error);
}

}  // namespace engine
