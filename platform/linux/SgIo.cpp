#include "platform/linux/SgIo.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

namespace platform::linuxst {

namespace {
// Host and driver status values of the sg header that tell how the transport ended.
constexpr uint16_t kHostNoConnect = 0x01;
constexpr uint16_t kHostTimeOut = 0x03;
constexpr uint16_t kDriverTimeOut = 0x06;
constexpr uint16_t kDriverSense = 0x08;
constexpr uint16_t kDriverStatusMask = 0x0F;
constexpr uint32_t kMaxTimeoutSeconds = std::numeric_limits<unsigned int>::max() / 1000;
constexpr size_t kSenseBufferSize = 64;

ScsiTransport TransportOf(const sg_io_hdr_t& header)
{
    if (header.host_status == kHostNoConnect) return ScsiTransport::kNoDevice;
    if (header.host_status == kHostTimeOut || (header.driver_status & kDriverStatusMask) == kDriverTimeOut)
        return ScsiTransport::kTimedOut;
    if (header.host_status != 0) return ScsiTransport::kFailed;
    const uint16_t driver = header.driver_status & kDriverStatusMask;
    if (driver != 0 && driver != kDriverSense) return ScsiTransport::kFailed;
    return ScsiTransport::kDone;
}
}  // namespace

IoctlFunction SystemIoctl()
{
    return [](int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); };
}

ScsiOutcome SendScsi(int fd, const ScsiRequest& request, const IoctlFunction& ioctl)
{
    ScsiOutcome outcome;
    const bool hasData = request.direction != ScsiDirection::kNone && !request.data.empty();
    if (request.cdb.empty() || request.cdb.size() > 16 ||
        request.data.size() > std::numeric_limits<unsigned int>::max() ||
        (request.direction == ScsiDirection::kNone && !request.data.empty())) {
        outcome.transport = ScsiTransport::kBadRequest;
        return outcome;
    }
    std::array<uint8_t, 16> cdb{};
    std::copy(request.cdb.begin(), request.cdb.end(), cdb.begin());
    std::array<uint8_t, kSenseBufferSize> sense{};

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = !hasData                                   ? SG_DXFER_NONE
                             : request.direction == ScsiDirection::kIn ? SG_DXFER_FROM_DEV
                                                                       : SG_DXFER_TO_DEV;
    header.cmd_len = static_cast<unsigned char>(request.cdb.size());
    header.mx_sb_len = static_cast<unsigned char>(sense.size());
    header.dxfer_len = hasData ? static_cast<unsigned int>(request.data.size()) : 0;
    header.dxferp = hasData ? request.data.data() : nullptr;
    header.cmdp = cdb.data();
    header.sbp = sense.data();
    // The request counts seconds, the sg driver milliseconds.
    header.timeout = std::min(request.timeoutSeconds, kMaxTimeoutSeconds) * 1000;

    if (ioctl(fd, SG_IO, &header) < 0) {
        outcome.systemError = errno;
        outcome.transport = outcome.systemError == ENODEV || outcome.systemError == ENXIO ? ScsiTransport::kNoDevice
                            : outcome.systemError == EINVAL                               ? ScsiTransport::kBadRequest
                                                                                          : ScsiTransport::kFailed;
        return outcome;
    }
    outcome.transport = TransportOf(header);
    outcome.scsiStatus = header.status;
    const size_t senseLength = std::min<size_t>({header.sb_len_wr, sense.size(), request.senseCapacity});
    outcome.sense.assign(sense.begin(), sense.begin() + static_cast<std::ptrdiff_t>(senseLength));
    // A residual beyond the transfer (a confused driver) counts as nothing moved.
    const int residual = std::clamp(header.resid, 0, static_cast<int>(header.dxfer_len));
    outcome.bytesMoved = header.dxfer_len - static_cast<unsigned int>(residual);
    return outcome;
}

}  // namespace platform::linuxst
