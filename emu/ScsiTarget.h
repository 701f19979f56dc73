#pragma once
// The device side of one SCSI pass-through request, as a device of the emulated
// station receives it: the command block, the data phase, and what the device
// answers (SCSI status and sense data, or a failure of the call itself).
#include <array>
#include <cstdint>

namespace emu {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;

constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kSenseAbortedCommand = 0x0B;
constexpr uint8_t kSenseHardwareError = 0x04;

constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;

struct ScsiExchange {
    std::array<uint8_t, 16> cdb{};
    uint8_t cdbLength = 0;
    bool dataIn = false;
    uint8_t* data = nullptr;  // data-out: the bytes sent; data-in: room to fill
    uint32_t dataLength = 0;
    uint32_t timeoutSeconds = 0;

    // Answer. A failed call never reaches the SCSI status; a command with no
    // answer has none of it (its transport waits out the time-out).
    bool noAnswer = false;
    bool callFailed = false;
    uint32_t callError = 0;
    uint8_t status = kStatusGood;
    std::array<uint8_t, 18> sense{};
    uint8_t senseLength = 0;
    uint32_t transferred = 0;

    void CheckCondition(uint8_t senseKey, uint8_t asc, uint8_t ascq = 0)
    {
        status = kStatusCheckCondition;
        sense = {};
        sense[0] = 0x70;  // current error, fixed format
        sense[2] = senseKey;
        sense[7] = 10;  // additional length
        sense[12] = asc;
        sense[13] = ascq;
        senseLength = 18;
        transferred = 0;
    }
};

// A device that answers command blocks.
class IScsiTarget {
public:
    virtual ~IScsiTarget() = default;
    virtual void Execute(ScsiExchange& exchange) = 0;
};

}  // namespace emu
