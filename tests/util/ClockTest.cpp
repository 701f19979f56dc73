#include "util/Clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(ScaledClock, SleepAdvancesScaledTimeAndTakesLittleRealTime)
{
    const util::ScaledClock clock(1000.0);
    const auto realStart = std::chrono::steady_clock::now();
    const int64_t start = clock.NowMs();
    clock.SleepMs(2000);  // two scaled seconds, about 2 ms of real time
    const int64_t elapsed = clock.NowMs() - start;
    const auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(real, std::chrono::milliseconds(1000));
}

TEST(ScaledClock, NonPositiveFactorFallsBackToRealTime)
{
    EXPECT_EQ(util::ScaledClock(0).Factor(), 1.0);
    EXPECT_EQ(util::ScaledClock(-3).Factor(), 1.0);
}

TEST(ProcessClock, ReplacedClockIsUsedBySleepHelpers)
{
    util::SetClock(std::make_shared<util::ScaledClock>(500.0));
    const int64_t start = util::NowMs();
    util::SleepMs(1000);
    EXPECT_GE(util::NowMs() - start, 1000);
    util::SetClock(std::make_shared<util::RealClock>());
}

}  // namespace
