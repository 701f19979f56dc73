#pragma once
// Device access to 795x bridges reached as PCIe devices through a USB4 tunnel:
// the register mailbox in the extended configuration space of the bridge's
// upstream switch port, reached through the station's PCIe functions and their
// configuration space. The same vendor command blocks as on the USB path travel
// through the mailbox, with their data in 128-byte pieces.
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "device/DeviceList.h"
#include "device/PassThrough.h"

// Product data of the 795x family on PCIe: the maker's PCI vendor ID, the five
// device IDs of the family's upstream switch ports, and the chip IDs their
// mailbox reports at 0x788 (0x7952..0x7956).
constexpr uint16_t kPcieMakerVendorId = 0x2C7A;
constexpr std::array<uint16_t, 5> kPcieFamilyDeviceIds = {0x7951, 0x7952, 0x7953, 0x7954, 0x7955};
constexpr uint16_t kPcieChipIdFirst = 0x7952;
constexpr uint16_t kPcieChipIdLast = 0x7956;
constexpr int kMaxPcieTargets = 16;
constexpr uint32_t kPcieMailboxPiece = 128;

// The device type the scan gives every PCIe target.
constexpr uint8_t kPcieDeviceType = 8;

// A PCIe target found by the scan.
struct PcieTarget {
    uint16_t segment = 0;
    uint8_t bus = 0, device = 0, function = 0;
    uint16_t vendorId = 0, deviceId = 0;
    uint16_t chipId = 0;
    std::array<uint8_t, 6> firmwareVersion{};
    std::array<uint8_t, CONFIG_BIN_SIZE> configTable{};
    std::array<uint8_t, CONFIG_BIN_SIZE> u4ConfigTable{};
    std::array<uint8_t, 20> serialNumber{};
    uint16_t vid = 0, pid = 0;
    uint8_t ccOrientation = 255;
    uint8_t chipVariant = 255;
    uint8_t deviceType = kPcieDeviceType;
    uint8_t u4Mode = 255;
    uint8_t u4Speed = 255;
};

// PCI IDs the settings name by default (PCIE_VendorID, PCIE_DeviceID).
constexpr uint16_t kDefaultPcieVendorId = 0x2C7A;
constexpr uint16_t kDefaultPcieDeviceId = 0x7953;

class CBrv795xPcieCtrl {
public:
    explicit CBrv795xPcieCtrl(platform::IStation& station = platform::Station());
    CBrv795xPcieCtrl(const CBrv795xPcieCtrl&) = delete;
    CBrv795xPcieCtrl& operator=(const CBrv795xPcieCtrl&) = delete;

    // 1 when the station reaches PCIe functions, 0 otherwise.
    int InitPcie();
    // Fills the target table with the 795x bridges on the PCIe buses; returns
    // the number found (0..16).
    int ScanPcie(uint16_t vendorID, uint16_t deviceID);
    // The same, then fills list.Devs[startIndex + n] for every target n that
    // fits into the list (the USB bridges stay below startIndex).
    int ScanPcie(uint16_t vendorID, uint16_t deviceID, DeviceList& list, uint32_t startIndex);
    // Fills one device record from target n (IsPcie = 1); false when there is
    // no target n.
    bool vFillPcieRecord(uint8_t target, uint8_t recordIndex, DeviceInfo& record) const;

    int TargetCount() const;
    // A copy of target n; false when there is none.
    bool GetTarget(uint8_t target, PcieTarget& out) const;

    // Mailbox transfers of `length` bytes in 128-byte pieces: byte-wise (W, R)
    // or with 32-bit accesses to the data window (Wdw, Rdw). `command` is the
    // 8-byte command block.
    CommandResult pcie_W(uint8_t target, const uint8_t* command, const uint8_t* data, uint32_t length);
    CommandResult pcie_R(uint8_t target, const uint8_t* command, uint8_t* data, uint32_t length);
    CommandResult pcie_Wdw(uint8_t target, const uint8_t* command, const uint8_t* data, uint32_t length);
    CommandResult pcie_Rdw(uint8_t target, const uint8_t* command, uint8_t* data, uint32_t length);

    // Register read (1..256 bytes) or write (the first byte of the buffer) at a
    // 17-bit register address.
    CommandResult pcie_AccessRegister(uint8_t target, uint8_t ReadWrite, uint32_t address, uint8_t* buffer,
                                      uint32_t length);
    // One 128-byte table of the configuration area (image 0/1, config type 0/1).
    CommandResult pcie_AccessConfigEEPROM2(uint8_t target, uint8_t ReadWrite, uint8_t* buffer, uint32_t length,
                                           uint8_t image, uint8_t configType);
    // A whole firmware image in one command.
    CommandResult pcie_AccessFirmwareEEPROM2(uint8_t target, uint8_t ReadWrite, uint8_t* buffer, uint32_t length,
                                             uint8_t image);
    CommandResult pcie_CPURST(uint8_t target, uint8_t funcCode);
    // Resets the bridge and waits up to 60 s for it to come back with the relink
    // stamp (relinkSignature, target) in its USB4 block; then refreshes target
    // n from it. 0 when found, -9 on time-out.
    CommandResult CPURST(uint8_t target, uint8_t relinkSignature, uint8_t funcCode, uint16_t vendorID,
                         uint16_t deviceID, uint8_t image0Enabled, uint8_t image1Enabled);
    CommandResult nGet7951PCIeErrorRecoveryCount(uint8_t target, int& count);

    platform::IStation& Station() const { return m_Station; }

private:
    using Bdf = platform::PcieLocation;
    class ConfigWindow;
    enum class MailboxForm { kByte, kDword };

    bool TargetBdf(uint8_t target, Bdf& bdf) const;
    std::mutex& MailboxLock(const Bdf& bdf);
    CommandResult MailboxWrite(const Bdf& bdf, const uint8_t* command, const uint8_t* data, uint32_t length,
                               MailboxForm form);
    CommandResult MailboxRead(const Bdf& bdf, const uint8_t* command, uint8_t* data, uint32_t length,
                              MailboxForm form);
    CommandResult RegisterAccess(const Bdf& bdf, uint8_t ReadWrite, uint32_t address, uint8_t* buffer,
                                 uint32_t length);
    CommandResult ConfigAccess(const Bdf& bdf, uint8_t ReadWrite, uint8_t* buffer, uint8_t image,
                               uint8_t configType);
    // Walks the present functions; the targets found, at most 16.
    std::vector<PcieTarget> Walk(uint16_t vendorID, uint16_t deviceID);
    // True when the function is a 795x upstream switch port with a family chip
    // ID; fills the target's IDs.
    bool IsBridgePort(const Bdf& bdf, uint16_t vendorID, uint16_t deviceID, PcieTarget& target);
    bool ReadTarget(const Bdf& bdf, PcieTarget& target);

    platform::IStation& m_Station;
    mutable std::shared_mutex m_TableLock;
    std::vector<PcieTarget> m_Targets;
    std::mutex m_MailboxLocksLock;
    std::map<Bdf, std::mutex> m_MailboxLocks;
};
