#pragma once
// One SCSI pass-through request to a bridge's storage device: the request block,
// its lengths and time-out, and the success rule (the call returned true and the
// SCSI status is GOOD; sense bytes are returned but not interpreted).
#include <array>
#include <cstdint>

#include "platform/Station.h"

using platform::HANDLE;
using platform::INVALID_HANDLE_VALUE;

// Result of the command operations: 0 success, negative failure codes.
using CommandResult = int;
constexpr CommandResult kCommandSuccess = 0;
constexpr CommandResult kCommandFailed = -1;
constexpr CommandResult kCommandNothingObtained = -4;
constexpr CommandResult kCommandDiskNotOpened = -5;
constexpr CommandResult kCommandPcieTimeOut = -9;
constexpr CommandResult kCommandInvalidArgument = -10;

// ReadWrite argument of the command operations.
constexpr uint8_t kReadFromDevice = 0;
constexpr uint8_t kWriteToDevice = 1;

constexpr uint32_t kMaxPassThroughData = platform::kMaxBufferedData;
constexpr uint8_t kSenseInfoLength = 24;

// Time-outs, seconds.
constexpr uint32_t kTimeOutVendorRead = 3;
constexpr uint32_t kTimeOutVendorWrite = 60;
constexpr uint32_t kTimeOutInquiry = 3;
constexpr uint32_t kTimeOutDisconnect = 3;
constexpr uint32_t kTimeOutCpuReset = 6;
constexpr uint32_t kTimeOutFactory = 60;
constexpr uint32_t kTimeOutScsiCmd = 60;
constexpr uint32_t kTimeOutAta = 65535;
constexpr uint32_t kTimeOutKey = 60;

#pragma pack(push, 1)
// Request buffer of a plain request: header, filler, sense bytes, data.
struct PassThroughBlock {
    platform::SCSI_PASS_THROUGH spt;
    uint32_t Filler;
    uint8_t ucSenseBuf[32];
    uint8_t ucDataBuf[kMaxPassThroughData];
};
// Request buffer of a direct request: header (with the data pointer) and sense.
struct DirectPassThroughBlock {
    platform::SCSI_PASS_THROUGH_DIRECT sptd;
    uint8_t ucSenseBuf[32];
};
#pragma pack(pop)
static_assert(sizeof(PassThroughBlock) == 65616);
static_assert(offsetof(PassThroughBlock, ucSenseBuf) == platform::kSenseOffset);
static_assert(offsetof(PassThroughBlock, ucDataBuf) == platform::kDataOffset);
static_assert(sizeof(DirectPassThroughBlock) == 80);

inline bool IsValidHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Handle value as trace lines print it ("hDev:%x").
inline unsigned HandleText(HANDLE handle) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)); }

// What one request came back with.
struct PassThroughOutcome {
    bool callSucceeded = false;  // the device I/O call returned true
    uint8_t scsiStatus = 0xFF;
    uint32_t lastError = 0;
    int callRetries = 0;  // repetitions of a failed call that were needed
    std::array<uint8_t, 32> sense{};
    uint8_t senseLength = 0;
    bool Success() const { return callSucceeded && scsiStatus == 0; }
};

// A command block with its data phase.
struct ScsiCommand {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t dataIn = platform::SCSI_IOCTL_DATA_OUT;
    uint8_t* data = nullptr;  // caller's buffer: copied in before a write, out after a read
    uint32_t length = 0;
    uint32_t timeOutSeconds = 0;
    int callRetries = 0;  // repetitions of a failed call, 20 ms apart (register reads: 30)
};

class CPassThrough {
public:
    explicit CPassThrough(platform::IStation& station) : m_Station(station) {}

    // Plain request through the 64 KiB data area (length at most 65,536).
    PassThroughOutcome Send(HANDLE handle, const ScsiCommand& command) const;
    // Direct request: the data goes through a heap copy of the whole transfer,
    // with no 64 KiB limit.
    PassThroughOutcome SendDirect(HANDLE handle, const ScsiCommand& command) const;

    platform::IStation& Station() const { return m_Station; }

private:
    platform::IStation& m_Station;
};
