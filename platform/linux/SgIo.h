#pragma once
// SCSI commands through the Linux SCSI generic driver (SG_IO, sg version 3
// header), on a bridge's sg node or block node. The ioctl is a seam: tests hand
// in a function that checks and answers the header byte for byte.
#include <functional>

#include "platform/ScsiRequest.h"

namespace platform::linuxst {

// The ioctl call: (file descriptor, request, argument) -> result, errno set on -1.
using IoctlFunction = std::function<int(int fd, unsigned long request, void* argument)>;

// The real ::ioctl.
IoctlFunction SystemIoctl();

// Sends one request on `fd`; never throws.
ScsiOutcome SendScsi(int fd, const ScsiRequest& request, const IoctlFunction& ioctl);

}  // namespace platform::linuxst
