#include "engine/MPResultLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../common/TestSupport.h"
#include "util/USBUtility.h"

using namespace engine;

namespace {

std::tm Day(int year, int month, int day, int hour = 7, int minute = 8, int second = 9)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

DeviceInfo LoggedDevice()
{
    DeviceInfo d;
    d.m_ucDevIdx = 3;
    d.m_ulPortIndex = 2;
    d.m_strDiskSerialNumber = "DISKSN123";
    d.m_strVID = "1D6B";
    d.m_strPID = "7951";
    d.m_strDeviceRev = "0100";
    d.m_strManufacturer = "Maker";
    d.m_strProduct = "Box";
    d.m_strSerialNumber = "000000000042";
    d.m_strFWVersion = "0102a3840506";
    d.m_strUsbConnectionStatus = "SUPER";
    d.m_ucPhysicalAddress = 5;
    d.m_cDriveLetter = 'E';
    return d;
}

IniSettings AllSteps()
{
    IniSettings s = DefaultIniSettings();
    s.fw_enable = 1;
    s.fw_reload = 1;
    s.format_enable = 1;
    s.wr_test_enable = 1;
    s.preload_enable = 1;
    s.config_format = 4;
    SetIniString(s.vendor_id, "1D6B");
    SetIniString(s.product_id, "7951");
    SetIniString(s.device_revision, "0100");
    SetIniString(s.manufacturer_string, "Maker");
    SetIniString(s.product_string, "Box");
    s.serial_number_increase = 1;
    SetIniString(s.fw_binary_name, "/fw/BR_USB4.bin");
    s.format_drive_type = 1;
    SetIniString(s.drive_label_name, "LABEL");
    SetIniString(s.wr_test_binary_name, "test.bin");
    s.wr_test_count = 3;
    return s;
}

StepResults Mixed()
{
    StepResults r;
    r.UpdateFWResult = 1;
    r.ReloadFWResult = 0;
    r.PartitionResult = 1;
    r.FormatResult = 1;
    r.DoWrRdTestResult = 0;
    r.DoPreloadResult = 1;
    return r;
}

const std::string kIdentity =
    "\r\n20240305\t07:08:09\t03\t02\tDISKSN123\t1D6B\t7951\t0100\tMaker\tBox\t000000000042\t0102a3840506\tSUPER\t05\t";

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

TEST(MPResultLog, FileNameIsTheLocalDate)
{
    EXPECT_EQ(strMPResultLogPath("/srv/tool", Day(2024, 3, 5)), "/srv/tool/20240305.log");
    EXPECT_EQ(strMPResultLogPath("/srv/tool", Day(1999, 12, 31)), "/srv/tool/19991231.log");
}

TEST(MPResultLog, HeaderLine)
{
    EXPECT_EQ(strMPResultLogHeader(),
              "Date\tTime\tTarget\tPort#\tHDD_SN\tVID\tPID\tiVersion\tiManugacturer\tiProduct\tSerialNumber\t"
              "FWVersion\tUSB Speed\tPhysicalAddress\tLogicalAddress\tConfigTableFormat\tUpdateVID\tUpdatePID\t"
              "UpdateRevision\tUpdateManufacturerString\tUpdateProductString\tUpdateSerialNumber\t"
              "UpdateSerialIncrease\tUpdateFWFile\tFormatDriveType\tFormatLabelName\tWrRdTestBinary\t"
              "WrRdTestCount\tUpdateFWResult\tReloadFWResult\tDoPartitionFormatResult\tDoFormatResult\t"
              "DoWrRdTestResult\tDoPreloadResult\t");
}

TEST(MPResultLog, RecordWithEveryStep)
{
    EXPECT_EQ(strMPResultRecord(Day(2024, 3, 5), 3, LoggedDevice(), Mixed(), AllSteps()),
              kIdentity +
                  "E\t4\t1D6B\t7951\t0100\tMaker\tBox\t \t1\t/fw/BR_USB4.bin\t1\tLABEL\ttest.bin\t3\t"
                  "PASS\tFAIL\tPASS\tPASS\tFAIL\tPASS\t \t");
}

TEST(MPResultLog, DisabledStepsLeaveEmptyColumns)
{
    IniSettings s = AllSteps();
    s.fw_enable = 0;
    s.fw_reload = 0;
    s.format_enable = 0;
    s.wr_test_enable = 0;
    s.preload_enable = 0;
    const std::string record = strMPResultRecord(Day(2024, 3, 5), 3, LoggedDevice(), Mixed(), s);
    std::string empties;
    for (int i = 0; i < 9 + 2 + 2 + 6 + 1; ++i) empties += " \t";
    EXPECT_EQ(record, kIdentity + "E\t" + empties);
}

TEST(MPResultLog, ColumnsLineUpWithTheHeader)
{
    const std::string record = strMPResultRecord(Day(2024, 3, 5), 3, LoggedDevice(), Mixed(), AllSteps());
    const auto tabs = std::count(record.begin(), record.end(), '\t');
    // One column per header name and the closing empty column.
    EXPECT_EQ(tabs, static_cast<long>(kMPResultLogColumns) + 1);
}

TEST(MPResultLog, DeviceWithoutVolumeAndControlCharacters)
{
    DeviceInfo d = LoggedDevice();
    d.m_cDriveLetter = kNoDriveLetter;
    d.m_ucPhysicalAddress = kAddressNotFound;
    d.m_strProduct = "Bad\tBox\r\n";
    IniSettings s = AllSteps();
    s.fw_enable = 0;
    s.fw_reload = 0;
    const std::string record = strMPResultRecord(Day(2024, 3, 5, 23, 59, 0), 0, d, StepResults{}, s);
    EXPECT_NE(record.find("\tMaker\tBad Box  \t"), std::string::npos) << record;
    EXPECT_NE(record.find("\t255\t \t"), std::string::npos) << record;
    EXPECT_EQ(record.find('\x7f'), std::string::npos);
    EXPECT_EQ(record.find("\r\n", 2), std::string::npos);
    EXPECT_EQ(record.substr(0, 23), "\r\n20240305\t23:59:00\t00\t");
}

TEST(MPResultLog, FirstRecordOfTheDayCreatesTheFileWithTheHeader)
{
    testsupport::TempFolder folder;
    const std::tm day = Day(2024, 3, 5);
    const std::string first = strMPResultRecord(day, 3, LoggedDevice(), Mixed(), AllSteps());
    ASSERT_TRUE(vLogMPResult(folder.Path().string(), day, 3, LoggedDevice(), Mixed(), AllSteps()));
    EXPECT_EQ(ReadAll(folder.Path() / "20240305.log"), strMPResultLogHeader() + first);

    DeviceInfo second = LoggedDevice();
    second.m_ulPortIndex = 4;
    const std::tm later = Day(2024, 3, 5, 9, 0, 0);
    ASSERT_TRUE(vLogMPResult(folder.Path().string(), later, 4, second, StepResults{}, AllSteps()));
    EXPECT_EQ(ReadAll(folder.Path() / "20240305.log"),
              strMPResultLogHeader() + first + strMPResultRecord(later, 4, second, StepResults{}, AllSteps()));

    // The next day starts its own file.
    ASSERT_TRUE(vLogMPResult(folder.Path().string(), Day(2024, 3, 6), 0, second, StepResults{}, AllSteps()));
    EXPECT_EQ(ReadAll(folder.Path() / "20240306.log").rfind(strMPResultLogHeader() + "\r\n", 0), 0u);
}

TEST(MPResultLog, LongRecordsAreWrittenWhole)
{
    testsupport::TempFolder folder;
    IniSettings s = AllSteps();
    SetIniString(s.fw_binary_name, std::string(254, 'f'));
    SetIniString(s.wr_test_binary_name, std::string(254, 'w'));
    SetIniString(s.manufacturer_string, std::string(254, 'm'));
    DeviceInfo d = LoggedDevice();
    d.m_strProduct = std::string(400, 'p');
    const std::tm day = Day(2024, 3, 5);
    const std::string record = strMPResultRecord(day, 1, d, Mixed(), s);
    ASSERT_GT(record.size(), 1024u);
    ASSERT_TRUE(vLogMPResult(folder.Path().string(), day, 1, d, Mixed(), s));
    EXPECT_EQ(ReadAll(folder.Path() / "20240305.log"), strMPResultLogHeader() + record);
}

TEST(MPResultLog, UnwritableFolderIsReported)
{
    testsupport::TempFolder folder;
    EXPECT_FALSE(vLogMPResult((folder.Path() / "missing").string(), Day(2024, 3, 5), 0, LoggedDevice(), Mixed(),
                              AllSteps()));
}

TEST(MPResultLog, TodaysLogInTheToolsFolder)
{
    testsupport::TempFolder folder;
    CUSBUtility& utility = CUSBUtility::Instance();
    const std::string previous = utility.GetProgramFolder();
    utility.SetProgramFolder(folder.Path().string());
    const bool written = vLogMPResult(0, LoggedDevice(), Mixed(), AllSteps());
    utility.SetProgramFolder(previous);
    ASSERT_TRUE(written);

    int logs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        ++logs;
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.size(), 12u);
        EXPECT_EQ(name.substr(8), ".log");
        EXPECT_EQ(ReadAll(entry.path()).rfind(strMPResultLogHeader() + "\r\n" + name.substr(0, 8) + "\t", 0), 0u);
    }
    EXPECT_EQ(logs, 1);
}
