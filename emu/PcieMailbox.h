#pragma once
// The register mailbox of a bridge in PCIe-tunnel mode: bytes 0x700..0x7FF of
// the extended configuration space of its upstream switch port.
//
//   0x700..0x77F  data window, 128 bytes
//   0x780..0x787  command block: a 6-byte vendor command block, then 00 00
//   0x788..0x789  chip ID, little-endian, read-only
//   0x790         doorbell: the host writes 0x5A, the bridge answers 0xA5
//
// A command moves its data in pieces of up to 128 bytes, one per ring. Writing
// any byte of the command block starts a new command. A read command runs whole
// on the bridge's vendor command handler when it is first rung, and each ring
// puts its next piece into the data window; a write command takes one piece
// from the data window per ring and runs when its last piece has arrived. The
// data length comes from the command: E0/E1 128 bytes, E2/E3 the big-endian
// 32-bit length in bytes 2..5 (a whole image, up to 512 KiB, in one command),
// E4 the count in byte 1 (0 = 256), E5 none (it runs at every ring).
//
// A command the bridge refuses (unknown opcode, bad length or selector, a
// vendor command that ends in an error, a ring after the last piece) answers
// 0xEE instead of 0xA5, so the host never sees it complete.
//
// E8 resets the bridge CPU: the bridge boots again and its PCIe functions leave
// the bus for the relink delay (bridge.ini "pcie_relink_ms", default 2000 ms of
// the station clock), after which they return at the same address. The reset is
// answered with 0xA5, though the host does not wait for it.
//
// Fault: bridge.ini "pcie_mailbox_stuck = 1" makes the mailbox take every ring
// without ever answering (the doorbell keeps reading 0x5A).
#include <array>
#include <cstdint>
#include <vector>

#include "emu/Bridge.h"

namespace emu {

constexpr uint32_t kMailboxBase = 0x700;
constexpr uint32_t kMailboxData = 0x700;
constexpr uint32_t kMailboxDataSize = 128;
constexpr uint32_t kMailboxCommand = 0x780;
constexpr uint32_t kMailboxCommandSize = 8;
constexpr uint32_t kMailboxChipId = 0x788;
constexpr uint32_t kMailboxDoorbell = 0x790;
constexpr uint32_t kMailboxEnd = 0x800;
constexpr uint8_t kDoorbellRing = 0x5A;
constexpr uint8_t kDoorbellDone = 0xA5;
constexpr uint8_t kDoorbellRefused = 0xEE;
constexpr int64_t kDefaultPcieRelinkMs = 2000;

// bridge.ini keys of the PCIe side.
constexpr const char* kKeyMailboxStuck = "pcie_mailbox_stuck";
constexpr const char* kKeyPcieRelinkMs = "pcie_relink_ms";
constexpr const char* kKeyPcieOfflineUntil = "pcie_offline_until_ms";

// True when the bridge's PCIe functions are on the bus at `nowMs`: the bridge is
// present, in PCIe-tunnel mode and not inside the relink delay of a CPU reset.
// A recorded return time further away than the relink delay was taken on
// another clock (another process) and is treated as passed.
bool PcieFunctionPresent(const Bridge& bridge, int64_t nowMs);
int64_t PcieRelinkDelayMs(const Bridge& bridge);

class PcieMailbox {
public:
    enum class Outcome { kDone, kRefused, kNoAnswer, kReset };

    explicit PcieMailbox(uint16_t chipId = 0);

    // A byte of configuration space 0x700..0x7FF (other offsets read 0).
    uint8_t Read(uint32_t offset) const;
    // Writes a byte; true when the write rang the doorbell, after which the
    // caller runs Ring on the bridge, under the bridge's lock.
    bool Write(uint32_t offset, uint8_t value);
    // Carries out one ring of the current command and sets the doorbell.
    Outcome Ring(Bridge& bridge, int64_t nowMs);
    // Back to the power-on state (after a reset), keeping the chip ID.
    void Clear();

    std::array<uint8_t, kMailboxCommandSize> Command() const;
    uint8_t Doorbell() const { return m_Space[kMailboxDoorbell - kMailboxBase]; }

private:
    // Data length of the current command; false when the command is unknown.
    bool CommandLength(uint32_t& length) const;
    bool RunCommand(Bridge& bridge, bool dataIn);
    Outcome Answer(Outcome outcome);

    std::array<uint8_t, kMailboxEnd - kMailboxBase> m_Space{};
    uint16_t m_ChipId;
    uint32_t m_Progress = 0;     // bytes of the current command moved so far
    bool m_Ran = false;          // a read command has fetched its data
    std::vector<uint8_t> m_Data;  // the whole data phase of the current command
};

}  // namespace emu
