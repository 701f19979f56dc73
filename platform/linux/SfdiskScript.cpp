#include "platform/linux/SfdiskScript.h"

namespace platform::linuxst {

namespace {
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kReservedBytes = 16 * kMiB;
}  // namespace

std::string SfdiskScript(const PartitionPlan& plan, uint32_t sectorSize)
{
    const uint64_t mib = kMiB / sectorSize;
    const uint64_t offset = plan.offsetKiB * 1024 / sectorSize;
    if (!plan.gpt) return "label: dos\nstart=" + std::to_string(offset ? offset : mib) + ", type=6\n";
    const uint64_t reserved = kReservedBytes / sectorSize;
    return "label: gpt\n"
           "start=" + std::to_string(mib) + ", size=" + std::to_string(reserved) +
           ", type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE, name=\"Microsoft reserved partition\"\n"
           "start=" + std::to_string(offset ? offset : mib + reserved) +
           ", type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=\"Basic data partition\"\n";
}

}  // namespace platform::linuxst
