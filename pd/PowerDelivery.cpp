#include "pd/PowerDelivery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/ScopedHandle.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"
#include "util/Clock.h"

namespace pd {

namespace {

constexpr uint8_t kOpPDVendor = 0xEC;
constexpr uint8_t kPDCdbLength = 8;
constexpr uint32_t kTimeOutPDOut = 60;
constexpr uint32_t kTimeOutPDIn = 3;
constexpr uint16_t kRichtekOpenArea = 0x3FFF;
constexpr uint16_t kPDRegion = 0x1000;
constexpr uint16_t kCCG3ModeRegion = 0x100;
constexpr uint8_t kIdentificationValid = 0x5A;
constexpr int kAttempts = 3;
constexpr int kRetryGapMs = 10;
constexpr int kConfigGapMs = 500;
constexpr int kBootloaderSettleMs = 1000;
constexpr uint32_t kRichtekWords = kRichtekImageSize / 4;

std::string DrivePath(int drive)
{
    char path[40];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", drive);
    return path;
}

}  // namespace

uint16_t CypressRowParameter(int vendor, uint16_t row)
{
    if (vendor == kVendorCCG3) return static_cast<uint16_t>((row & 0xFF) << 8 | row >> 8);
    return static_cast<uint16_t>(row << 8);
}

bool IsCypressDataRow(const CypressFWRow& row) { return row.ucArrayID == 0x00 || row.ucArrayID == 0x40; }

CPowerDelivery::CPowerDelivery(platform::IStation& station) : m_Transport(station) {}

int CPowerDelivery::SCSI8306_PDVendorCmd(HANDLE hDev, uint8_t ReadWrite, uint8_t subCommand, uint16_t paramA,
                                         uint16_t paramB, uint8_t* buffer, uint32_t length)
{
    const bool out = ReadWrite == kWriteToDevice;
    if (!IsValidHandle(hDev) || length > kPDMaxTransfer || (length > 0 && !buffer) ||
        (subCommand == PD_WRITE_DATA && (!buffer || length < 4))) {
        DBG_ERR("%s:%d: (hDev == NULL) or (dwTotalLen != CONFIG_BIN_SIZE)  hDev:%x , ReadWrite:%x , BufLen:%x , "
                "dwErrorCode:%x  ",
                HandleText(hDev), ReadWrite, length, platform::GetLastError());
        return kCommandInvalidArgument;
    }
    try {
        uint8_t cdb[kPDCdbLength] = {kOpPDVendor, subCommand, static_cast<uint8_t>(paramA >> 8),
                                     static_cast<uint8_t>(paramA), static_cast<uint8_t>(paramB >> 8),
                                     static_cast<uint8_t>(paramB), 0, 0};
        uint32_t dataLength = 0;
        if (out) {
            if (subCommand == PD_WRITE_DATA) std::memcpy(&cdb[4], buffer, 4);  // the word rides in the block
            if (subCommand == ST_MCU_WRITE_DATA) cdb[6] = static_cast<uint8_t>(length);
            if (subCommand == CYPRESS_PD_WRITE_DATA || subCommand == CYPRESS_PD_CCG3_WRITE_DATA ||
                subCommand == ST_MCU_WRITE_DATA)
                dataLength = length;
        } else {
            if (subCommand == ST_MCU_READ_DATA) cdb[6] = static_cast<uint8_t>(length);
            if (subCommand == PD_READ_DATA) cdb[7] = static_cast<uint8_t>(length);
            dataLength = subCommand == PD_FW_VERSION_RICHTEK ? std::min<uint32_t>(2, length) : length;
            if (buffer) std::memset(buffer, 0, length);
        }
        const PassThroughOutcome outcome = m_Transport.Send(
            hDev, {cdb, kPDCdbLength, out ? platform::SCSI_IOCTL_DATA_OUT : platform::SCSI_IOCTL_DATA_IN,
                   dataLength ? buffer : nullptr, dataLength, out ? kTimeOutPDOut : kTimeOutPDIn});
        if (outcome.Success()) return kCommandSuccess;
        if (out)
            DBG_ERR("%s:%d: SCSI8306_AccessRegister: (status = Fail) hDev:%x , ReadWrite:%x , dwTotalLen:%x , "
                    "status:%x , ScsiStatus:%x , dwErrorCode:%d  ",
                    HandleText(hDev), ReadWrite, dataLength, outcome.callSucceeded, outcome.scsiStatus,
                    outcome.lastError);
        else
            DBG_ERR("%s:%d: (status = Fail) hDev:%x , ReadWrite:%x , BufLen:%x , status:%x , ScsiStatus:%x , "
                    "dwErrorCode:%x  ",
                    HandleText(hDev), ReadWrite, dataLength, outcome.callSucceeded, outcome.scsiStatus,
                    outcome.lastError);
    } catch (...) {
        DBG_ERR("%s:%d: catch %d", static_cast<int>(platform::GetLastError()));
    }
    if (!out && buffer) std::memset(buffer, 0, length);
    return kCommandFailed;
}

HANDLE CPowerDelivery::OpenDrive(int drive, std::string& path)
{
    path = DrivePath(drive);
    HANDLE handle =
        device::host::CreateFile(m_Transport.Station(), path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    if (!IsValidHandle(handle))
        DBG_ERR("%s:%d: CreateFile Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d", path.c_str(),
                static_cast<int>(platform::GetLastError()));
    return handle;
}

int CPowerDelivery::SendWithRetry(HANDLE hDev, uint8_t ReadWrite, uint8_t sub, uint16_t a, uint16_t b,
                                  uint8_t* buffer, uint32_t length,
                                  const std::function<void(int attempt, int result)>& onRetry)
{
    int result = kCommandFailed;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) util::SleepMs(kRetryGapMs);
        result = SCSI8306_PDVendorCmd(hDev, ReadWrite, sub, a, b, buffer, length);
        if (result == kCommandSuccess) return result;
        if (onRetry) onRetry(attempt, result);
    }
    return result;
}

int CPowerDelivery::nInitializedPDI2CBus(int drive)
{
    std::string path;
    {
        ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
        if (!handle.Valid()) return kCommandFailed;
        const int result = SCSI8306_PDVendorCmd(handle.Get(), kWriteToDevice, PD_BUS_OPEN, 0, 0, nullptr, 0);
        if (result != kCommandSuccess) {
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd PD Initialization Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d",
                    path.c_str(), result);
            return result;
        }
    }
    int result = nGetPDChipVendor(drive);
    if (result != kCommandSuccess) {
        DBG_ERR("%s:%d: nGetPDChipVendor Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d", path.c_str(), result);
        return result;
    }
    if (m_nPDChipVendor == kVendorCCG3 || m_nPDChipVendor == kVendorCCG3Alt) {
        result = nGetCCG3DeviceMode(drive);
        if (result != kCommandSuccess)
            DBG_ERR("%s:%d: nGetCCG3DeviceMode Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d", path.c_str(),
                    result);
    }
    return result;
}

int CPowerDelivery::nClosePDI2CBus(int drive)
{
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    if (!handle.Valid()) return kCommandFailed;
    const int result = SCSI8306_PDVendorCmd(handle.Get(), kWriteToDevice, PD_BUS_CLOSE, 0, 0, nullptr, 0);
    if (result != kCommandSuccess)
        DBG_ERR("%s:%d: SCSI8306_PDVendorCmd PD Initialization Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d",
                path.c_str(), result);
    return result;
}

int CPowerDelivery::nGetPDChipVendor(int drive)
{
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    if (!handle.Valid()) return kCommandFailed;
    uint8_t answer[16];
    const int result = SendWithRetry(handle.Get(), kReadFromDevice, PD_GET_PD_CONTROL, kPDRegion, 0, answer,
                                     sizeof answer, [&](int attempt, int code) {
                                         DBG_WRN("%s:%d: SCSI8306_PDVendorCmd PD_GET_PD_CONTROL Retry[%d] , "
                                                 "strPhysicalAddress:[%s] ,  dwErrorCode %d",
                                                 attempt, path.c_str(), code);
                                     });
    if (result != kCommandSuccess) return result;
    m_nPDChipVendor = answer[1];
    m_nMCUChipVendor = answer[8] != 0 ? kVendorSTM : 0;
    DBG_MSG("%s:%d: m_nPDChipVendor=[%x], m_nMCUChipVendor=[%x]", m_nPDChipVendor, m_nMCUChipVendor);
    if (answer[0] != kIdentificationValid) {
        DBG_ERR("%s:%d: SCSI8306_PDVendorCmd PD_GET_PD_CONTROL  , strPhysicalAddress:[%s] ,  dwErrorCode %d",
                path.c_str(), answer[0]);
        return kPDInvalidIdentification;
    }
    return kCommandSuccess;
}

int CPowerDelivery::nGetCCG3DeviceMode(int drive)
{
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    if (!handle.Valid()) return kCommandFailed;
    uint8_t mode = 0;
    const int result = SendWithRetry(handle.Get(), kReadFromDevice, PD_GET_PD_CCG3_DeviceMode, kCCG3ModeRegion, 0,
                                     &mode, 1, [&](int attempt, int code) {
                                         DBG_WRN("%s:%d: SCSI8306_PDVendorCmd PD_GET_PD_CCG3_DeviceMode Retry[%d] , "
                                                 "strPhysicalAddress:[%s] ,  dwErrorCode %d",
                                                 attempt, path.c_str(), code);
                                     });
    if (result == kCommandSuccess) m_nCCG3DeviceMode = mode;
    return result;
}

int CPowerDelivery::ConfigAttempt(int vendor, HANDLE hDev, const std::string& path, int attempt)
{
    // The MCU's first bootloader entry, once per update run of this port.
    if (m_nMCUChipVendor == kVendorSTM && !m_bBootloaderEntered) {
        m_bBootloaderEntered = true;
        const int result = SCSI8306_PDVendorCmd(hDev, kWriteToDevice, ST_MCU_ENTER_BOOTLOADER, 0, 0, nullptr, 0);
        if (result != kCommandSuccess) {
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd ST_MCU_ENTER_BOOTLOADER Fail , retry[%d],  strPhysicalAddress:[%s] ,  "
                    "dwErrorCode %d",
                    attempt, path.c_str(), result);
            util::SleepMs(kConfigGapMs);
            m_bBootloaderEntered = false;
            return result;
        }
        util::SleepMs(kBootloaderSettleMs);
    }
    int result = kCommandFailed;
    switch (vendor) {
    case kVendorRichtek:
        result = SCSI8306_PDVendorCmd(hDev, kWriteToDevice, PD_MPT_AREA, 0, kRichtekOpenArea, nullptr, 0);
        if (result != kCommandSuccess)
            DBG_ERR("%s:%d: SCI8306_PDVendorCmd PD_MPT_AREA Fail ,nRetry[]%d,  strPhysicalAddress:[%s] ,  dwErrorCode %d",
                    attempt, path.c_str(), result);
        break;
    case kVendorCypress:
        result = SCSI8306_PDVendorCmd(hDev, kWriteToDevice, CYPRESS_PD_FLASH_MODE, 0, 0, nullptr, 0);
        if (result != kCommandSuccess)
            DBG_ERR("%s:%d: SCI8306_PDVendorCmd CYPRESS_PD_FLASH_MODE Fail ,nRetry[%d],  strPhysicalAddress:[%s] ,  "
                    "dwErrorCode %d",
                    attempt, path.c_str(), result);
        break;
    case kVendorCCG3:
        result = SCSI8306_PDVendorCmd(hDev, kWriteToDevice, CYPRESS_PD_CCG3_FLASH_MODE, 0, 0, nullptr, 0);
        if (result != kCommandSuccess)
            DBG_ERR("%s:%d: SCI8306_PDVendorCmd CYPRESS_PD_CCG3_FLASH_MODE Fail ,nRetry[%d],  strPhysicalAddress:[%s] ,  "
                    "dwErrorCode %d",
                    attempt, path.c_str(), result);
        break;
    case kVendorSTM:
        result = SCSI8306_PDVendorCmd(hDev, kWriteToDevice, ST_MCU_ENTER_BOOTLOADER_FLASH, 0, 0, nullptr, 0);
        if (result != kCommandSuccess)
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd ST_MCU_ENTER_BOOTLOADER Fail ,retry[%d],  strPhysicalAddress:[%s] ,  "
                    "dwErrorCode %d",
                    attempt, path.c_str(), result);
        break;
    default: DBG_ERR("%s:%d: m_nPDChipVendor is KNOWN[%d]", vendor); return kCommandInvalidArgument;
    }
    return result;
}

int CPowerDelivery::nConfigMTPArea(int vendor, int drive)
{
    DBG_MSG("%s:%d: nConfigMTPArea Entry~~");
    if (vendor == kVendorUnknown) {
        DBG_ERR("%s:%d: m_nPDChipVendor is UNKNOW Failed");
        return kCommandInvalidArgument;
    }
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    if (!handle.Valid()) return kCommandFailed;
    int result = kCommandFailed;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) util::SleepMs(kConfigGapMs);
        result = ConfigAttempt(vendor, handle.Get(), path, attempt);
        if (result == kCommandSuccess || result == kCommandInvalidArgument) break;
    }
    return result;
}

int CPowerDelivery::nGetPDFWVersion(int drive, bool pdEnabled, bool mcuEnabled)
{
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    m_strDeviceVersion = "NULL";
    if (!handle.Valid()) return kCommandFailed;
    std::string pdVersion = "NULL";
    uint8_t answer[16];
    char text[40];
    if (m_nPDChipVendor == kVendorRichtek) {
        if (SCSI8306_PDVendorCmd(handle.Get(), kReadFromDevice, PD_FW_VERSION_RICHTEK, 0, 0, answer, 2) !=
            kCommandSuccess) {
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd RichTek PD_FW_VERSION Fail , strPhysicalAddress:[%s] ,  dwErrorCode %d",
                    path.c_str(), static_cast<int>(platform::GetLastError()));
            return kCommandFailed;
        }
        std::snprintf(text, sizeof text, "%02X%02X", answer[1], answer[0]);
        pdVersion = text;
    } else if (m_nPDChipVendor == kVendorCypress || m_nPDChipVendor == kVendorCCG3 ||
               m_nPDChipVendor == kVendorCCG3Alt) {
        uint8_t sub = PD_FW_VERSION_CYPRESS;
        if (m_nPDChipVendor != kVendorCypress)
            sub = m_nCCG3DeviceMode == 1 ? PD_FW_VERSION_CYPRESS : m_nCCG3DeviceMode == 2 ? PD_FW_VERSION_CCG3_MODE2 : 0;
        if (sub != 0) {
            if (SCSI8306_PDVendorCmd(handle.Get(), kReadFromDevice, sub, kPDRegion, 0, answer, sizeof answer) !=
                kCommandSuccess) {
                DBG_ERR("%s:%d: SCSI8306_PDVendorCmd CYPress PD_FW_VERSION Fail , strPhysicalAddress:[%s] ,  "
                        "dwErrorCode %d",
                        path.c_str(), static_cast<int>(platform::GetLastError()));
                return kCommandFailed;
            }
            std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X", answer[8], answer[9], answer[10],
                          answer[11], answer[12], answer[13], answer[14], answer[15]);
            pdVersion = text;
        }
    }
    const std::string mcuVersion = m_nMCUChipVendor == kVendorSTM ? "FFFF" : "NULL";
    if (pdEnabled && mcuEnabled) m_strDeviceVersion = pdVersion + "/" + mcuVersion;
    else if (mcuEnabled) m_strDeviceVersion = mcuVersion;
    else m_strDeviceVersion = pdVersion;
    return kCommandSuccess;
}

int CPowerDelivery::WriteRichtek(HANDLE hDev, const std::string& path, const PDFirmwareFile& file,
                                 const PDProgress& progress)
{
    for (uint32_t word = 0; word < kRichtekWords; ++word) {
        uint8_t bytes[4];
        std::memcpy(bytes, &file.richtek[word * 4], 4);
        DBG_MSG("%s:%d:  PD_WRITE_DATA , ,  ucAddr=[%x],ucBuf[2:0]=[%x, %x, %x, %x] ", word, bytes[0], bytes[1],
                bytes[2], bytes[3]);
        const int result = SendWithRetry(hDev, kWriteToDevice, PD_WRITE_DATA, static_cast<uint16_t>(word), 0, bytes,
                                         4, [&](int attempt, int code) {
                                             DBG_WRN("%s:%d: SCSI8306_PDVendorCmd PD_WRITE_DATA Retry[%d] , "
                                                     "strPhysicalAddress:[%s] ,  ucAddr=[%x], dwErrorCode %d",
                                                     attempt, path.c_str(), word, code);
                                         });
        if (result != kCommandSuccess) {
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd PD_WRITE_DATA Fail , strPhysicalAddress:[%s] ,  ucAddr=[%x], "
                    "dwErrorCode %d",
                    path.c_str(), word, result);
            return result;
        }
        if (progress && (word + 1) % 70 == 0) progress(word + 1, kRichtekWords);
    }
    return kCommandSuccess;
}

int CPowerDelivery::WriteCypress(int vendor, HANDLE hDev, const std::string& path, const PDFirmwareFile& file,
                                 const PDProgress& progress)
{
    const bool ccg3 = vendor == kVendorCCG3;
    const uint8_t sub = ccg3 ? CYPRESS_PD_CCG3_WRITE_DATA : CYPRESS_PD_WRITE_DATA;
    const auto& rows = file.cypress.rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        CypressFWRow row = rows[i];
        if (!IsCypressDataRow(row)) {
            DBG_WRN("%s:%d: CYPRESS_PD m_CypressFWBuf[%d].ucArrayID is not data, ucArrayID=%x", static_cast<int>(i),
                    row.ucArrayID);
            continue;
        }
        // Row * 256 leaves a Cypress PD only rows 0..255: a higher row would land elsewhere.
        if (!ccg3 && row.wRowNum > 0xFF) {
            DBG_ERR("%s:%d: CYPRESS_PD row %x is beyond the rows a Cypress PD can address", row.wRowNum);
            return kCommandInvalidArgument;
        }
        const int result = SendWithRetry(
            hDev, kWriteToDevice, sub, CypressRowParameter(vendor, row.wRowNum), 0, row.ucData.data(), kCypressRowSize,
            [&](int attempt, int code) {
                if (ccg3)
                    DBG_WRN("%s:%d: SCSI8306_PDVendorCmd CYPRESS_PD_CCG3_WRITE_DATA Retry[%d] , strPhysicalAddress:[%s] ,  "
                            "nRowCnt=[%x], dwErrorCode %d",
                            attempt, path.c_str(), row.wRowNum, code);
                else
                    DBG_WRN("%s:%d: SCSI8306_PDVendorCmd CYPRESS_PD_WRITE_DATA Retry[%d] , strPhysicalAddress:[%s] ,  "
                            "nRowCnt=[%x], dwErrorCode %d",
                            attempt, path.c_str(), row.wRowNum, code);
            });
        if (result != kCommandSuccess) {
            if (ccg3)
                DBG_ERR("%s:%d: SCSI8306_PDVendorCmd CYPRESS_PD_CCG3_WRITE_DATA Fail , strPhysicalAddress:[%s] ,  "
                        "nRowCnt=[%x], iResult %d",
                        path.c_str(), row.wRowNum, result);
            else
                DBG_ERR("%s:%d: SCSI8306_PDVendorCmd PD_CYPRESS_FW_DATA_SECTOR Fail , strPhysicalAddress:[%s] ,  "
                        "nRowCnt=[%x], iResult %d",
                        path.c_str(), row.wRowNum, result);
            return result;
        }
        if (progress) progress(static_cast<uint32_t>(i + 1), static_cast<uint32_t>(rows.size()));
    }
    return kCommandSuccess;
}

int CPowerDelivery::WriteMCU(HANDLE hDev, const std::string& path, const PDFirmwareFile& file,
                             const PDProgress& progress)
{
    MCUImage image = BuildMCUImage(file.mcu);
    const uint32_t pieces = (image.length + kMCUChunk - 1) / kMCUChunk;
    for (uint32_t offset = 0; offset < image.length; offset += kMCUChunk) {
        const uint32_t size = std::min(kMCUChunk, image.length - offset);
        const int result = SendWithRetry(hDev, kWriteToDevice, ST_MCU_WRITE_DATA, image.upperAddress,
                                         static_cast<uint16_t>(offset), &image.bytes[offset], size,
                                         [&](int attempt, int code) {
                                             DBG_WRN("%s:%d: SCSI8306_PDVendorCmd ST_MCU_WRITE_DATA Retry[%d] , "
                                                     "strPhysicalAddress:[%s] ,  nRowCnt=[%x], dwErrorCode %d",
                                                     attempt, path.c_str(), offset, code);
                                         });
        if (result != kCommandSuccess) {
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd ST_MCU_WRITE_DATA Fail , strPhysicalAddress:[%s] ,  "
                    "nMCUDataCnt=[%x], dwErrorCode %d",
                    path.c_str(), offset, result);
            return result;
        }
        if (progress) progress(offset / kMCUChunk + 1, pieces);
    }
    return kCommandSuccess;
}

int CPowerDelivery::nPDFWUpdate(int vendor, int drive, const PDFirmwareFile& file, const PDProgress& progress)
{
    DBG_MSG("%s:%d: [%d] nPDFWUpdate Entry~~~ucChipVendor=%x", drive, vendor);
    if (!file.Accepted()) {
        for (const auto& finding : file.findings) DBG_ERR("%s:%d: %s", FindingText(file.path, finding).c_str());
        return kCommandInvalidArgument;
    }
    const bool fits = (vendor == kVendorRichtek && file.kind == PDFileKind::Richtek) ||
                      ((vendor == kVendorCypress || vendor == kVendorCCG3) && file.kind == PDFileKind::Cypress) ||
                      (vendor == kVendorSTM && file.kind == PDFileKind::STMHex);
    if (vendor == kVendorRichtek && !fits) {
        DBG_ERR("%s:%d: Richtek PD[%d] Buffer is null", drive);
        return kCommandInvalidArgument;
    }
    if ((vendor == kVendorCypress || vendor == kVendorCCG3) && (!fits || file.cypress.header.dwSliconID == 0)) {
        DBG_ERR("%s:%d: Cypress PD[%d]  (m_CypressFWHeader.dwSliconID=0)", drive);
        return kCommandInvalidArgument;
    }
    if (!fits) return kCommandInvalidArgument;
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    if (!handle.Valid()) return kCommandFailed;
    switch (vendor) {
    case kVendorRichtek:
        DBG_MSG("%s:%d: [%d]RICHMAN  nPDFWUpdate ucChipVendor=%x", drive, vendor);
        return WriteRichtek(handle.Get(), path, file, progress);
    case kVendorSTM:
        DBG_MSG("%s:%d: [%d]STM  nPDFWUpdate ucChipVendor=%x", drive, vendor);
        return WriteMCU(handle.Get(), path, file, progress);
    default:
        DBG_MSG("%s:%d: [%d]Cypress  nPDFWUpdate ucChipVendor=%x", drive, vendor);
        return WriteCypress(vendor, handle.Get(), path, file, progress);
    }
}

int CPowerDelivery::nPDFWRead(int vendor, int drive, const PDFirmwareFile& file, uint32_t size, PDReadBack& readBack)
{
    DBG_MSG("%s:%d: [%d] nPDFWRead Entry~~~", drive);
    readBack.bytes.clear();
    std::string path;
    ScopedHandle handle(m_Transport.Station(), OpenDrive(drive, path));
    if (!handle.Valid()) return kCommandFailed;
    // One read of `length` bytes into the read-back at `at`, retried; `name` is the command's log name.
    const auto readPiece = [&](uint8_t sub, uint16_t a, uint16_t b, uint32_t at, uint32_t length, const char* name) {
        const int result = SendWithRetry(handle.Get(), kReadFromDevice, sub, a, b, &readBack.bytes[at], length,
                                         [&](int attempt, int code) {
                                             DBG_WRN("%s:%d: SCSI8306_PDVendorCmd %s Retry[%d] , strPhysicalAddress:[%s] "
                                                     ",  nRowCnt=[%x], dwErrorCode %d",
                                                     name, attempt, path.c_str(), b, code);
                                         });
        if (result != kCommandSuccess)
            DBG_ERR("%s:%d: SCSI8306_PDVendorCmd %s Fail , strPhysicalAddress:[%s] ,  nRowCnt=[%x], dwErrorCode %d",
                    name, path.c_str(), b, result);
        return result;
    };
    if (vendor == kVendorRichtek) {
        readBack.bytes.assign(kRichtekImageSize, 0);
        for (uint32_t offset = 0; offset < kRichtekImageSize; offset += kRichtekReadChunk)
            if (int r = readPiece(PD_READ_DATA, kPDRegion, static_cast<uint16_t>(offset), offset, kRichtekReadChunk,
                                  "PD_READ_DATA"))
                return r;
        return kCommandSuccess;
    }
    if (vendor == kVendorCypress || vendor == kVendorCCG3) {
        const auto& rows = file.cypress.rows;
        readBack.bytes.assign(rows.size() * kCypressRowSize, 0);
        const uint8_t sub = vendor == kVendorCCG3 ? CYPRESS_PD_CCG3_READ_DATA : CYPRESS_PD_READ_DATA;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (!IsCypressDataRow(rows[i])) continue;  // never written, nothing to read back
            if (int r = readPiece(sub, CypressRowParameter(vendor, rows[i].wRowNum), 0,
                                  static_cast<uint32_t>(i * kCypressRowSize), kCypressRowSize, "CYPRESS_PD_READ_DATA"))
                return r;
        }
        return kCommandSuccess;
    }
    if (vendor == kVendorSTM) {
        if (file.mcu.records.empty()) {
            DBG_ERR("%s:%d:  STM MCU  this->m_STMMCUFW[0].ucDataType is empty!!!!");
            return kCommandInvalidArgument;
        }
        const uint16_t upper = BuildMCUImage(file.mcu).upperAddress;
        size = std::min(size, kMCUImageSize);
        readBack.bytes.assign(size, 0);
        for (uint32_t offset = 0; offset < size; offset += kMCUChunk)
            if (int r = readPiece(ST_MCU_READ_DATA, upper, static_cast<uint16_t>(offset), offset,
                                  std::min(kMCUChunk, size - offset), "MCU_ST_FW_DATA_SECTOR"))
                return r;
        return kCommandSuccess;
    }
    return kCommandInvalidArgument;
}

int nCompareMCU(const PDFirmwareFile& file, const PDReadBack& readBack)
{
    const auto& records = file.mcu.records;
    for (size_t line = 0; line < records.size(); ++line) {
        const MCURecord& record = records[line];
        if (record.ucByteCount == 0) break;
        if (record.ucDataType != kHexData) continue;
        DBG_MSG("%s:%d: LineCnt=[%x], Read buffer offset[%x]", static_cast<unsigned>(line), record.wLoadOffset);
        for (uint32_t i = 0; i < record.ucByteCount; ++i) {
            const uint32_t at = record.wLoadOffset + i;
            if (at < readBack.bytes.size() && readBack.bytes[at] == record.ucData[i]) continue;
            DBG_ERR("%s:%d: MCU FW content compare Fail , LineCnt[%x], nAdd[ %x]", static_cast<unsigned>(line), at);
            DBG_ERR("%s:%d: nAdd[%x], ucpFileBuf[%x] != ReadBuf[%x]", at, record.ucData[i],
                    at < readBack.bytes.size() ? readBack.bytes[at] : 0u);
            return -3;
        }
    }
    return 0;
}

int nCompareCypress(int vendor, int ccg3Mode, const PDFirmwareFile& file, const PDReadBack& readBack)
{
    const auto& rows = file.cypress.rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        const CypressFWRow& row = rows[i];
        DBG_MSG("%s:%d: FW compare , LineCnt[%x], ucRowNum[%x], RowCnt[ %x]", static_cast<unsigned>(i), row.wRowNum,
                static_cast<unsigned>(i));
        if (!IsCypressDataRow(row)) continue;
        if (vendor == kVendorCCG3 && ((ccg3Mode == 1 && row.wRowNum == 1023) || (ccg3Mode == 2 && row.wRowNum == 1022)))
            continue;
        const uint8_t* back = readBack.bytes.data() + i * kCypressRowSize;
        if ((i + 1) * kCypressRowSize > readBack.bytes.size()) return -3;
        for (uint32_t b = 0; b < kCypressRowSize; ++b) {
            if (back[b] == row.ucData[b]) continue;
            DBG_ERR("%s:%d: FW content compare Fail , LineCnt[%x], RowCnt[ %x]", static_cast<unsigned>(i), row.wRowNum);
            DBG_ERR("%s:%d: Cnt[%x], ucpFileBuf[%x] != ReadBuf[%x]", b, row.ucData[b], back[b]);
            return -3;
        }
    }
    DBG_MSG("%s:%d: Cypress FW verification Pass!!");
    return 0;
}

int nCompareRichtek(const PDFirmwareFile& file, const PDReadBack& readBack)
{
    const size_t length = std::min<size_t>(file.richtek.size(), kRichtekImageSize);
    for (size_t i = 0; i < length; ++i) {
        if (i < readBack.bytes.size() && readBack.bytes[i] == file.richtek[i]) continue;
        DBG_ERR("%s:%d: FW content compare Fail , dwFlashFWLeng[ %d]", static_cast<int>(i));
        DBG_ERR("%s:%d: Cnt[%x], ucpFileBuf[%x] != ReadBuf[%x]", static_cast<unsigned>(i), file.richtek[i],
                i < readBack.bytes.size() ? readBack.bytes[i] : 0u);
        return -3;
    }
    return 0;
}

}  // namespace pd
