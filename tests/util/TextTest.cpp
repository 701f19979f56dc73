#include "util/Text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, EqualNoCaseIgnoresOnlyCase)
{
    EXPECT_TRUE(util::EqualNoCase("fw_Enable", "FW_ENABLE"));
    EXPECT_FALSE(util::EqualNoCase("fw_enable", "fw_enable "));
    EXPECT_FALSE(util::EqualNoCase("240612000105", "240612000106"));
    EXPECT_TRUE(util::EqualNoCase("", ""));
}

TEST(Text, LocalTimeIsAPlausibleDate)
{
    const std::tm now = util::LocalTimeNow();
    EXPECT_GE(now.tm_year + 1900, 2024);
    EXPECT_GE(now.tm_mon, 0);
    EXPECT_LE(now.tm_mon, 11);
}

}  // namespace
