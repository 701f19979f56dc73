#include "engine/ResultTable.h"

#include <cerrno>
#include <cstdio>
#include <strings.h>

#include "device/BrvtUSBDev.h"
#include "engine/StepResults.h"
#include "log/DebugLog.h"

namespace engine {

// Titles from the language table, widths in pixels.
const std::array<ResultColumnLayout, kResultColumnCount> kResultColumns{{
    {kLanguageTable.strResultColumns[0], 45},
    {kLanguageTable.strResultColumns[1], 80},
    {kLanguageTable.strResultColumns[2], 48},
    {kLanguageTable.strResultColumns[3], 48},
    {kLanguageTable.strResultColumns[4], 154},
    {kLanguageTable.strResultColumns[5], 112},
    {kLanguageTable.strResultColumns[6], 32},
    {kLanguageTable.strResultColumns[7], 100},
    {kLanguageTable.strResultColumns[8], 70},
    {kLanguageTable.strResultColumns[9], 74},
    {kLanguageTable.strResultColumns[10], 74},
    {kLanguageTable.strResultColumns[11], 110},
    {kLanguageTable.strResultColumns[12], 70},
    {kLanguageTable.strResultColumns[13], 70},
    {kLanguageTable.strResultColumns[14], 65},
    {kLanguageTable.strResultColumns[15], 60},
    {kLanguageTable.strResultColumns[16], 60},
    {kLanguageTable.strResultColumns[17], 60},
    {kLanguageTable.strResultColumns[18], 60},
}};

namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};
constexpr uint8_t kNoDevice = 255;

bool EqualsNoCase(std::string_view a, const char* b)
{
    const std::string_view bv(b);
    if (a.size() != bv.size()) return false;
    return ::strncasecmp(a.data(), bv.data(), a.size()) == 0;
}

bool InRange(int row, int column)
{
    return row >= 0 && row < kResultRows && column >= 0 && column < kResultColumnCount;
}

uint64_t CapacityBytes(int32_t sizeLow, int32_t sizeHigh)
{
    return (uint64_t{static_cast<uint32_t>(sizeHigh)} << 32) | static_cast<uint32_t>(sizeLow);
}

}  // namespace

CellColours CellColoursFor(int colourMode, std::string_view text)
{
    if (colourMode == kModeGreen || EqualsNoCase(text, PassText)) return {{0, 200, 0}, kWhite};
    if (colourMode == kModeRed || EqualsNoCase(text, FailText)) return {{255, 0, 0}, kWhite};
    switch (colourMode) {
    case kModeBlue: return {{0, 0, 255}, kWhite};
    case kModeOrange: return {{255, 165, 0}, kWhite};
    case kModePurple: return {{180, 0, 180}, kWhite};
    default: return {kWhite, kBlack};
    }
}

std::string strCapacityText(int32_t sizeLow, int32_t sizeHigh)
{
    const uint64_t bytes = CapacityBytes(sizeLow, sizeHigh);
    if (bytes == UINT64_MAX) return {};
    // The size is kept in 64 bits: a disk of 4 PiB or more must not wrap.
    const unsigned long long sizeMB = bytes >> 20;
    char text[32];
    if (sizeMB < 1025)
        std::snprintf(text, sizeof text, "%llu MB", sizeMB);
    else
        std::snprintf(text, sizeof text, "%llu GB", sizeMB / 1024);
    return text;
}

std::string strCCText(uint8_t cc)
{
    if (cc == 255) return "X";
    char text[8];
    std::snprintf(text, sizeof text, "%x", cc + 1);
    return text;
}

bool bIsUsb3SpeedText(std::string_view speedText)
{
    return EqualsNoCase(speedText, "SUPER") || EqualsNoCase(speedText, "PLUS");
}

int iIdentityColourMode(const DeviceInfo& device)
{
    int mode = kModeOrange;
    const std::string& speed = device.m_strUsbConnectionStatus;
    if (speed.find("SUPER") != std::string::npos || speed.find("PLUS") != std::string::npos) mode = kModeBlue;
    if (device.m_ucU4Mode == 1 || device.m_ucU4Mode == 3)
        mode = kModeBlue;
    else if (device.m_ucU4Mode == 2)
        mode = kModePurple;
    return mode;
}

CResultTable::CResultTable(RunObserver* observer) : m_pObserver(observer) {}

void CResultTable::SetObserver(RunObserver* observer)
{
    util::MutexLock lock(m_Lock);
    m_pObserver = observer;
}

void CResultTable::SetCellLocked(int row, int column, const std::string& text, int colourMode)
{
    if (!InRange(row, column)) return;
    ResultCell& cell = m_View.cells[row][column];
    cell.text = text;
    cell.colourMode = colourMode;
    if (m_pObserver) m_pObserver->OnCellChanged(row, column, text, colourMode, CellColoursFor(colourMode, text));
}

void CResultTable::vSetMainResultItemTable()
{
    util::MutexLock lock(m_Lock);
    for (int row = 0; row < kResultRows; ++row) {
        for (int column = 1; column < kResultColumnCount; ++column) SetCellLocked(row, column, "", kModePlain);
        SetCellLocked(row, kColPort, std::to_string(row), kModePlain);
    }
}

void CResultTable::vUpdateMainResultItemTable(int row, int column, const std::string& text, int colourMode)
{
    try {
        util::MutexLock lock(m_Lock);
        SetCellLocked(row, column, text, colourMode);
    } catch (...) {
        DBG_ERR("%s:%d: vUpdateResultItemTable: dwErrorCode : %d ", errno);
    }
}

void CResultTable::ClearColumnsLocked(std::initializer_list<int> columns)
{
    for (int row = 0; row < kResultRows; ++row)
        for (int column : columns) SetCellLocked(row, column, "", kModePlain);
}

void CResultTable::vClearMainResultSubItemTable()
{
    try {
        util::MutexLock lock(m_Lock);
        ClearColumnsLocked({kColStatus, kColVID, kColPID, kColSerialNumber, kColFWVersion, kColCapacity, kColCC,
                            kColU4Mode, kColPD});
    } catch (...) {
        DBG_ERR("%s:%d: vClearMainResultSubItemTable: dwErrorCode : %d", errno);
    }
}

void CResultTable::vClearMainResultSubItemStatusTable()
{
    try {
        util::MutexLock lock(m_Lock);
        ClearColumnsLocked({kColUpdate, kColReLink, kColPartition, kColRWTest, kColPreload});
    } catch (...) {
        DBG_ERR("%s:%d: vClearMainResultSubItemStatusTable: dwErrorCode : %d", errno);
    }
}

bool CResultTable::UpdateRowLocked(int row, DeviceInfo& device)
{
    if (device.m_ucDevIdx == kNoDevice || row < 0 || row >= kResultRows) return false;
    const int mode = iIdentityColourMode(device);
    SetCellLocked(row, kColStatus, device.m_strUsbConnectionStatus, mode);
    SetCellLocked(row, kColVID, device.m_strVID, mode);
    SetCellLocked(row, kColPID, device.m_strPID, mode);
    SetCellLocked(row, kColSerialNumber, device.m_strSerialNumber, mode);
    SetCellLocked(row, kColFWVersion, device.m_strFWVersion, mode);

    const uint64_t bytes = CapacityBytes(device.m_iDiskSizeLow, device.m_iDiskSizeHigh);
    const uint64_t sizeMB = bytes == UINT64_MAX ? 0 : bytes >> 20;
    SetCellLocked(row, kColCapacity, strCapacityText(device.m_iDiskSizeLow, device.m_iDiskSizeHigh),
                  kModePlain);
    SetCellLocked(row, kColCC, strCCText(device.m_ucCCOrientation), mode);

    const char* u4ModeText = U4ModeText(device.m_ucU4Mode);
    if (device.m_ucU4Mode != 255) {
        SetCellLocked(row, kColU4Mode, u4ModeText, mode);
        DBG_MSG("%s:%d: u4 mode:%d, str:%s", device.m_ucU4Mode, u4ModeText);
        if (device.m_ucU4Mode != 0) {
            // On a USB4 link the USB3 status text means nothing; the link
            // is named by its USB4 speed instead.
            device.m_strUsbConnectionStatus = U4SpeedText(device.m_ucLinkSpeed);
            DBG_MSG("%s:%d: u4 spd : %d, s:%s", device.m_ucLinkSpeed,
                    device.m_strUsbConnectionStatus.c_str());
            SetCellLocked(row, kColStatus, device.m_strUsbConnectionStatus, mode);
        }
    }
    DBG_MSG("%s:%d: #port[%d], Status[%s], VID[%s], PID[%s], SN[%s], FW[%s], Capacity[%u], U4 Mode[%s], "
            "EXT FW[%s] ",
            device.m_ucDevIdx, device.m_strUsbConnectionStatus.c_str(), device.m_strVID.c_str(),
            device.m_strPID.c_str(), device.m_strSerialNumber.c_str(), device.m_strFWVersion.c_str(),
            static_cast<unsigned>(sizeMB), u4ModeText, device.m_strPDVersion.c_str());
    return true;
}

void CResultTable::vUpdateMainResultSubItemRow(int row, DeviceInfo& device)
{
    util::MutexLock lock(m_Lock);
    UpdateRowLocked(row, device);
}

void CResultTable::vUpdateMainResultSubItemTable(DeviceList& list, uint8_t clear)
{
    if (clear == 1) {
        vClearMainResultSubItemTable();
        vResetProgress();
    }
    bool anyPresent = false;
    {
        util::MutexLock lock(m_Lock);
        for (int i = 0; i < kResultRows; ++i) anyPresent = UpdateRowLocked(i, list.Devs[i]) || anyPresent;
    }
    // Emptying the step columns once after the rows is the same as after each row:
    // they are not identity columns.
    if (clear == 1 && anyPresent) vClearMainResultSubItemStatusTable();
}

ResultCell CResultTable::GetCell(int row, int column) const
{
    util::MutexLock lock(m_Lock);
    if (!InRange(row, column)) return {};
    return m_View.cells[row][column];
}

TableView CResultTable::View() const
{
    util::MutexLock lock(m_Lock);
    return m_View;
}

void CResultTable::ResetProgressLocked()
{
    m_View.progressText = "0%";
    m_View.progressPosition = 0;
    if (m_pObserver) {
        m_pObserver->OnProgressText(m_View.progressText);
        m_pObserver->OnProgressPosition(0);
    }
}

void CResultTable::vResetProgress()
{
    util::MutexLock lock(m_Lock);
    ResetProgressLocked();
}

void CResultTable::vSetProgressPosition(int position)
{
    util::MutexLock lock(m_Lock);
    m_View.progressPosition = position < 0 ? 0 : (position > 100 ? 100 : position);
    if (m_pObserver) m_pObserver->OnProgressPosition(m_View.progressPosition);
}

int CResultTable::iGetProgressPosition() const
{
    util::MutexLock lock(m_Lock);
    return m_View.progressPosition;
}

int CResultTable::iAdvanceProgressActivity()
{
    util::MutexLock lock(m_Lock);
    m_View.progressPosition = m_View.progressPosition >= 100 ? 0 : m_View.progressPosition + 1;
    if (m_pObserver) m_pObserver->OnProgressPosition(m_View.progressPosition);
    return m_View.progressPosition;
}

void CResultTable::vShowAverageProgress(int percent)
{
    char text[32];
    std::snprintf(text, sizeof text, "%3d %%", percent);
    util::MutexLock lock(m_Lock);
    m_View.progressText = text;
    if (m_pObserver) m_pObserver->OnProgressText(m_View.progressText);
}

std::string CResultTable::strProgressText() const
{
    util::MutexLock lock(m_Lock);
    return m_View.progressText;
}

void CResultTable::SetIndicatorsLocked(bool showPass, bool showFail)
{
    m_View.showPass = showPass;
    m_View.showFail = showFail;
    if (m_pObserver) m_pObserver->OnResultIndicators(showPass, showFail);
}

void CResultTable::SetBarColourLocked(Rgb colour)
{
    m_View.barColour = colour;
    if (m_pObserver) m_pObserver->OnProgressBarColour(colour);
}

void CResultTable::vSetRunStartBarColour(std::string_view firstDeviceSpeedText)
{
    util::MutexLock lock(m_Lock);
    SetBarColourLocked(bIsUsb3SpeedText(firstDeviceSpeedText) ? kBarRunningUsb3 : kBarRunning);
}

void CResultTable::vHideResultIndicators()
{
    util::MutexLock lock(m_Lock);
    SetIndicatorsLocked(false, false);
}

void CResultTable::vShowRunResult(uint8_t runResult)
{
    util::MutexLock lock(m_Lock);
    SetIndicatorsLocked(runResult == kRunPass, runResult == kRunFail);
    if (runResult == kRunFail || runResult == kRunPass) SetBarColourLocked(runResult == kRunFail ? kBarFail : kBarPass);
}

void CResultTable::NotifyCountersLocked()
{
    if (m_pObserver) m_pObserver->OnCountersChanged(m_View.passCount, m_View.failCount, m_View.totalCount);
}

void CResultTable::vCountDevice(bool passed)
{
    util::MutexLock lock(m_Lock);
    if (passed)
        ++m_View.passCount;
    else
        ++m_View.failCount;
    ++m_View.totalCount;
    NotifyCountersLocked();
}

void CResultTable::vClearCount()
{
    util::MutexLock lock(m_Lock);
    m_View.passCount = m_View.failCount = m_View.totalCount = 0;
    NotifyCountersLocked();
}

uint32_t CResultTable::PassCount() const
{
    util::MutexLock lock(m_Lock);
    return m_View.passCount;
}

uint32_t CResultTable::FailCount() const
{
    util::MutexLock lock(m_Lock);
    return m_View.failCount;
}

uint32_t CResultTable::TotalCount() const
{
    util::MutexLock lock(m_Lock);
    return m_View.totalCount;
}

}  // namespace engine
