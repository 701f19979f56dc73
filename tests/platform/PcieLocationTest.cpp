// PCIe locations as text: Linux's function names and what an engineer types.
#include <gtest/gtest.h>

#include "platform/Pcie.h"

namespace {

using platform::PcieLocation;

TEST(PcieLocation, TextIsLinuxsFunctionName)
{
    EXPECT_EQ(platform::PcieLocationText({0, 0x14, 0, 0}), "0000:14:00.0");
    EXPECT_EQ(platform::PcieLocationText({0x1A, 0xFF, 0x1F, 7}), "001a:ff:1f.7");
}

TEST(PcieLocation, ParsesWithOrWithoutTheSegment)
{
    PcieLocation location;
    ASSERT_TRUE(platform::ParsePcieLocation("001A:fF:1f.7", location));
    EXPECT_EQ(location, (PcieLocation{0x1A, 0xFF, 0x1F, 7}));
    ASSERT_TRUE(platform::ParsePcieLocation("14:00.0", location));
    EXPECT_EQ(location, (PcieLocation{0, 0x14, 0, 0}));
    for (const PcieLocation& back : {PcieLocation{0, 0, 0, 0}, PcieLocation{0xFFFF, 0x80, 0x10, 3}}) {
        ASSERT_TRUE(platform::ParsePcieLocation(platform::PcieLocationText(back), location));
        EXPECT_EQ(location, back);
    }
}

TEST(PcieLocation, RefusesEverythingElseAndLeavesTheLocation)
{
    PcieLocation location{1, 2, 3, 4};
    for (const char* text : {"", "14:00", "14:00.", "14:20.0", "14:00.8", "4:00.0", "014:00.0", "0000:14:00.0 ",
                             " 14:00.0", "0000-14:00.0", "00000:14:00.0", "-1:00.0", "0x:00.0", "14.00:0",
                             "slots", "0000:14:00.0.1"})
        EXPECT_FALSE(platform::ParsePcieLocation(text, location)) << text;
    EXPECT_EQ(location, (PcieLocation{1, 2, 3, 4}));
}

}  // namespace
