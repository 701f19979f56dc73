#pragma once
// Finding the discovery record of a disk for the console commands that act on
// one bridge.
#include <optional>

#include "device/BrvtUSBDev.h"

namespace cli {

// Runs a discovery into `list` and returns the index of the record on disk
// `disk`; nullopt (reported on standard error) when no bridge is there.
std::optional<uint8_t> FindBridgeOnDisk(CBrvtUSBDev& dev, DeviceList& list, long disk);

}  // namespace cli
