#pragma once
// The Windows-shaped vocabulary the tool keeps for its own world (handles, device
// paths, pass-through blocks, error codes). Each station maps it onto what it has.
#include <cstddef>
#include <cstdint>

namespace platform {

using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

// Access, sharing, disposition and flag values of CreateFile.
constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
constexpr uint32_t FILE_SHARE_READ = 0x1;
constexpr uint32_t FILE_SHARE_WRITE = 0x2;
constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000u;
constexpr uint32_t FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// Error codes reported through GetLastError.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_READY = 21;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_SEM_TIMEOUT = 121;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_IO_DEVICE = 1117;
constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;

// Device I/O control codes.
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH = 0x0004D004;
constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x0004D014;

constexpr uint8_t SCSI_IOCTL_DATA_OUT = 0;
constexpr uint8_t SCSI_IOCTL_DATA_IN = 1;

#pragma pack(push, 1)
// Pass-through header with the data at an offset inside the request buffer.
struct SCSI_PASS_THROUGH {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint8_t Reserved[3];
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    uint32_t DataBufferOffset;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

// Pass-through header whose data lives in a separate buffer. The 64-bit pointer
// takes the place of the 32-bit offset plus the filler that follows the plain
// header, so the sense bytes sit at offset 48 in both forms.
struct SCSI_PASS_THROUGH_DIRECT {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint8_t Reserved[3];
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void* DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};
#pragma pack(pop)

static_assert(sizeof(SCSI_PASS_THROUGH) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 48);

constexpr uint32_t kSenseOffset = 48;       // after the header and its filler
constexpr uint32_t kSenseBufferSize = 32;
constexpr uint32_t kDataOffset = 80;         // after the sense buffer
constexpr uint32_t kMaxBufferedData = 65536;  // data area of a plain request

}  // namespace platform
