// A power configuration file without any value is refused, never written as a
// block of 0xFF.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "device/BrvtUSBDev.h"

namespace {

TEST(PowerConfigBlock, FileWithoutValuesIsRefused)
{
    std::array<uint8_t, kPowerConfigSize> block{};
    std::string error;
    for (const char* text : {"", ",", ",,,", " , ,\r\n,", "0x,0x,", "\r\n"}) {
        block.fill(0);
        error.clear();
        EXPECT_FALSE(bBuildPowerConfigBlock(text, block, error)) << '"' << text << '"';
        EXPECT_FALSE(error.empty()) << '"' << text << '"';
    }
    // One value is enough.
    EXPECT_TRUE(bBuildPowerConfigBlock(",,0x07,", block, error)) << error;
    EXPECT_EQ(block[6], 0x07);
}

}  // namespace
