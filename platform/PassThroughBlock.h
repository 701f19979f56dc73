#pragma once
// The pass-through block the host side builds (SCSI_PASS_THROUGH or
// SCSI_PASS_THROUGH_DIRECT header, sense and data in the caller's buffers) read
// as a neutral SCSI request, and the request's outcome written back into it, the
// way the storage stack answers such a block.
#include <cstdint>

#include "platform/ScsiRequest.h"
#include "platform/WinTypes.h"

namespace platform {

struct PassThroughCall {
    // The header's fields as given, read whenever the header itself could be.
    bool headerRead = false;
    uint8_t cdbLength = 0;
    uint8_t dataInFlag = 0;
    uint8_t senseLength = 0;
    uint32_t transferLength = 0;
    uint32_t timeOutValue = 0;
    // The request, valid when the block passed every check.
    ScsiRequest request;
    bool direct = false;
    bool dataIn = false;
    uint32_t headerSize = 0;
    uint32_t senseOffset = 0;
    uint32_t dataOffset = 0;  // plain form: where the data sits in its buffer
    uint8_t cdb[16] = {};     // the request's command block points here
};

// Reads the block of an IOCTL_SCSI_PASS_THROUGH(_DIRECT) call with the checks
// the storage stack makes; false with the error code when it is malformed (the
// header's fields are still read when the buffers hold a header).
bool DecodePassThrough(uint32_t ioControlCode, void* inBuffer, uint32_t inBufferSize, void* outBuffer,
                       uint32_t outBufferSize, PassThroughCall& call, uint32_t& error);

// Writes the outcome of a decoded call into the output buffer (header copy, SCSI
// status, sense and its length, bytes moved) and the count of bytes returned.
// A transport failure writes nothing and gives false with its error code.
bool EncodePassThrough(const PassThroughCall& call, const ScsiOutcome& outcome, const void* inBuffer,
                       void* outBuffer, uint32_t outBufferSize, uint32_t* bytesReturned, uint32_t& error);

// The error code of a transport result (ERROR_SUCCESS for kDone).
uint32_t TransportError(ScsiTransport transport);

}  // namespace platform
