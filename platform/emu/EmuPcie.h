#pragma once
// The emulated station's PCIe side: an ACPI "MCFG" table, the physical-memory
// driver of the PCIe path, and the ECAM configuration space it reaches.
//
// ECAM layout. MCFG holds one allocation entry: base 0xE0000000, segment 0,
// buses 0x00..0x7F; buses 0x80..0xFF lie outside every range. Functions:
//   00:00.0  host bridge             1ABC:0100  no capability list
//   00:01.0  root port               1ABC:0101  multi-function, port type 4
//   00:01.1  root port               1ABC:0102  port type 4
//   01:00.0  switch upstream port of another vendor, 1ABC:7953, type 5, with a
//            chip ID 0x7956 at 0x788 (only the vendor tells it apart)
//   02:00.0  2C7A:7951, type 5, chip ID 0x7957 (outside the family)
//   03:00.0  2C7A:7952, NVMe endpoint (type 0), chip ID 0x7956
//   04:00.0  2C7A:7953, no capability list, chip ID 0x7956
//   05:00.0  plain NVMe controller   1ABC:5000  endpoint
//   06:00.0  2C7A:7900 (not a family device ID), type 5, chip ID 0x7956
//   bridge N (1..28, in PCIe-tunnel mode and on the bus), bus B = 0x10 + 4 (N - 1):
//   B:00.0   upstream switch port 2C7A:(0x7951 + chip variant mod 5), type 5,
//            carrying the mailbox of emu/PcieMailbox.h; chip ID from the chip
//   B+1:00.0 downstream switch port  2C7A:7950  type 6
//   B+2:00.0 the NVMe drive behind it, 1ABC:5001, endpoint
// Absent functions read all ones and ignore writes.
//
// The driver: MapBrvIO needs a loaded driver; a mapped window sees the function
// that was at its address when it was mapped. A bridge's window goes dark (all
// ones) while the bridge is inside the relink delay of a CPU reset and answers
// again when it returns.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/PcieMailbox.h"

namespace platform {

class EmuStation;

struct EmuMailboxRing {
    int bridgeId = 0;
    std::array<uint8_t, emu::kMailboxCommandSize> command{};
};

class EmuPcie {
public:
    static constexpr uint64_t kEcamBase = 0xE0000000ull;
    static constexpr int kEcamLastBus = 0x7F;
    static constexpr int kFirstBridgeBus = 0x10;
    static constexpr int kMaxPcieBridgeId = 28;
    static constexpr uint32_t kWindowSize = 4096;

    explicit EmuPcie(EmuStation& station);

    bool LoadDriver();
    void UnloadDriver();
    uintptr_t Map(uint64_t physicalAddress, uint32_t size);
    void Unmap(uintptr_t linearAddress, uint32_t size);
    int Read(uintptr_t linearAddress, uint32_t size, uint32_t* value);
    int Write(uintptr_t linearAddress, uint32_t size, uint32_t value);
    bool AcpiTable(const std::string& signature, std::vector<uint8_t>& table) const;

    // Test and bring-up switches: a station without the driver, without MCFG.
    void SetDriverAvailable(bool available);
    void SetMcfgAvailable(bool available);
    bool DriverLoaded() const;
    size_t MappedWindows() const;
    // Doorbell rings received so far (the last 4096), oldest first.
    std::vector<EmuMailboxRing> Rings() const;
    void ClearRings();

    // The bus of a bridge's upstream port, -1 when the bridge has no PCIe slot.
    static int BridgeBus(int bridgeId);

private:
    struct Function {
        bool present = false;
        uint16_t vendor = 0xFFFF, device = 0xFFFF;
        uint32_t classCode = 0;  // base class, sub-class, programming interface
        uint8_t headerType = 0;
        bool capabilities = false;
        uint8_t portType = 0;
        uint16_t chipId = 0;  // at 0x788 when non-zero
        int bridgeId = 0;     // upstream port of this bridge: the mailbox
    };
    struct Window {
        uint64_t physical = 0;
        bool ecam = false;
        Function function;
    };
    struct Slot {
        std::mutex lock;
        emu::PcieMailbox mailbox;
        bool chipKnown = false;
    };

    Function Resolve(int bus, int device, int function) const;
    bool FindWindow(uintptr_t linear, uint32_t size, Window& window, uint32_t& offset) const;
    uint8_t ReadByte(const Window& window, uint32_t offset);
    void WriteByte(const Window& window, uint32_t offset, uint8_t value);
    bool BridgeOnline(int bridgeId) const;
    Slot& MailboxSlot(int bridgeId, uint16_t chipId);

    EmuStation& m_Station;
    mutable std::mutex m_Lock;
    bool m_DriverAvailable = true;
    bool m_McfgAvailable = true;
    bool m_DriverLoaded = false;
    std::map<uintptr_t, Window> m_Windows;
    uintptr_t m_NextLinear = 0x7E0000000000ull;
    std::map<int, std::unique_ptr<Slot>> m_Slots;
    std::map<int, int64_t> m_OfflineUntil;  // bridge id -> return time after a reset here
    std::vector<EmuMailboxRing> m_Rings;
};

}  // namespace platform
