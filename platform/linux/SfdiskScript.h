#pragma once
// The sfdisk script that lays a partition plan's table on a Linux disk.
#include <cstdint>
#include <string>

#include "platform/Station.h"

namespace platform::linuxst {

// sfdisk's input for `plan` on a disk of `sectorSize`-byte sectors.
std::string SfdiskScript(const PartitionPlan& plan, uint32_t sectorSize);

}  // namespace platform::linuxst
