#include "device/BrvtUSBDev.h"
#include "device/Registers.h"
#include "device/ScopedHandle.h"

#include <cstdio>
#include <cstring>

#include "device/SHA256.h"
#include "device/host/DiskHost.h"
#include "log/DebugLog.h"
#include "util/Clock.h"

namespace {
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpConfigRead = 0xE0;
constexpr uint8_t kOpConfigWrite = 0xE1;
constexpr uint8_t kOpFirmwareRead = 0xE2;
constexpr uint8_t kOpFirmwareWrite = 0xE3;
constexpr uint8_t kOpRegisterRead = 0xE4;
constexpr uint8_t kOpRegisterWrite = 0xE5;
constexpr uint8_t kOpReset = 0xE8;
constexpr uint8_t kBankLower = 0x50;
constexpr uint8_t kBankUpper = 0x51;
constexpr uint8_t kConfigSignature8306 = 0x5A;
constexpr uint8_t kAtaStandbyImmediate = 0xE0;
constexpr uint8_t kAtaFlushCache = 0xE7;

constexpr uint32_t kCommandOpenFlags = 0;
constexpr uint32_t kReadWrite = platform::GENERIC_READ | platform::GENERIC_WRITE;
constexpr uint32_t kShareReadWrite = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;

}  // namespace

uint8_t FirmwareSegmentSelector(uint8_t image, uint8_t segment)
{
    if (segment == 0) return static_cast<uint8_t>(0x50 + image);
    if (segment == 1) return static_cast<uint8_t>((image - 0x30) | 0x80);
    return 0;
}

std::string RecordDevicePath(const DeviceInfo& record)
{
    char path[32];
    if (record.m_bCDROM)
        std::snprintf(path, sizeof path, "\\\\.\\%s%d", "CDROM", record.m_ucCDROMAddress);
    else
        std::snprintf(path, sizeof path, "\\\\.\\%s%d", "PHYSICALDRIVE", record.m_ucPhysicalAddress);
    return path;
}

CBrvtUSBDev::CBrvtUSBDev(platform::IStation& station) : m_Transport(station), m_Usb(station) {}

// --- command blocks ---------------------------------------------------------------

CommandResult CBrvtUSBDev::SCSI8306_Inquiry(HANDLE hDev, uint8_t* buffer, uint32_t length)
{
    if (buffer && length <= 0xFF) std::memset(buffer, 0, length);
    if (!IsValidHandle(hDev) || !buffer || length == 0 || length > 0xFF) {
        DBG_ERR("%s:%d: SCSI8306_Inquiry: (hDev == NULL) or (BufLen > 255)  hDev:%x , BufLen:%x", HandleText(hDev),
                length);
        return kCommandInvalidArgument;
    }
    const uint8_t cdb[12] = {kOpInquiry, 0x00, 0x00, 0x00, static_cast<uint8_t>(length), 0x00};
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, 12, platform::SCSI_IOCTL_DATA_IN, buffer, length, kTimeOutInquiry});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI_Inquiry: IOCTL_SCSI_PASS_THROUGH Fail , sptwb.spt.ScsiStatus=%d,  dwErrorCode %d",
            outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI8306_AccessRegister(HANDLE hDev, uint8_t ReadWrite, uint16_t address, uint8_t* buffer,
                                                   uint32_t length)
{
    return AccessRegister(RegisterForm::k8306, hDev, ReadWrite, address, buffer, length);
}

CommandResult CBrvtUSBDev::SCSI7951_AccessRegister(HANDLE hDev, uint8_t ReadWrite, uint32_t address, uint8_t* buffer,
                                                   uint32_t length)
{
    return AccessRegister(RegisterForm::k7951, hDev, ReadWrite, address, buffer, length);
}

CommandResult CBrvtUSBDev::AccessRegister(RegisterForm form, HANDLE hDev, uint8_t ReadWrite, uint32_t address,
                                          uint8_t* buffer, uint32_t length)
{
    // A zero length would be sent as N = 00, which the bridge reads as 256 bytes.
    if (!IsValidHandle(hDev) || !buffer || length == 0 || length > kMaxRegisterTransfer) {
        DBG_ERR("%s:%d: (hDev == NULL) or (dwTotalLen != CONFIG_BIN_SIZE)  hDev:%x , ReadWrite:%x , BufLen:%x , "
                "dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, platform::GetLastError());
        return kCommandInvalidArgument;
    }
    uint8_t bank = 0x00;
    if (form == RegisterForm::k7951) bank = address > 0xFFFF ? kBankUpper : kBankLower;
    const auto high = static_cast<uint8_t>(address >> 8);
    const auto low = static_cast<uint8_t>(address);

    if (ReadWrite == kWriteToDevice) {
        // One register byte per command: only the first byte of the buffer goes out.
        const uint8_t cdb[6] = {kOpRegisterWrite, buffer[0], bank, high, low, 0x00};
        const PassThroughOutcome outcome =
            m_Transport.Send(hDev, {cdb, 6, platform::SCSI_IOCTL_DATA_OUT, nullptr, 0, kTimeOutVendorWrite});
        if (outcome.Success()) return kCommandSuccess;
        if (form == RegisterForm::k8306)
            DBG_ERR("%s:%d: (status = Fail) hDev:%x , ReadWrite:%x , dwTotalLen:%x , status:%x , ScsiStatus:%x , "
                    "dwErrorCode:%x",
                    HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
        else
            DBG_ERR("%s:%d: SCSI7951_AccessRegister: (status = Fail) hDev:%x , ReadWrite:%x , dwTotalLen:%x , "
                    "status:%x , ScsiStatus:%x , dwErrorCode:%x",
                    HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
        return kCommandFailed;
    }

    std::memset(buffer, 0, length);
    const uint8_t cdb[6] = {kOpRegisterRead, static_cast<uint8_t>(length), bank, high, low, 0x00};  // 256 -> 00
    const PassThroughOutcome outcome = m_Transport.Send(
        hDev, {cdb, 6, platform::SCSI_IOCTL_DATA_IN, buffer, length, kTimeOutVendorRead, kRegisterReadRetries});
    if (outcome.Success()) return kCommandSuccess;
    std::memset(buffer, 0, length);
    if (form == RegisterForm::k8306)
        DBG_ERR("%s:%d: SCSI8306_AccessRegister: (status = Fail) hDev:%x , ReadWrite:%x , BufLen:%x , status:%x , "
                "ScsiStatus:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    else
        DBG_ERR("%s:%d: SCSI7951_AccessRegister: (status = Fail) hDev:%x , ReadWrite:%x , BufLen:%x , status:%x , "
                "ScsiStatus:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI8306_AccessConfigEEPROM(HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer,
                                                       uint32_t length, uint8_t P1, uint8_t P2)
{
    return AccessConfig(RegisterForm::k8306, hDev, ReadWrite, buffer, length, P1, P2, kConfigSignature8306);
}

CommandResult CBrvtUSBDev::SCSI7951_AccessConfigEEPROM(HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer,
                                                       uint32_t length, uint8_t image, uint8_t configType)
{
    return AccessConfig(RegisterForm::k7951, hDev, ReadWrite, buffer, length, static_cast<uint8_t>(0x50 + image),
                        configType, 0x00);
}

CommandResult CBrvtUSBDev::AccessConfig(RegisterForm form, HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer,
                                        uint32_t length, uint8_t cdb1, uint8_t cdb2, uint8_t cdb3)
{
    const bool is8306 = form == RegisterForm::k8306;
    if (!IsValidHandle(hDev) || !buffer || length != CONFIG_BIN_SIZE) {
        if (is8306)
            DBG_ERR("%s:%d: SCSI8306_AccessConfigEEPROM: (hDev == NULL) or (BufLen != CONFIG_BIN_SIZE)  hDev:%x , "
                    "ReadWrite:%x , BufLen:%x , dwErrorCode:%x",
                    HandleText(hDev), ReadWrite, length, platform::GetLastError());
        else
            DBG_ERR("%s:%d: SCSI7951_AccessConfigEEPROM: (hDev == NULL) or (BufLen != CONFIG_BIN_SIZE)  hDev:%x , "
                    "ReadWrite:%x , BufLen:%x , dwErrorCode:%x",
                    HandleText(hDev), ReadWrite, length, platform::GetLastError());
        return kCommandInvalidArgument;
    }
    const bool write = ReadWrite == kWriteToDevice;
    const uint8_t cdb[6] = {write ? kOpConfigWrite : kOpConfigRead, cdb1, cdb2, cdb3, 0x00, 0x00};
    const PassThroughOutcome outcome = m_Transport.Send(
        hDev, {cdb, 6, write ? platform::SCSI_IOCTL_DATA_OUT : platform::SCSI_IOCTL_DATA_IN, buffer, CONFIG_BIN_SIZE,
               write ? kTimeOutVendorWrite : kTimeOutVendorRead});
    if (outcome.Success()) return kCommandSuccess;
    if (is8306)
        DBG_ERR("%s:%d: SCSI8306_AccessConfigEEPROM: (status = FAIL) hDev:%x , ReadWrite:%x , BufLen:%x , status:%x , "
                "ScsiStatus:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    else
        DBG_ERR("%s:%d: SCSI7951_AccessConfigEEPROM: (status = FAIL) hDev:%x , ReadWrite:%x , BufLen:%x , status:%x , "
                "ScsiStatus:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI7951_AccessFirmwareEEPROM_Direct(HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer,
                                                                uint32_t length, uint8_t image, uint8_t segment)
{
    if (!IsValidHandle(hDev) || (!buffer && length > 0)) {
        DBG_ERR("%s:%d: SCSI7951_AccessFirmwareEEPROM_Direct: (hDev == NULL) or (BufLen != CONFIG_BIN_SIZE)  hDev:%x , "
                "ReadWrite:%x , BufLen:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, platform::GetLastError());
        return kCommandInvalidArgument;
    }
    const bool write = ReadWrite == kWriteToDevice;
    const uint8_t cdb[6] = {write ? kOpFirmwareWrite : kOpFirmwareRead,
                            FirmwareSegmentSelector(image, segment),
                            static_cast<uint8_t>(length >> 24),
                            static_cast<uint8_t>(length >> 16),
                            static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length)};
    try {
        const PassThroughOutcome outcome = m_Transport.SendDirect(
            hDev, {cdb, 6, write ? platform::SCSI_IOCTL_DATA_OUT : platform::SCSI_IOCTL_DATA_IN, buffer, length,
                   write ? kTimeOutVendorWrite : kTimeOutVendorRead});
        if (outcome.Success()) return kCommandSuccess;
        DBG_ERR("%s:%d: SCSI7951_AccessFirmwareEEPROM_Direct: (status = FAIL) hDev:%x , ReadWrite:%x , BufLen:%x , "
                "status:%x , ScsiStatus:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    } catch (...) {
        // The transfer buffer could not be allocated: the transfer did not happen.
        DBG_ERR("%s:%d: catch(...): dwErrorCode %d", platform::GetLastError());
    }
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI7951_CPURST(HANDLE hDev, uint8_t R)
{
    // Sent even with a doubtful handle: the reset is what the caller needs.
    if (!IsValidHandle(hDev)) DBG_ERR("%s:%d: SCSI7951_CPURST: hDev not valid , dwErrorCode %d", platform::GetLastError());
    const uint8_t cdb[6] = {kOpReset, R, 0x00, 0x00, 0x00, 0x00};
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, 6, platform::SCSI_IOCTL_DATA_IN, nullptr, 0, kTimeOutCpuReset});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI7951_CPURST: IOCTL_SCSI_PASS_THROUGH Fail , dwErrorCode %d, ScsiStatus:%d", outcome.lastError,
            outcome.scsiStatus);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI8306_DisConnect(HANDLE hDev)
{
    if (!IsValidHandle(hDev)) DBG_ERR("%s:%d: SCSI8306_CPURST: hDev not valid , dwErrorCode %d", platform::GetLastError());
    const uint8_t cdb[12] = {kOpReset, 0x01};
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, 12, platform::SCSI_IOCTL_DATA_IN, nullptr, 0, kTimeOutDisconnect});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI8306_CPURST: IOCTL_SCSI_PASS_THROUGH Fail , dwErrorCode %d", outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI6837_FactoryConfigure_Read(HANDLE hDev, uint8_t* buffer)
{
    if (!IsValidHandle(hDev) || !buffer) return kCommandInvalidArgument;
    const uint8_t cdb[6] = {kOpInquiry, 0x01, 0xC8, 0x00, 0x81, 0x00};  // vital product data page 0xC8
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, 6, platform::SCSI_IOCTL_DATA_IN, buffer, kFactoryDataSize, kTimeOutFactory});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI6837_FactoryConfigure_Read: (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , "
            "dwErrorCode:%x",
            HandleText(hDev), outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI6837_FactoryConfigure_PowerConfigWrite(HANDLE hDev, const uint8_t* buffer)
{
    if (!IsValidHandle(hDev) || !buffer) return kCommandInvalidArgument;
    // Bytes 8..9 carry the data length, 0x0130 = 304.
    const uint8_t cdb[11] = {0xC3, 0x30, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x30, 0x00};
    const PassThroughOutcome outcome = m_Transport.Send(
        hDev, {cdb, 11, platform::SCSI_IOCTL_DATA_OUT, const_cast<uint8_t*>(buffer), kPowerConfigSize, kTimeOutFactory});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI6837_FactoryConfigure_PowerConfigWrite: (status = FAIL) hDev:%x , status:%x , ScsiStatus:%x , "
            "dwErrorCode:%x",
            HandleText(hDev), outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI_CMD(HANDLE hDev, uint8_t ReadWrite, const uint8_t* cdb, uint8_t cdbLength, uint8_t*,
                                    uint32_t bufferLength)
{
    if (!IsValidHandle(hDev) || !cdb || cdbLength == 0 || cdbLength > 16) {
        DBG_ERR("%s:%d: (hDev == NULL) or (dwTotalLen != CONFIG_BIN_SIZE)  hDev:%x , ReadWrite:%x , BufLen:%x , "
                "dwErrorCode:%x",
                HandleText(hDev), ReadWrite, bufferLength, platform::GetLastError());
        return kCommandInvalidArgument;
    }
    // The command travels without a data phase; a caller's buffer is not sent.
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, cdbLength, platform::SCSI_IOCTL_DATA_OUT, nullptr, 0, kTimeOutScsiCmd});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: SCSI_CMD: (status = Fail) hDev:%x , ReadWrite:%x , dwTotalLen:%x , status:%x , ScsiStatus:%x , "
            "dwErrorCode:%x",
            HandleText(hDev), ReadWrite, bufferLength, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

CommandResult CBrvtUSBDev::SCSI_VEN_PASSTHROUGH_CMD(HANDLE hDev, uint8_t ReadWrite, uint8_t cdb0, uint8_t cdb1,
                                                    uint8_t cdb2, const uint8_t* tail13, uint8_t* buffer,
                                                    uint32_t length)
{
    if (!IsValidHandle(hDev) || !tail13 || length > kMaxPassThroughData || (!buffer && length > 0)) {
        DBG_ERR("%s:%d: SCSI8306_AccessFirmwareEEPROM: (hDev == NULL) or (BufLen != CONFIG_BIN_SIZE)  hDev:%x , "
                "ReadWrite:%x , BufLen:%x , dwErrorCode:%x",
                HandleText(hDev), ReadWrite, length, platform::GetLastError());
        return kCommandInvalidArgument;
    }
    uint8_t cdb[16] = {cdb0, cdb1, cdb2};
    std::memcpy(cdb + 3, tail13, 13);
    const bool read = ReadWrite == kReadFromDevice;
    const PassThroughOutcome outcome =
        m_Transport.Send(hDev, {cdb, 16, read ? platform::SCSI_IOCTL_DATA_IN : platform::SCSI_IOCTL_DATA_OUT, buffer,
                                length, read ? kTimeOutVendorRead : kTimeOutVendorWrite});
    if (outcome.Success()) return kCommandSuccess;
    DBG_ERR("%s:%d: hDev:%x , ReadWrite:%x , BufLen:%x , status:%x , ScsiStatus:%x , dwErrorCode:%x", HandleText(hDev),
            ReadWrite, length, outcome.callSucceeded, outcome.scsiStatus, outcome.lastError);
    return kCommandFailed;
}

uint8_t CBrvtUSBDev::bSendStandbyImmediate(uint8_t physicalAddress)
{
    return SendAtaCommand(physicalAddress, kAtaStandbyImmediate, "bSendStandByImmediate");
}

uint8_t CBrvtUSBDev::bSendFlushCache(uint8_t physicalAddress)
{
    return SendAtaCommand(physicalAddress, kAtaFlushCache, "bSendFlushCache");
}

uint8_t CBrvtUSBDev::SendAtaCommand(uint8_t physicalAddress, uint8_t ataCommand, const char* name)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", physicalAddress);
    ScopedHandle handle(Station(), device::host::CreateFile(Station(), path, kReadWrite, kShareReadWrite,
                                                            platform::OPEN_EXISTING, kCommandOpenFlags));
    if (!IsValidHandle(handle.Get())) {
        DBG_ERR("%s:%d: %s: CreateFile Fail [%d] , dwErrorCode %d", name, physicalAddress, platform::GetLastError());
        return 0;
    }
    // ATA PASS-THROUGH(12), protocol 3 (non-data), command in byte 9.
    const uint8_t cdb[12] = {0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, ataCommand, 0x00, 0x00};
    const PassThroughOutcome outcome =
        m_Transport.Send(handle.Get(), {cdb, 12, platform::SCSI_IOCTL_DATA_OUT, nullptr, 0, kTimeOutAta});
    if (outcome.Success()) return 1;
    DBG_ERR("%s:%d: %s: IOCTL_SCSI_PASS_THROUGH Fail [%d] , dwErrorCode %d", name, physicalAddress, outcome.lastError);
    return 0;
}

// --- record-level operations -----------------------------------------------------

const DeviceInfo* CBrvtUSBDev::Record(uint8_t ucTargetNumber, const char* operation) const
{
    if (m_pDevList && ucTargetNumber < MAX_DEVICES) return &m_pDevList->Devs[ucTargetNumber];
    DBG_ERR("%s:%d: %s: [%d] no such device record", operation, ucTargetNumber);
    return nullptr;
}

HANDLE CBrvtUSBDev::OpenRecord(const DeviceInfo& record, uint32_t extraFlags) const
{
    return device::host::CreateFile(Station(), RecordDevicePath(record), kReadWrite, kShareReadWrite,
                                    platform::OPEN_EXISTING, platform::FILE_FLAG_NO_BUFFERING | extraFlags);
}

uint8_t CBrvtUSBDev::vCheckSupportSHA256(uint8_t ucTargetNumber)
{
    const DeviceInfo* record = Record(ucTargetNumber, "vCheckSupportSHA256");
    if (!record) return 0;
    ScopedHandle handle(Station(), OpenRecord(*record));
    if (!IsValidHandle(handle.Get())) {
        DBG_ERR("%s:%d: vCheckSupportSHA256: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                platform::GetLastError());
        return 0;
    }
    uint8_t value = 0;
    const CommandResult iResult = SCSI8306_AccessRegister(handle.Get(), kReadFromDevice, bridge_reg::kRegSha256Option, &value, 1);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: vCheckSupportSHA256: [%d] SCSI8306_AccessRegister Fail , iResult %d dwErrorCode %d",
                ucTargetNumber, iResult, platform::GetLastError());
        return 0;
    }
    return (value & 0x08) == 0 ? 1 : 0;
}

uint8_t CBrvtUSBDev::vSHA256_SendKey(uint8_t ucTargetNumber)
{
    const DeviceInfo* record = Record(ucTargetNumber, "vSHA256_SendKey");
    if (!record) return 0;
    ScopedHandle handle(Station(), OpenRecord(*record));
    if (!IsValidHandle(handle.Get())) {
        DBG_ERR("%s:%d: vSHA256_SendKey: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                platform::GetLastError());
        return 0;
    }
    CSHA256 sha(m_Transport);
    const auto key = CSHA256::KeyWireForm();
    const CommandResult iResult = sha.SCSI8306_SHA256_SendKey(handle.Get(), key.data());
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: vSHA256_SendKey: [%d] SCSI8306_AccessEEPROM Fail , iResult %d dwErrorCode %d", ucTargetNumber,
                iResult, platform::GetLastError());
        return 0;
    }
    return 1;
}

uint8_t CBrvtUSBDev::vSHA256_VerifyKey(uint8_t ucTargetNumber, uint8_t image)
{
    const DeviceInfo* record = Record(ucTargetNumber, "vSHA256_VerifyKey");
    if (!record) return 0;
    ScopedHandle handle(Station(), OpenRecord(*record));
    if (!IsValidHandle(handle.Get())) {
        DBG_ERR("%s:%d: vSHA256_VerifyKey: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                platform::GetLastError());
        return 0;
    }
    CSHA256 sha(m_Transport);
    uint8_t value = 0;
    const CommandResult iResult = sha.SCSI8306_SHA256_VerifyKey(handle.Get(), value, image);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: vSHA256_VerifyKey: [%d] SCSI8306_AccessEEPROM Fail , iResult %d dwErrorCode %d",
                ucTargetNumber, iResult, platform::GetLastError());
        return 0;
    }
    DBG_MSG("%s:%d: vSHA256_VerifyKey: [%d], Image=[%d], Value=[%d]", ucTargetNumber, image, value);
    return value;
}

uint8_t CBrvtUSBDev::vDisconnectAllDevice(uint8_t ucTargetNumber)
{
    const DeviceInfo* record = Record(ucTargetNumber, "vDisconnectAllDevice");
    if (!record) return 0;
    ScopedHandle handle(Station(), OpenRecord(*record, platform::FILE_FLAG_SEQUENTIAL_SCAN));
    if (!IsValidHandle(handle.Get())) {
        DBG_ERR("%s:%d: vDisconnectAllDevice: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                platform::GetLastError());
        return 0;
    }
    // Flush and spin down before the bridge leaves the bus, so no cached write is lost.
    bSendFlushCache(record->m_ucPhysicalAddress);
    util::SleepMs(1000);
    bSendStandbyImmediate(record->m_ucPhysicalAddress);
    util::SleepMs(2000);
    const CommandResult iResult = SCSI8306_DisConnect(handle.Get());
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: vDisconnectAllDevice: [%d] SCSI8306_DisConnect Fail , iResult %d dwErrorCode %d",
                ucTargetNumber, iResult, platform::GetLastError());
        return 0;
    }
    return 1;
}

uint8_t CBrvtUSBDev::vFactoryConfigure_Read(uint8_t ucTargetNumber, uint8_t* buffer)
{
    const DeviceInfo* record = Record(ucTargetNumber, "vFactoryConfigure_Read");
    if (!record) return 0;
    ScopedHandle handle(Station(), OpenRecord(*record));
    if (!IsValidHandle(handle.Get())) {
        DBG_ERR("%s:%d: vFactoryConfigure_Read: [%d] CreateFile Fail , dwErrorCode %d", ucTargetNumber,
                platform::GetLastError());
        return 0;
    }
    const CommandResult iResult = SCSI6837_FactoryConfigure_Read(handle.Get(), buffer);
    if (iResult != kCommandSuccess) {
        DBG_ERR("%s:%d: vFactoryConfigure_Read: [%d] SCSI6837_FactoryConfigure_Read Fail , iResult %d dwErrorCode %d",
                ucTargetNumber, iResult, platform::GetLastError());
        return 0;
    }
    return 1;
}
