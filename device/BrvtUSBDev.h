#pragma once
// Device access to the bridges on the USB path: the vendor command set and the
// record-level operations built on it.
#include <array>
#include <atomic>
#include <vector>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/DeviceList.h"
#include "device/PassThrough.h"
#include "device/host/UsbTree.h"

constexpr uint32_t kFactoryDataSize = 512;
constexpr uint32_t kPowerConfigSize = 304;
constexpr uint32_t kMaxRegisterTransfer = 256;
constexpr int kRegisterReadRetries = 30;
constexpr int32_t kNoPartitionCount = 0x7FFFFFFF;
constexpr uint32_t kMaxSectorTransfer = 33554432;  // 32 MiB per raw transfer
// Pause between the two reads of a SuperSpeed link's state.
constexpr int64_t kLinkReadPauseMs = 500;

// Segment selector of the firmware-area commands: segment 0 (the whole image or
// its first 65,280 bytes) is 0x50 + image, segment 1 (the rest) 0xD0 + image;
// other segment values give 0.
uint8_t FirmwareSegmentSelector(uint8_t image, uint8_t segment);

// Texts of the state codes.
const char* U4ModeText(uint8_t u4Mode);  // "Legacy", "TBT3", "PCIE TNL", "U3 TNL", "UNKNOW"
const char* U4SpeedText(uint8_t u4Speed);  // "Gen2x1", "Gen2x2", "Gen3x1", "Gen3x2", "UNKNOW"
// USB3 speed code of a connection-status text: 0 FULL, 1 HIGH, 2 SUPER (3 x2),
// 4 PLUS (5 x2), 255 otherwise.
uint8_t ucUsb3SpeedFromStatus(const std::string& status);

// The 304-byte power-configuration block of a "PowerConfiguration.bin" text
// (comma-separated hex bytes, each optionally "0x"-prefixed, the last one
// followed by a comma). False, with `error` naming the field, for text that is
// not such a list.
bool bBuildPowerConfigBlock(const std::string& text, std::array<uint8_t, kPowerConfigSize>& block, std::string& error);
// The block of the power-configuration file at `path`; false with `error` naming
// the file and what is wrong with it (missing, unreadable, not such a list).
bool bReadPowerConfigFile(const std::string& path, std::array<uint8_t, kPowerConfigSize>& block, std::string& error);

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

    // --- 795x state queries (one open handle each) --------------------------------
    // Device type 8 for a "7951" chip, else 255; fills the record's type, type name
    // and chip revision.
    uint8_t ucGet7951DeviceType(HANDLE hDev, DeviceInfo& record);
    // Bits 6..4 of 0xC8FF; 255 when the read fails.
    uint8_t ucGet7951ChipVariant(HANDLE hDev);
    std::string strGet7951ChipType(HANDLE hDev);
    // 1 UAS, 0 BOT, 255 unknown; `devType` is the record's device type.
    uint8_t ucGet7951USBMode(HANDLE hDev, uint8_t devType);
    uint8_t ucGet7951U4Mode(HANDLE hDev);
    uint8_t ucGet7951U4Speed(HANDLE hDev);
    std::string vGet7951UsbConnectionStatus(HANDLE hDev);
    int nGet7951CCOrientation(HANDLE hDev);
    // Six bytes of register 0x07F0 as twelve lower-case hex digits; empty on failure.
    std::string strGet7951FWVersion(HANDLE hDev);
    // The error recovery count byte, or the read's CommandResult when it fails.
    int nGet7951ErrorRecoveryCount(HANDLE hDev);

    // --- discovery -----------------------------------------------------------------
    // Fills `list` with the bridges of family `iBridgeType` (0 8306, 1 683x, 2 795x)
    // whose chip type passes `chipTypeFilter` ("0" passes all); 0 when at least
    // one was found, -4 otherwise.
    CommandResult Open(DeviceList& list, const std::string& chipTypeFilter, int iBridgeType);
    void Enum(const std::string& chipTypeFilter, int iBridgeType);
    void vClearPrivateData();
    // Disk (deviceType 7) or CD-ROM (2) number of the bridge with this USB serial
    // number, or 255.
    uint8_t ucGetPhysicalAddressFromSN(const std::string& serialNumber, uint32_t deviceType, int iBridgeType);
    // Opens `path`, checks the bridge and fills the next record; 1 when added.
    uint8_t vTestHandleFromPhysicalAddress(const std::string& path, const std::string& hubName,
                                           const std::string& chipTypeFilter, int iBridgeType);
    // Set by the engine to stop a walk that a newer scan request makes stale.
    std::atomic<uint8_t> m_ucScanInterrupt{0};
    // CD-ROM matching in the serial-number search (off unless the engine sets it).
    bool m_bCdromMatching = false;
    // Chip-type texts of the bridges the last walk met.
    std::string m_strChipTypes;
    // A further USB identity ("VID", "PID" as four upper-case hex digits) that
    // marks a device as a bridge besides the chip's own (the settings' identity).
    // A device with a bridge's identity that fails identification is listed
    // with the failure instead of being left out.
    void SetBridgeIdentity(const std::string& vid, const std::string& pid);
    // --- disk operations ---
    // Drive letter ('D'..'Z') of the volume on disk `physicalAddress`, kNoDriveLetter
    // when none; with `wait` non-zero the search repeats every 200 ms for 5 s.
    char vGetLogicalAddressFromPhysicalAddress(uint8_t physicalAddress, uint8_t wait);
    // Raw transfers of `length` bytes (whole 512-byte sectors, the last one
    // padded with zeros) at 512-byte sector `sector` of volume "X:", each done
    // twice; with `timing` the second pass adds its MB/s to m_fsdif_W / m_fsdif_R.
    // Drive C is refused. 1 success, 0 failure.
    uint8_t vWriteSectors(char cDriveLetter, const uint8_t* buffer, uint64_t sector, uint32_t length,
                          uint8_t timing);
    uint8_t vReadSectors(char cDriveLetter, uint8_t* buffer, uint64_t sector, uint32_t length, uint8_t timing);
    // Disk size in MiB; -1 on failure.
    int64_t vGetDiskPhysicalSize(uint8_t physicalAddress);
    // Free space of "X:\" in MiB; -1 on failure (an unrecognised volume included).
    int64_t vGetDiskFreeSpace(char cDriveLetter);
    // Number of the last numbered partition of the layout; kNoPartitionCount when
    // there is none or the layout cannot be read.
    int32_t vGetPartitionCount(uint8_t physicalAddress);
    // Fills the disk fields of `info` from the device at `path`: 0, -10 empty path,
    // -5 not opened, -4 no identify data, -1 no geometry.
    CommandResult nObtainDiSKInfo(const std::string& path, DeviceInfo& info);
    // ATA IDENTIFY DEVICE on an open handle: serial (words 10..19) and firmware
    // revision (words 23..26).
    CommandResult ATAPassThrough_GetHDSerialNumber(HANDLE hDev, std::string& serial);
    CommandResult ATAPassThrough_GetHDDFW(HANDLE hDev, std::string& firmware);
    // NVMe Identify Controller serial of disk `physicalAddress`.
    CommandResult ATAPassThrough_GetSSDSerialNumber(uint8_t physicalAddress, std::string& serial);
    // (serial, firmware) of every drive nObtainDiSKInfo identified, oldest first.
    std::vector<std::pair<std::string, std::string>> DiskIdentities() const;

    // Raw speed test on volume "X:": at 512-byte sector kSpeedTestSectors[position]
    // a quarter of `sizeMiB` is backed up, written with 0x55 and read back, then
    // restored; twice, the second time timed (vWriteSectors/vReadSectors timing).
    // The speeds are the measured MB/s. 0 success, -4 when the record's bytes per
    // sector is 0, -1 backup, -2 write, -3 read, -5 restore, -6 bad position.
    // The accumulators below are this object's: a worker that tests speed uses
    // its own CBrvtUSBDev.
    int vReadWriteSpeedTest(char cDriveLetter, const DeviceInfo& device, double& dReadSpeed, double& dWriteSpeed,
                            uint8_t position, uint32_t sizeMiB);

    // MB/s sums of the timed writes and reads; workers add to them concurrently.
    std::atomic<double> m_fsdif_W{0.0};
    std::atomic<double> m_fsdif_R{0.0};

    // --- firmware download, reset and relink ---------------------------------------
    // Writes the firmware file into image `image` of the record's bridge (one
    // segment up to 65,536 bytes, else 65,280 + the rest; 10 attempts), and with
    // `verify` reads it back and compares. 1 success, 0 failure.
    uint8_t v7951UpdateFirmware(uint8_t ucTargetNumber, uint8_t image, uint8_t verify,
                                const std::string& firmwarePath);
    // One 128-byte configuration-area transfer for the record's device.
    uint8_t b7951WrRdConfiguration(uint8_t ucTargetNumber, uint8_t ReadWrite, uint8_t* buffer, uint8_t image,
                                   uint8_t configType);
    // Resets the bridge under the reload lock and searches for it; 1 when found again.
    uint8_t v7951CPURST(uint8_t ucTargetNumber, uint8_t relinkSignature, int probeCount, uint8_t resetCode,
                        int iBridgeType);
    // The relink search: 1 when a device carrying the stamp was found (the record
    // then holds its new address and state). On a station that reports disk
    // arrivals each pass waits for one (at most the pass pause) and probes the
    // disks that arrived first.
    uint8_t bDetectTargetUSBDevice(uint8_t ucTargetNumber, uint8_t relinkSignature, int probeCount, int iBridgeType);
    // Refreshes the record's port data from its hub; 1 on success.
    uint8_t bUpdateDeviceInfo(DeviceInfo& record);
    // Writes a power configuration text file into a 683x bridge: 0 success, -1 or
    // the command's CommandResult on failure.
    int vFactoryConfigure_PowerConfigWrite(uint8_t ucTargetNumber, const std::string& fileName);

    // Resets made since Start (the run controller sets it at Start).
    std::atomic<int> m_iResetCount{0};
    // Candidate disks the relink searches opened and probed (never reset: a
    // measure for benchmarks and tests).
    std::atomic<int> m_iRelinkProbes{0};
    // Image whose USB4 table carries the relink stamp: 1 when only image 1 is written.
    uint8_t m_ucRelinkImage = 0;

    platform::IStation& Station() const { return m_Transport.Station(); }
    // The station's USB tree and storage interfaces as the discovery walk sees them.
    device::host::UsbTree& Usb() { return m_Usb; }
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

    // Discovery walk.
    struct HubEntry {
        std::string path;
        int portCount = 0;
        std::array<uint8_t, 50> portFlags{};  // a hub or a device without serial number
        bool secondRootHub = false;           // a controller's root hub after its first
    };
    struct PortStrings {
        std::string pid, vid, serial, manufacturer, product, revision, driverKeyName, deviceDesc;
    };
    // Opens the first 20 host controllers; the paths of the others go to `unopened`.
    std::vector<HANDLE> OpenHostControllers(std::vector<std::string>& unopened);
    // Lists each bridge on a controller beyond the first 20 with that reason.
    void ListUnreachedBridges(const std::vector<std::string>& unopened, size_t firstIndex,
                              const std::string& chipTypeFilter, int iBridgeType);
    int EnumerateHostController(HANDLE controller, int controllerIndex, const std::string& chipTypeFilter,
                                int iBridgeType);
    void GetPortData(HANDLE hub, int portCount, int depth, int controllerIndex, const std::string& hubName,
                     const std::string& chipTypeFilter, int iBridgeType);
    // Reads the device descriptor's strings into m_PortStrings; returns the
    // language ID used, or 0x7FFF when the serial-number string is empty.
    uint16_t GetDeviceDescriptor(HANDLE hub, uint32_t port, const device::host::USB_DEVICE_DESCRIPTOR& descriptor);
    std::string GetStringDescriptor(HANDLE hub, uint32_t port, uint16_t languageId, uint8_t index);
    // The hub's entry, made when there is room; a controller's second root hub
    // does not take room from the 16.
    HubEntry* RegisterHub(const std::string& path, int portCount, bool secondRootHub);
    // The port's identity on a record: the descriptor strings, the port, its hub
    // and the hub's port count.
    void CopyPortFields(DeviceInfo& record, const std::string& hubName) const;
    void MarkHubPort(const std::string& path, uint32_t port);
    bool ChipFitsFamily(const char* chipId, int iBridgeType) const;
    // USB4 mode, then the USB4 speed or the USB3 link text and speed code.
    void ReadLinkState(HANDLE hDev, DeviceInfo& record);
    // ReadLinkState in two halves around the pause: the first is true when the
    // link is SuperSpeed and its lanes must be read after the pause.
    bool BeginLinkState(HANDLE hDev, DeviceInfo& record);
    void FinishLinkState(HANDLE hDev, DeviceInfo& record);
    // The connection-status text in two halves: the first read gives FULL, HIGH
    // or empty and is true for SuperSpeed, whose text the lane read gives.
    bool UsbConnectionFirstRead(HANDLE hDev, std::string& status);
    std::string UsbConnectionLaneRead(HANDLE hDev);
    // The walk's pending lane reads, done after one pause once the walk is over.
    struct LaneRead {
        uint8_t record = 0;
        std::string path;
        int64_t firstReadMs = 0;
    };
    void FinishLaneReads();
    std::vector<LaneRead> m_LaneReads;
    // The same on the record's own device.
    void RefreshLinkState(DeviceInfo& record);
    // The search of bDetectTargetUSBDevice without the link state: the disks
    // that arrived after `arrivalMark` are probed first.
    uint8_t RelinkSearch(uint8_t ucTargetNumber, uint8_t relinkSignature, int probeCount, int iBridgeType,
                         uint64_t arrivalMark);
    bool ReadTableSerial(HANDLE hDev, int iBridgeType, std::string& serial, bool& onlyFillers);
    bool CarriesBridgeIdentity() const;
    // Lists the device of the current port as a bridge that failed identification.
    void AddUnidentifiedRecord(const std::string& failure, const std::string& hubName);

    CPassThrough m_Transport;
    device::host::UsbTree m_Usb;
    DeviceList* m_pDevList = nullptr;
    uint8_t m_ucMode = 0;
    uint8_t m_ucRecordCount = 0;
    int m_iHubOffset = 0;
    int m_iPortLocation = -1;
    uint32_t m_ulPortIndex = 0;
    PortStrings m_PortStrings;
    std::string m_strIdentifyFailure;  // why the current port's bridge could not be identified
    bool m_bSecondRootHub = false;     // the walk is in a controller's root hub after its first
    // Set while the walk goes through a controller it does not identify bridges
    // on: every bridge met there is listed with this reason instead.
    std::string m_strUnreachable;
    std::pair<std::string, std::string> m_BridgeIdentity;
    std::vector<HubEntry> m_HubTable;
    mutable std::mutex m_DiskIdentityLock;
    std::vector<std::pair<std::string, std::string>> m_DiskIdentities;
};
