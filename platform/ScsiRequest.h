#pragma once
// One SCSI command as a station carries it, whatever the operating system: the
// command block, the data phase and the time-out in; the transport result, the
// SCSI status, the sense data and the bytes moved out.
#include <cstdint>
#include <span>
#include <vector>

namespace platform {

enum class ScsiDirection { kNone, kIn, kOut };

struct ScsiRequest {
    std::span<const uint8_t> cdb;  // 1..16 bytes
    ScsiDirection direction = ScsiDirection::kNone;
    std::span<uint8_t> data;  // the data phase: filled on kIn, sent on kOut
    uint32_t timeoutSeconds = 0;
    uint8_t senseCapacity = 0;  // the most sense bytes the caller takes
};

enum class ScsiTransport {
    kDone,          // the command reached the device; see the status
    kBadRequest,    // the request itself is malformed
    kNoDevice,      // the device is gone
    kTimedOut,      // the device did not answer in time
    kFailed,        // any other transport failure
};

struct ScsiOutcome {
    ScsiTransport transport = ScsiTransport::kFailed;
    uint8_t scsiStatus = 0;
    std::vector<uint8_t> sense;  // at most senseCapacity bytes
    uint32_t bytesMoved = 0;     // of the data phase
    int systemError = 0;         // the operating system's error number, when it gave one
};

}  // namespace platform
