#pragma once
// The emulated 795x bridge: the device side of the vendor command set, with its
// register file, configuration area, SPI firmware images, factory data, power
// configuration and SHA-256 key, all kept in files of the bridge's folder so that
// every process of the station sees the same bridge.
//
// Files of a bridge folder:
//   bridge.ini      state: bus presence, disk number, mode, running image, faults
//   registers.bin   the register file, 2 banks of 64 KiB (lower bank, then upper)
//   config.bin      configuration area: image 0 type 0, image 0 type 1,
//                   image 1 type 0, image 1 type 1, 128 bytes each
//   spi0.bin        firmware image 0 as flashed (its length is the image length)
//   spi1.bin        firmware image 1
//   factory.bin     512 bytes of factory data (vital product data page 0xC8)
//   power.bin       the last power configuration written (304 bytes)
//   key.bin         the SHA-256 key last sent (32 bytes)
//
// Image verification rule: the bridge answers 1 to the verify command for an
// image when it holds a key and the 32 bytes just before the image's 6-byte tail
// (image[len-38 .. len-7]) equal SHA-256(key || image[0 .. len-39]); otherwise 0.
// MakeFirmwareImage builds images that carry such a digest.
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/KeyValueFile.h"
#include "emu/NvmeDisk.h"
#include "emu/ScsiTarget.h"

namespace emu {

constexpr uint32_t kRegisterFileSize = 0x20000;
constexpr uint32_t kConfigTableSize = 128;
constexpr uint32_t kFirmwareImageMax = 0x80000;  // SPI room per image
constexpr uint32_t kSegmentOneOffset = 65280;    // where segment 1 of an image starts
constexpr uint32_t kFactoryDataSize = 512;
constexpr uint32_t kPowerConfigSize = 304;
constexpr uint32_t kKeySize = 32;
constexpr uint32_t kImageDigestOffsetFromEnd = 38;  // digest sits before the 6-byte tail
constexpr uint32_t kImageVersionOffset = 0x204;
constexpr int64_t kDefaultReturnDelayMs = 2000;
constexpr int64_t kLateReturnMs = 600000;

// Named registers, by the addresses the host uses (upper bank at 0x20000).
namespace reg {
constexpr uint32_t kFirmwareVersion = 0x07F0;
constexpr uint32_t kUsbMode = 0x9000;
constexpr uint32_t kUsbConnection = 0x9100;
constexpr uint32_t kUsb3Lanes = 0x92F8;
constexpr uint32_t kCcOrientation = 0xC6DB;
constexpr uint32_t kSha256Option = 0xC8D1;
constexpr uint32_t kVariantRevision = 0xC8FF;
constexpr uint32_t kU4Link = 0x20000;
constexpr uint32_t kU4Tunnel = 0x22805;
constexpr uint32_t kU4SpeedA = 0x22865;
constexpr uint32_t kU4SpeedC = 0x22871;
constexpr uint32_t kU4SpeedD = 0x228A0;
constexpr uint32_t kU4SpeedE = 0x228A1;
constexpr uint32_t kU4ErrorRecovery = 0x2601A;
}  // namespace reg

// Offset in registers.bin of a register address: an address above 0xFFFF is in
// the upper bank; only its low 16 bits select the register there.
uint32_t RegisterFileOffset(uint32_t address);

enum class U4Mode { Legacy, Tbt3, PcieTunnel, Usb3Tunnel };
const char* U4ModeName(U4Mode mode);
bool ParseU4Mode(const std::string& text, U4Mode& mode);

// How an injected fault shows: the call fails, the command ends in CHECK
// CONDITION, the command is never answered (the host waits out its time-out),
// or the bridge leaves the bus in the middle of the command (the call fails as
// for a device that is gone, and the bridge stays unplugged).
enum class FaultMode { CallFails, CheckCondition, NoAnswer, Unplug };
// The word of each mode in the bridge's state and on the console: "call", "check", "hang", "unplug".
const char* FaultModeWord(FaultMode mode);
std::optional<FaultMode> FaultModeFromWord(std::string_view word);
struct Fault {
    FaultMode mode = FaultMode::CallFails;
    int remaining = 0;
};

// A firmware image of `size` bytes (at least 0x300) with the version at 0x204,
// the signature byte at size - 6 and the digest of the verification rule for `key`.
std::vector<uint8_t> MakeFirmwareImage(const std::array<uint8_t, 6>& version, uint32_t size, uint8_t signature,
                                       const std::array<uint8_t, kKeySize>& key, uint32_t seed);
// The key the tool provisions: the SHA-256 initial hash words, most significant byte first.
std::array<uint8_t, kKeySize> StandardKey();

// USB identity a bridge reports in its device and string descriptors, taken at
// boot from its configuration table (image 0, type 0) when that table carries
// the 0x5A signature and a correct checksum, else the ROM identity.
struct UsbIdentity {
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    std::string serial;  // empty: the device has no serial-number string
    std::string manufacturer;
    std::string product;
};

// Where a device hangs in the USB tree: host controller, hub (0 = the
// controller's root hub, else an external hub's id) and port (1-based).
struct UsbLocation {
    int controller = 0;
    int hub = 0;
    int port = 1;
};

// A factory configuration table with the given identity (signature and checksum set).
std::array<uint8_t, kConfigTableSize> MakeConfigTable(const UsbIdentity& identity);

struct BridgeSetup {
    int diskNumber = 1;
    UsbLocation location;
    std::string serial;  // factory serial number; empty gives "DV2406" + 14-digit disk number
    U4Mode mode = U4Mode::Legacy;
    uint8_t variantRevision = 0x30;  // register 0xC8FF: 795D, major revision 0
    std::array<uint8_t, 6> firmwareVersion{0x24, 0x06, 0x12, 0x00, 0x01, 0x05};
    uint32_t imageSize = 0x1A000;
};

class Bridge final : public IScsiTarget {
public:
    // Opens the bridge kept in `folder` (its state is loaded now).
    explicit Bridge(std::filesystem::path folder);
    // Creates a bridge folder with factory defaults; false when it cannot be written.
    static bool Create(const std::filesystem::path& folder, const BridgeSetup& setup);

    void Execute(ScsiExchange& exchange) override;
    // Writes changed state back to bridge.ini and tells the station's
    // generation stamp (the station folder is the bridge folder's parent).
    bool Save() const;

    // State.
    bool Present() const { return m_State.GetInt("present", 1) != 0; }
    void SetPresent(bool present) { m_State.SetInt("present", present ? 1 : 0); }
    int DiskNumber() const { return static_cast<int>(m_State.GetInt("disk_number", -1)); }
    void SetDiskNumber(int disk) { m_State.SetInt("disk_number", disk); }
    // CD-ROM number while the bridge presents itself as a CD-ROM device, else -1.
    int CdromNumber() const
    {
        return m_State.GetInt("cdrom", 0) ? static_cast<int>(m_State.GetInt("cdrom_number", -1)) : -1;
    }
    U4Mode Mode() const;
    void SetMode(U4Mode mode);
    std::string ChipId() const;  // "7951" or "7956"
    int RunningImage() const { return static_cast<int>(m_State.GetInt("running_image", 0)); }
    UsbLocation Location() const;
    void SetLocation(const UsbLocation& location);
    // Identity the bridge enumerates with (taken from its table at boot).
    UsbIdentity Identity() const;
    // Identity its configuration table holds now.
    UsbIdentity TableIdentity() const;
    // Presents the bridge as CD-ROM `number`, or as a disk again with -1.
    void SetCdrom(int number);
    // A bridge whose serial-number string is switched off reports none.
    bool SerialStringOff() const { return m_State.GetInt("serial_string_off", 0) != 0; }
    void SetSerialStringOff(bool off) { m_State.SetInt("serial_string_off", off ? 1 : 0); }
    // Generic state keys for shaping a station (link speed, disk size, ...).
    std::string Get(const std::string& key, const std::string& fallback = "") const { return m_State.Get(key, fallback); }
    void Set(const std::string& key, const std::string& value) { m_State.Set(key, value); }

    // Faults: the next `count` requests with this opcode fail.
    void SetFault(uint8_t opcode, FaultMode mode, int count);
    void ClearFaults();
    std::map<uint8_t, Fault> Faults() const;
    // Takes one injected fault of `opcode` (the raw disk transfers use READ(10)
    // 28 and WRITE(10) 2A) and saves the rest; false when none is pending.
    bool TakeOpcodeFault(uint8_t opcode);

    // Device memory, for inspection.
    uint8_t ReadRegister(uint32_t address) const;
    void WriteRegister(uint32_t address, uint8_t value);
    std::vector<uint8_t> FirmwareImage(int image) const;
    std::array<uint8_t, kConfigTableSize> ConfigTable(int image, int type) const;
    // Version bytes 0x204..0x209 of an image as 12 lower-case hex digits; empty
    // when the image is too short.
    std::string ImageVersion(int image) const;
    // Starts the firmware: loads the running image's version into register
    // 0x07F0 and takes the USB identity from the configuration table.
    void Boot();
    // A bootable image: long enough, with a known signature byte at length - 6.
    bool ImageValid(int image) const;
    // After a CPU reset the bridge stays off the bus for return_delay_ms
    // (default 2000) of station time, then comes back on a new disk number and
    // boots. The key reset_fault shapes the return: "never", "late" (after 10
    // minutes), "cdrom" (as a CD-ROM device), "corrupt" (image 0 damaged, so the
    // bridge boots image 1 or stays in ROM code).
    std::string ResetFault() const { return m_State.Get("reset_fault", "none"); }
    // Station time at which a reset bridge returns; -1 when it will not.
    int64_t ReturnDueMs() const;
    void ReturnToBus(int diskNumber, int cdromNumber);
    // USB3 link: "full", "high", "super", "superx2", "plus", "plusx2".
    bool SetUsb3Link(const std::string& link);

    const std::filesystem::path& Folder() const { return m_Folder; }
    // The NVMe disk behind the bridge, described by the bridge's state.
    NvmeDisk Disk() const;

private:
    bool TakeFault(ScsiExchange& exchange);
    void Inquiry(ScsiExchange& exchange);
    void RegisterRead(ScsiExchange& exchange);
    void RegisterWrite(ScsiExchange& exchange);
    void ConfigAccess(ScsiExchange& exchange, bool write);
    void FirmwareAccess(ScsiExchange& exchange, bool write);
    void ResetOrDisconnect(ScsiExchange& exchange);
    void PowerConfigWrite(ScsiExchange& exchange);
    void KeyCommand(ScsiExchange& exchange);
    void AtaPassThrough(ScsiExchange& exchange);
    uint8_t VerifyImage(int image) const;

    std::filesystem::path File(const char* name) const { return m_Folder / name; }

    std::filesystem::path m_Folder;
    KeyValueFile m_State;
};

// An ordinary disk that knows no vendor command: the host's system disk, a
// plain USB stick, a SATA disk.
class PlainDisk final : public IScsiTarget {
public:
    PlainDisk(const char* vendor, const char* product) : m_Vendor(vendor), m_Product(product) {}
    void Execute(ScsiExchange& exchange) override;

private:
    const char* m_Vendor;
    const char* m_Product;
};

// Fills standard INQUIRY data (36 bytes, plus the chip ID at 36..37 when given).
void FillInquiry(ScsiExchange& exchange, uint8_t peripheralType, const char* vendor, const char* product,
                 const char* revision, const std::string& chipId);

}  // namespace emu
