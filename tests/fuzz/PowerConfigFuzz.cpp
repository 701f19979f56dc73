// The power configuration file's text into its 304-byte block.
#include <array>
#include <string>

#include "FuzzSupport.h"
#include "device/BrvtUSBDev.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::array<uint8_t, kPowerConfigSize> block{};
    std::string error;
    const bool built = bBuildPowerConfigBlock(std::string(reinterpret_cast<const char*>(data), size), block, error);
    // A refusal always says why; a block always carries its header.
    if (!built && error.empty()) __builtin_trap();
    if (built && (block[0] != 0x60 || block[1] != 0x01)) __builtin_trap();
    return 0;
}
