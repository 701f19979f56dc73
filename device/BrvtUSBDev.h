#pragma once
// Device access to the bridges on the USB path: the vendor command set and the
// record-level operations built on it.
#include <array>
#include <cstdint>
#include <string>

#include "device/DeviceList.h"
#include "device/PassThrough.h"

constexpr uint32_t CONFIG_BIN_SIZE = 128;
constexpr uint32_t kFactoryDataSize = 512;
constexpr uint32_t kPowerConfigSize = 304;
constexpr uint32_t kMaxRegisterTransfer = 256;
constexpr int kRegisterReadRetries = 30;

// Segment selector of the firmware-area commands: segment 0 (the whole image or
// its first 65,280 bytes) is 0x50 + image, segment 1 (the rest) 0xD0 + image;
// other segment values give 0.
uint8_t FirmwareSegmentSelector(uint8_t image, uint8_t segment);

// "\\.\PHYSICALDRIVE%d" or, for a record seen as a CD-ROM, "\\.\CDROM%d".
std::string RecordDevicePath(const DeviceInfo& record);

class CBrvtUSBDev {
public:
    explicit CBrvtUSBDev(platform::IStation& station = platform::Station());

    // --- command blocks (every operation takes an open handle) -------------------
    CommandResult SCSI8306_Inquiry(HANDLE hDev, uint8_t* buffer, uint32_t length);
    CommandResult SCSI8306_AccessRegister(HANDLE hDev, uint8_t ReadWrite, uint16_t address, uint8_t* buffer,
                                          uint32_t length);
    CommandResult SCSI7951_AccessRegister(HANDLE hDev, uint8_t ReadWrite, uint32_t address, uint8_t* buffer,
                                          uint32_t length);
    CommandResult SCSI8306_AccessConfigEEPROM(HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer, uint32_t length,
                                              uint8_t P1, uint8_t P2);
    CommandResult SCSI7951_AccessConfigEEPROM(HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer, uint32_t length,
                                              uint8_t image, uint8_t configType);
    CommandResult SCSI7951_AccessFirmwareEEPROM_Direct(HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer,
                                                       uint32_t length, uint8_t image, uint8_t segment);
    CommandResult SCSI7951_CPURST(HANDLE hDev, uint8_t R);
    CommandResult SCSI8306_DisConnect(HANDLE hDev);
    CommandResult SCSI6837_FactoryConfigure_Read(HANDLE hDev, uint8_t* buffer);
    CommandResult SCSI6837_FactoryConfigure_PowerConfigWrite(HANDLE hDev, const uint8_t* buffer);
    // Caller-built command block (at most 16 bytes) without data phase.
    CommandResult SCSI_CMD(HANDLE hDev, uint8_t ReadWrite, const uint8_t* cdb, uint8_t cdbLength, uint8_t* buffer,
                           uint32_t bufferLength);
    // 16-byte block of three given bytes and a 13-byte tail, with a data phase.
    CommandResult SCSI_VEN_PASSTHROUGH_CMD(HANDLE hDev, uint8_t ReadWrite, uint8_t cdb0, uint8_t cdb1, uint8_t cdb2,
                                           const uint8_t* tail13, uint8_t* buffer, uint32_t length);

    // ATA commands through the bridge, on "\\.\PhysicalDrive%d"; 1 success, 0 failure.
    uint8_t bSendStandbyImmediate(uint8_t physicalAddress);
    uint8_t bSendFlushCache(uint8_t physicalAddress);

    // --- record-level operations (open the record's device, run, close) ----------
    void SetDeviceList(DeviceList* list) { m_pDevList = list; }
    DeviceList* GetDeviceList() const { return m_pDevList; }

    uint8_t vCheckSupportSHA256(uint8_t ucTargetNumber);
    uint8_t vSHA256_SendKey(uint8_t ucTargetNumber);
    // The bridge's answer for the image (non-zero: the image verifies); 0 on failure.
    uint8_t vSHA256_VerifyKey(uint8_t ucTargetNumber, uint8_t image);
    uint8_t vDisconnectAllDevice(uint8_t ucTargetNumber);
    uint8_t vFactoryConfigure_Read(uint8_t ucTargetNumber, uint8_t* buffer);

    platform::IStation& Station() const { return m_Transport.Station(); }
    const CPassThrough& Transport() const { return m_Transport; }

private:
    enum class RegisterForm { k8306, k7951 };
    CommandResult AccessRegister(RegisterForm form, HANDLE hDev, uint8_t ReadWrite, uint32_t address,
                                 uint8_t* buffer, uint32_t length);
    CommandResult AccessConfig(RegisterForm form, HANDLE hDev, uint8_t ReadWrite, uint8_t* buffer, uint32_t length,
                               uint8_t cdb1, uint8_t cdb2, uint8_t cdb3);
    uint8_t SendAtaCommand(uint8_t physicalAddress, uint8_t ataCommand, const char* name);
    // The record of a target index, or null (logged) when there is none.
    const DeviceInfo* Record(uint8_t ucTargetNumber, const char* operation) const;
    // Opens a record's device for command work (read/write, shared, unbuffered).
    HANDLE OpenRecord(const DeviceInfo& record, uint32_t extraFlags = 0) const;

    CPassThrough m_Transport;
    DeviceList* m_pDevList = nullptr;
};
