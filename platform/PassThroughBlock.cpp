#include "platform/PassThroughBlock.h"

#include "platform/Station.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace platform {

bool DecodePassThrough(uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize, void* outBuffer,
                       uint32_t outBufferSize, PassThroughCall& call, uint32_t& error)
{
    call = PassThroughCall{};
    call.direct = ioControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if ((!call.direct && ioControlCode != IOCTL_SCSI_PASS_THROUGH) || !inBuffer || !outBuffer) {
        error = ERROR_INVALID_FUNCTION;
        return false;
    }
    call.headerSize = call.direct ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH);
    error = ERROR_INVALID_PARAMETER;
    if (inBufferSize < call.headerSize || outBufferSize < call.headerSize) return false;
    // Both header forms share every field up to the data location.
    SCSI_PASS_THROUGH plain{};
    SCSI_PASS_THROUGH_DIRECT direct{};
    if (call.direct) std::memcpy(&direct, inBuffer, sizeof direct);
    else std::memcpy(&plain, inBuffer, sizeof plain);
    const uint16_t length = call.direct ? direct.Length : plain.Length;
    const uint8_t cdbLength = call.cdbLength = call.direct ? direct.CdbLength : plain.CdbLength;
    const uint8_t dataIn = call.dataInFlag = call.direct ? direct.DataIn : plain.DataIn;
    const uint32_t transfer = call.transferLength = call.direct ? direct.DataTransferLength : plain.DataTransferLength;
    const uint8_t senseLength = call.senseLength = call.direct ? direct.SenseInfoLength : plain.SenseInfoLength;
    call.timeOutValue = call.direct ? direct.TimeOutValue : plain.TimeOutValue;
    call.senseOffset = call.direct ? direct.SenseInfoOffset : plain.SenseInfoOffset;
    std::memcpy(call.cdb, call.direct ? direct.Cdb : plain.Cdb, sizeof call.cdb);
    call.headerRead = true;
    if (length != call.headerSize || cdbLength < 1 || cdbLength > 16 || dataIn > 1 ||
        uint64_t{call.senseOffset} + senseLength > outBufferSize || call.senseOffset < call.headerSize)
        return false;
    call.dataIn = dataIn == SCSI_IOCTL_DATA_IN;

    uint8_t* data = nullptr;
    if (transfer > 0) {
        if (call.direct) {
            data = static_cast<uint8_t*>(direct.DataBuffer);
            if (!data) return false;
        } else {
            call.dataOffset = plain.DataBufferOffset;
            const uint64_t end = uint64_t{plain.DataBufferOffset} + transfer;
            if (plain.DataBufferOffset < call.headerSize || end > (call.dataIn ? outBufferSize : inBufferSize))
                return false;
            data = static_cast<uint8_t*>(call.dataIn ? outBuffer : inBuffer) + plain.DataBufferOffset;
        }
    }
    call.request.cdb = {call.cdb, cdbLength};
    call.request.direction = transfer == 0 ? ScsiDirection::kNone : call.dataIn ? ScsiDirection::kIn : ScsiDirection::kOut;
    call.request.data = {data, transfer};
    call.request.timeoutSeconds = call.timeOutValue;
    call.request.senseCapacity = senseLength;
    error = ERROR_SUCCESS;
    return true;
}

uint32_t TransportError(ScsiTransport transport)
{
    switch (transport) {
    case ScsiTransport::kDone: return ERROR_SUCCESS;
    case ScsiTransport::kBadRequest: return ERROR_INVALID_PARAMETER;
    case ScsiTransport::kNoDevice: return ERROR_DEVICE_NOT_CONNECTED;
    case ScsiTransport::kTimedOut: return ERROR_SEM_TIMEOUT;
    case ScsiTransport::kFailed: break;
    }
    return ERROR_IO_DEVICE;
}

bool EncodePassThrough(const PassThroughCall& call, const ScsiOutcome& outcome, const void* inBuffer,
                       void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned, uint32_t& error)
{
    if (bytesReturned) *bytesReturned = 0;
    error = TransportError(outcome.transport);
    if (error != ERROR_SUCCESS) return false;
    auto* out = static_cast<uint8_t*>(outBuffer);
    if (out != inBuffer) std::memcpy(out, inBuffer, call.headerSize);
    const auto senseReturned = static_cast<uint8_t>(std::min<size_t>(call.request.senseCapacity, outcome.sense.size()));
    if (senseReturned != 0) std::memcpy(out + call.senseOffset, outcome.sense.data(), senseReturned);
    out[offsetof(SCSI_PASS_THROUGH, ScsiStatus)] = outcome.scsiStatus;
    out[offsetof(SCSI_PASS_THROUGH, SenseInfoLength)] = senseReturned;
    const uint32_t moved = std::min<uint32_t>(outcome.bytesMoved, static_cast<uint32_t>(call.request.data.size()));
    std::memcpy(out + offsetof(SCSI_PASS_THROUGH, DataTransferLength), &moved, sizeof moved);
    if (bytesReturned)
        *bytesReturned = call.direct || !call.dataIn ? std::min<uint32_t>(outBufferSize, kDataOffset)
                                                     : call.dataOffset + moved;
    return true;
}

bool IStation::DeviceIoControl(HANDLE handle, uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize,
                               void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned)
{
    if (bytesReturned) *bytesReturned = 0;
    PassThroughCall call;
    uint32_t error = ERROR_SUCCESS;
    ScsiOutcome outcome;
    if (!DecodePassThrough(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, call, error)) {
        SetLastError(error);
        return false;
    }
    if (!SendScsi(handle, call.request, outcome)) return false;
    if (!EncodePassThrough(call, outcome, inBuffer, outBuffer, outBufferSize, bytesReturned, error)) {
        SetLastError(error);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform
