#pragma once
// The emulated station's PCIe side: the functions it lists, their configuration
// space and the BARs of its NVMe controllers.
//
// Functions (segment 0; nothing on another segment):
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
// An opened configuration space sees the function that was at its place when
// it was opened. A bridge's space goes dark (all ones) while the bridge is
// inside the relink delay of a CPU reset and answers again when it returns.
//
// The NVMe controllers (class 010802) have a 16 KiB memory BAR 0 whose
// controller capabilities (0x00, 64 bits) and version (0x08, 1.4) read as an
// NVMe controller's; the rest reads 0, and writes are ignored. No other
// function has a BAR.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/PcieMailbox.h"
#include "platform/Pcie.h"

namespace platform {

class EmuStation;

struct EmuMailboxRing {
    int bridgeId = 0;
    std::array<uint8_t, emu::kMailboxCommandSize> command{};
};

class EmuPcie {
public:
    static constexpr int kFirstBridgeBus = 0x10;
    static constexpr int kMaxPcieBridgeId = 28;
    static constexpr uint32_t kNvmeBarSize = 16384;

    explicit EmuPcie(EmuStation& station);

    std::vector<PcieFunction> Functions() const;
    std::unique_ptr<IPcieRegion> OpenConfig(const PcieLocation& location);
    std::unique_ptr<IPcieRegion> MapBar(const PcieLocation& location, int bar);

    // Test and bring-up switch: a station that reaches no PCIe function.
    void SetReachable(bool reachable);
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
    struct Slot {
        std::mutex lock;
        emu::PcieMailbox mailbox;
    };
    class ConfigRegion;

    bool Reachable() const;
    // The fixed functions; an absent one for any other place.
    static Function FixedFunction(const PcieLocation& location);
    // The function a present bridge shows at `role` (0 upstream port, 1
    // downstream port, 2 NVMe drive).
    static Function BridgeFunction(const emu::Bridge& bridge, int bridgeId, int role);
    Function Resolve(const PcieLocation& location) const;
    uint8_t ReadByte(const Function& f, uint32_t offset);
    void WriteByte(const Function& f, uint32_t offset, uint8_t value);
    bool BridgeOnline(int bridgeId) const;
    Slot& MailboxSlot(int bridgeId, uint16_t chipId);

    EmuStation& m_Station;
    mutable std::mutex m_Lock;
    bool m_Reachable = true;
    std::map<int, std::unique_ptr<Slot>> m_Slots;
    std::map<int, int64_t> m_OfflineUntil;  // bridge id -> return time after a reset here
    std::vector<EmuMailboxRing> m_Rings;
};

}  // namespace platform
