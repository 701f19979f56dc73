// PCIe locations typed by an engineer or read from sysfs folder names.
#include <string>

#include "FuzzSupport.h"
#include "platform/Pcie.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::PcieLocation location;
    if (!platform::ParsePcieLocation(text, location)) return 0;
    if (location.device > 0x1F || location.function > 7) __builtin_trap();
    // A location read back from its own name is the same location.
    platform::PcieLocation back;
    if (!platform::ParsePcieLocation(platform::PcieLocationText(location), back) || back != location)
        __builtin_trap();
    return 0;
}
