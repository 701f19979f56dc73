#include "device/PassThrough.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log/DebugLog.h"
#include "util/Clock.h"

namespace {
constexpr int64_t kCallRetryPauseMs = 20;

template <typename Header>
void FillHeader(Header& header, const ScsiCommand& command)
{
    header.Length = sizeof(Header);
    header.CdbLength = command.cdbLength;
    header.SenseInfoLength = kSenseInfoLength;
    header.DataIn = command.dataIn;
    header.DataTransferLength = command.length;
    header.TimeOutValue = command.timeOutSeconds;
    header.SenseInfoOffset = platform::kSenseOffset;
    std::memcpy(header.Cdb, command.cdb, command.cdbLength);
}
}  // namespace

PassThroughOutcome CPassThrough::Send(HANDLE handle, const ScsiCommand& command) const
{
    // The block is the request's only storage: 64 KiB on the stack, no heap.
    PassThroughBlock storage;
    PassThroughBlock* block = &storage;
    std::memset(block, 0, sizeof(PassThroughBlock));
    FillHeader(block->spt, command);
    block->spt.DataBufferOffset = platform::kDataOffset;
    if (command.dataIn == platform::SCSI_IOCTL_DATA_OUT && command.length > 0)
        std::memcpy(block->ucDataBuf, command.data, command.length);

    PassThroughOutcome outcome;
    uint32_t returned = 0;
    const uint32_t outLength = platform::kDataOffset + command.length;
    outcome.callSucceeded = m_Station.DeviceIoControl(handle, platform::IOCTL_SCSI_PASS_THROUGH, block,
                                                      sizeof(PassThroughBlock), block, outLength, &returned);
    while (!outcome.callSucceeded && outcome.callRetries < command.callRetries) {
        util::SleepMs(kCallRetryPauseMs);
        ++outcome.callRetries;
        outcome.callSucceeded = m_Station.DeviceIoControl(handle, platform::IOCTL_SCSI_PASS_THROUGH, block,
                                                          sizeof(PassThroughBlock), block, outLength, &returned);
        if (outcome.callSucceeded) {
            char note[64];
            std::snprintf(note, sizeof note, "\n::DeviceIoControl success after retry:%d", outcome.callRetries);
            devlog::OutputDebugString(note);
        }
    }
    outcome.lastError = platform::GetLastError();
    outcome.scsiStatus = block->spt.ScsiStatus;
    outcome.senseLength = std::min<uint8_t>(block->spt.SenseInfoLength, kSenseInfoLength);
    std::memcpy(outcome.sense.data(), block->ucSenseBuf, outcome.senseLength);
    if (outcome.Success() && command.dataIn == platform::SCSI_IOCTL_DATA_IN && command.length > 0)
        std::memcpy(command.data, block->ucDataBuf, command.length);
    return outcome;
}

PassThroughOutcome CPassThrough::SendDirect(HANDLE handle, const ScsiCommand& command) const
{
    std::vector<uint8_t> transfer(command.length);
    if (command.dataIn == platform::SCSI_IOCTL_DATA_OUT && command.length > 0)
        std::memcpy(transfer.data(), command.data, command.length);
    DirectPassThroughBlock block{};
    FillHeader(block.sptd, command);
    block.sptd.DataBuffer = transfer.data();

    PassThroughOutcome outcome;
    uint32_t returned = 0;
    outcome.callSucceeded = m_Station.DeviceIoControl(handle, platform::IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                                      sizeof block, &block, sizeof block, &returned);
    outcome.lastError = platform::GetLastError();
    outcome.scsiStatus = block.sptd.ScsiStatus;
    outcome.senseLength = std::min<uint8_t>(block.sptd.SenseInfoLength, kSenseInfoLength);
    std::memcpy(outcome.sense.data(), block.ucSenseBuf, outcome.senseLength);
    if (outcome.Success() && command.dataIn == platform::SCSI_IOCTL_DATA_IN && command.length > 0)
        std::memcpy(command.data, transfer.data(), command.length);
    return outcome;
}
