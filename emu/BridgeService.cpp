#include "emu/BridgeService.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace emu {

namespace {
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscUnrecoveredRead = 0x11;
constexpr uint8_t kAscWriteFault = 0x03;

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t Be64(const uint8_t* p) { return uint64_t(Be32(p)) << 32 | Be32(p + 4); }
void PutBe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutBe64(uint8_t* p, uint64_t v)
{
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

// Copies an answer into the data-in buffer, as much as the host asked for.
void Answer(ScsiExchange& exchange, const uint8_t* data, uint32_t size)
{
    const uint32_t n = std::min(size, exchange.dataLength);
    if (exchange.data && n) std::memcpy(exchange.data, data, n);
    exchange.transferred = n;
}

// READ or WRITE (10) and (16) on the disk: whole sectors within the disk and
// within the data phase the host offered.
void Transfer(const NvmeDisk& disk, ScsiExchange& exchange, bool write)
{
    const uint8_t op = exchange.cdb[0];
    const bool sixteen = op == 0x88 || op == 0x8A;
    const uint64_t lba = sixteen ? Be64(&exchange.cdb[2]) : Be32(&exchange.cdb[2]);
    const uint32_t blocks =
        sixteen ? Be32(&exchange.cdb[10]) : static_cast<uint32_t>(exchange.cdb[7] << 8 | exchange.cdb[8]);
    if (lba > disk.SectorCount() || blocks > disk.SectorCount() - lba)
        return exchange.CheckCondition(kSenseIllegalRequest, kAscLbaOutOfRange);
    const uint64_t bytes = uint64_t(blocks) * kDiskSectorSize;
    // The host's data phase must hold every block the command names and run the
    // command's way; otherwise nothing is moved (the transport reports the phase).
    if (bytes > exchange.dataLength || (bytes && exchange.dataIn == write))
        return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    const uint64_t offset = lba * kDiskSectorSize;
    const bool done = write ? disk.Write(offset, exchange.data, bytes) : disk.Read(offset, exchange.data, bytes);
    if (!done)
        return exchange.CheckCondition(kSenseMediumError, write ? kAscWriteFault : kAscUnrecoveredRead);
    exchange.transferred = static_cast<uint32_t>(bytes);
}

void ModeSense(ScsiExchange& exchange)
{
    const bool ten = exchange.cdb[0] == 0x5A;
    const uint8_t page = exchange.cdb[2] & 0x3F;
    // Caching page (08) with the write cache on; every page (3F) is that one.
    std::vector<uint8_t> pages;
    if (page == 0x08 || page == 0x3F) pages = {0x08, 0x12, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    else if (page != 0x00) return exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
    std::vector<uint8_t> data;
    if (ten) {
        data.assign(8, 0);
        const size_t length = 6 + pages.size();
        data[0] = static_cast<uint8_t>(length >> 8);
        data[1] = static_cast<uint8_t>(length);
    } else {
        data.assign(4, 0);
        data[0] = static_cast<uint8_t>(3 + pages.size());
    }
    data.insert(data.end(), pages.begin(), pages.end());
    Answer(exchange, data.data(), static_cast<uint32_t>(data.size()));
}

// A standard block command answered on the disk; false for one the bridge answers.
bool DiskCommand(const Bridge& bridge, ScsiExchange& exchange, PendingSense& pending)
{
    const uint8_t op = exchange.cdb[0];
    switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
    case 0x1B:  // START STOP UNIT
    case 0x35:  // SYNCHRONIZE CACHE (10)
    case 0x91:  // SYNCHRONIZE CACHE (16)
        return true;
    case 0x03: {  // REQUEST SENSE: the last CHECK CONDITION's sense, then "no sense"
        uint8_t data[18] = {0x70, 0, 0, 0, 0, 0, 0, 10};
        if (pending.length) std::memcpy(data, pending.sense.data(), std::min<size_t>(pending.length, sizeof data));
        pending = {};
        const uint32_t allocation = exchange.cdb[4];
        Answer(exchange, data, std::min<uint32_t>(allocation, sizeof data));
        return true;
    }
    case 0x25: {  // READ CAPACITY (10)
        const NvmeDisk disk = bridge.Disk();
        uint8_t data[8];
        PutBe32(data, static_cast<uint32_t>(std::min<uint64_t>(disk.SectorCount() - 1, 0xFFFFFFFFu)));
        PutBe32(data + 4, kDiskSectorSize);
        Answer(exchange, data, sizeof data);
        return true;
    }
    case 0x9E:  // SERVICE ACTION IN (16): READ CAPACITY (16)
        if ((exchange.cdb[1] & 0x1F) != 0x10) {
            exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
            return true;
        } else {
            const NvmeDisk disk = bridge.Disk();
            uint8_t data[32] = {};
            PutBe64(data, disk.SectorCount() - 1);
            PutBe32(data + 8, kDiskSectorSize);
            Answer(exchange, data, std::min<uint32_t>(Be32(&exchange.cdb[10]), sizeof data));
            return true;
        }
    case 0x28:
    case 0x88: Transfer(bridge.Disk(), exchange, false); return true;
    case 0x2A:
    case 0x8A: Transfer(bridge.Disk(), exchange, true); return true;
    case 0x1A:
    case 0x5A: ModeSense(exchange); return true;
    default: return false;
    }
}

}  // namespace

FolderLock::FolderLock(const std::filesystem::path& path)
    : m_Fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
{
    if (m_Fd >= 0) ::flock(m_Fd, LOCK_EX);
}

FolderLock::~FolderLock()
{
    if (m_Fd >= 0) ::close(m_Fd);
}

BridgeAnswer ServeBridgeCommand(const std::filesystem::path& folder, ScsiExchange& exchange,
                                const std::function<bool(const Bridge&)>& reaches)
{
    BridgeAnswer answer;
    FolderLock lock(folder / "lock");
    Bridge bridge(folder);  // current under the lock
    if (!bridge.Present() || (reaches && !reaches(bridge))) {
        exchange.callFailed = true;
        exchange.callError = kErrorDeviceNotConnected;
        return answer;
    }
    bridge.Execute(exchange);
    answer.reached = true;
    answer.leftTheBus = !bridge.Present();
    return answer;
}

bool IsDiskCommand(uint8_t op)
{
    switch (op) {
    case 0x00: case 0x03: case 0x1A: case 0x1B: case 0x1E: case 0x25: case 0x28: case 0x2A:
    case 0x35: case 0x5A: case 0x88: case 0x8A: case 0x91: case 0x9E: return true;
    default: return false;
    }
}

BridgeAnswer ServeDiskCommand(const std::filesystem::path& folder, ScsiExchange& exchange, PendingSense& pending)
{
    const uint8_t op = exchange.cdb[0];
    BridgeAnswer answer;
    if (!IsDiskCommand(op)) answer = ServeBridgeCommand(folder, exchange);
    else {
        FolderLock lock(folder / "lock");
        Bridge bridge(folder);
        if (!bridge.Present()) {
            exchange.callFailed = true;
            exchange.callError = kErrorDeviceNotConnected;
            return answer;
        }
        exchange.transferred = 0;
        answer.reached = true;
        const auto faults = bridge.Faults();
        const auto fault = faults.find(op);
        if (op != 0x03 && fault != faults.end() && bridge.TakeOpcodeFault(op)) {
            // An injected fault shows the way it was injected.
            if (fault->second.mode == FaultMode::NoAnswer) exchange.noAnswer = true;
            else if (fault->second.mode == FaultMode::CallFails) {
                exchange.callFailed = true;
                exchange.callError = 31;  // ERROR_GEN_FAILURE
            } else exchange.CheckCondition(kSenseAbortedCommand, 0x00);
        } else {
            DiskCommand(bridge, exchange, pending);
        }
    }
    // The sense of a CHECK CONDITION is kept for the REQUEST SENSE that follows.
    if (answer.reached && !exchange.callFailed && !exchange.noAnswer && exchange.status == kStatusCheckCondition) {
        pending.sense = exchange.sense;
        pending.length = exchange.senseLength;
    }
    return answer;
}

}  // namespace emu
