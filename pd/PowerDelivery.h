#pragma once
// The PD vendor command channel: one 8-byte vendor command, opcode 0xEC, that the
// bridge tunnels to its PD controller and MCU, and the operations built on it
// (bus set-up, chip identification, flash mode, firmware write and read, version).
//
// One object serves one bridge (one PD port): the chip vendor codes, the CCG3
// device mode and the bootloader-entered flag it learns belong to that port, so
// ports with different controllers update side by side without sharing state.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/PassThrough.h"
#include "pd/PDFirmwareFile.h"

namespace pd {

// Sub-commands of the tunnel.
enum PDSubCommand : uint8_t {
    PD_MPT_AREA = 0x00,
    PD_WRITE_DATA = 0x01,
    PD_FW_VERSION_RICHTEK = 0x03,
    PD_BUS_OPEN = 0x04,
    PD_BUS_CLOSE = 0x05,
    PD_READ_DATA = 0x06,
    PD_GET_PD_CONTROL = 0x07,
    PD_FW_VERSION_CYPRESS = 0x21,
    CYPRESS_PD_FLASH_MODE = 0x22,
    CYPRESS_PD_WRITE_DATA = 0x23,
    CYPRESS_PD_READ_DATA = 0x24,
    PD_GET_PD_CCG3_DeviceMode = 0x29,
    CYPRESS_PD_CCG3_READ_DATA = 0x2A,
    CYPRESS_PD_CCG3_WRITE_DATA = 0x2B,
    PD_FW_VERSION_CCG3_MODE2 = 0x2C,
    CYPRESS_PD_CCG3_FLASH_MODE = 0x2D,
    ST_MCU_ENTER_BOOTLOADER = 0x32,
    ST_MCU_ENTER_BOOTLOADER_FLASH = 0x33,
    ST_MCU_WRITE_DATA = 0x34,
    ST_MCU_READ_DATA = 0x35,
};

constexpr uint32_t kPDMaxTransfer = 256;
constexpr int kPDInvalidIdentification = -3;
constexpr uint32_t kMCUChunk = 12;
constexpr uint32_t kRichtekReadChunk = 32;

// Progress of a write or read: units done so far (words, rows or pieces).
using PDProgress = std::function<void(uint32_t done, uint32_t total)>;

// What a read-back holds: the Richtek image, the Cypress rows in table order, or the MCU flash.
struct PDReadBack {
    std::vector<uint8_t> bytes;
};

class CPowerDelivery {
public:
    explicit CPowerDelivery(platform::IStation& station = platform::Station());

    // Sends one tunnel command. ReadWrite 1 = data out, otherwise data in.
    // 0 success, -1 failure, -10 invalid handle or length above 256.
    int SCSI8306_PDVendorCmd(HANDLE hDev, uint8_t ReadWrite, uint8_t subCommand, uint16_t paramA, uint16_t paramB,
                             uint8_t* buffer, uint32_t length);

    // Operations on the bridge that is disk `drive` ("\\.\PhysicalDrive%d").
    int nInitializedPDI2CBus(int drive);
    int nClosePDI2CBus(int drive);
    int nGetPDChipVendor(int drive);
    int nGetCCG3DeviceMode(int drive);
    // Puts the chip of `vendor` (1, 2, 4, or 20 for the MCU) into programming mode.
    int nConfigMTPArea(int vendor, int drive);
    // Device version text (m_strDeviceVersion) for the enabled updates.
    int nGetPDFWVersion(int drive, bool pdEnabled, bool mcuEnabled);
    // Writes the file's image into the chip of `vendor`.
    int nPDFWUpdate(int vendor, int drive, const PDFirmwareFile& file, const PDProgress& progress = {});
    // Reads back what nPDFWUpdate wrote: Richtek 16 KiB, the Cypress table's data
    // rows (128 bytes each, in table order), or `size` bytes of MCU flash.
    int nPDFWRead(int vendor, int drive, const PDFirmwareFile& file, uint32_t size, PDReadBack& readBack);

    int m_nPDChipVendor = 0;
    int m_nMCUChipVendor = 0;
    int m_nCCG3DeviceMode = 0;
    // Set by this port's first bootloader entry of an update run, cleared when a run starts.
    bool m_bBootloaderEntered = false;
    std::string m_strDeviceVersion = "NULL";

private:
    HANDLE OpenDrive(int drive, std::string& path);
    // Up to 3 attempts 10 ms apart; `onRetry(attempt)` logs each failed one.
    int SendWithRetry(HANDLE hDev, uint8_t ReadWrite, uint8_t sub, uint16_t a, uint16_t b, uint8_t* buffer,
                      uint32_t length, const std::function<void(int attempt, int result)>& onRetry);
    int ConfigAttempt(int vendor, HANDLE hDev, const std::string& path, int attempt);
    int WriteRichtek(HANDLE hDev, const std::string& path, const PDFirmwareFile& file, const PDProgress& progress);
    int WriteCypress(int vendor, HANDLE hDev, const std::string& path, const PDFirmwareFile& file,
                     const PDProgress& progress);
    int WriteMCU(HANDLE hDev, const std::string& path, const PDFirmwareFile& file, const PDProgress& progress);

    CPassThrough m_Transport;
};

// Row parameter A of the Cypress row commands: row * 256 for a Cypress PD,
// the row low byte first for a CCG3.
uint16_t CypressRowParameter(int vendor, uint16_t row);
// Whether a table row is programmed (array ID 0x00 or 0x40).
bool IsCypressDataRow(const CypressFWRow& row);

// Compare rules. Each returns 0 when equal, -3 with the differing place logged.
int nCompareMCU(const PDFirmwareFile& file, const PDReadBack& readBack);
// CCG3 rows 1023 (device mode 1) and 1022 (device mode 2) are the controller's own.
int nCompareCypress(int vendor, int ccg3Mode, const PDFirmwareFile& file, const PDReadBack& readBack);
int nCompareRichtek(const PDFirmwareFile& file, const PDReadBack& readBack);

}  // namespace pd
