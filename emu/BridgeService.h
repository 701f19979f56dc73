#pragma once
// One command block answered by a bridge kept in a station folder, the way every
// server of the emulated bridges does it (the emulated station's pass-through,
// the USB gadget server): under the bridge folder's lock, on the bridge's state
// as saved now, only while the bridge is on the bus; a CPU reset or a disconnect
// the command causes is reported so that the server can take the bridge off its
// bus. The standard block commands a disk answers (reads, writes, capacity,
// sense) are answered here too, on the bridge's NVMe disk, for servers that
// carry the disk's data on the same wire.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "emu/Bridge.h"
#include "emu/ScsiTarget.h"

namespace emu {

// Exclusive lock on a file, held across threads and processes (advisory; closing
// the file releases it).
class FolderLock {
public:
    explicit FolderLock(const std::filesystem::path& path);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int m_Fd;
};

struct BridgeAnswer {
    bool reached = false;     // the bridge was on the bus (and `reaches` agreed) and answered
    bool leftTheBus = false;  // the command took it off the bus (CPU reset, disconnect)
};

// Runs `exchange` on the bridge in `folder`: `reaches` (when given) decides, on
// the bridge's current state, whether the requester still reaches it. A bridge
// off the bus or not reached fails the call with ERROR_DEVICE_NOT_CONNECTED (1167).
BridgeAnswer ServeBridgeCommand(const std::filesystem::path& folder, ScsiExchange& exchange,
                                const std::function<bool(const Bridge&)>& reaches = {});

// The sense data of the last command of one logical unit that ended in CHECK
// CONDITION, for REQUEST SENSE.
struct PendingSense {
    std::array<uint8_t, 18> sense{};
    uint8_t length = 0;
};

// The same with the standard block commands of a direct-access disk answered
// on the bridge's NVMe disk: TEST UNIT READY, REQUEST SENSE, READ CAPACITY (10)
// and (16), READ and WRITE (10) and (16), MODE SENSE (6) and (10), SYNCHRONIZE
// CACHE (10), PREVENT ALLOW MEDIUM REMOVAL, START STOP UNIT. Everything else
// (INQUIRY, the vendor commands) goes to the bridge. Injected faults of an
// opcode reach these commands too.
BridgeAnswer ServeDiskCommand(const std::filesystem::path& folder, ScsiExchange& exchange, PendingSense& pending);

}  // namespace emu
