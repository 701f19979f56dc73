#include "util/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

// Two clocks built from the same anchors at different moments (two processes
// opening one station) read the same time, however late the second one came.
TEST(ScaledClock, ClocksFromTheSameAnchorsShareOneTimeLine)
{
    const int64_t wall = util::RealClock().NowMs() - 5000;  // anchored five real seconds ago
    const util::ScaledClock first(100.0, wall, 1000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const util::ScaledClock second(100.0, wall, 1000000);
    const int64_t a = first.NowMs(), b = second.NowMs();
    EXPECT_GE(a, 1000000 + 5000 * 100);
    EXPECT_LT(a, 1000000 + 60000 * 100);
    EXPECT_NEAR(static_cast<double>(a), static_cast<double>(b), 2 * 100.0 + 5 * 100.0);  // wall-clock ms steps, times 100
}

TEST(ProcessClock, ReplacedClockIsUsedBySleepHelpers)
{
    util::SetClock(std::make_shared<util::ScaledClock>(500.0));
    const int64_t start = util::NowMs();
    util::SleepMs(1000);
    EXPECT_GE(util::NowMs() - start, 1000);
    util::SetClock(std::make_shared<util::RealClock>());
}

TEST(ScaledClock, WaitEndsWhenTheConditionHoldsAndRunsOutInScaledTime)
{
    const util::ScaledClock clock(1000.0);
    std::mutex mutex;
    std::condition_variable wake;
    bool ready = false;
    std::unique_lock lock(mutex);
    // Nothing wakes it: a minute of scaled time is about 60 ms.
    const int64_t start = clock.NowMs();
    EXPECT_FALSE(clock.WaitMs(wake, lock, 60000, [&] { return ready; }));
    EXPECT_GE(clock.NowMs() - start, 60000);
    // A notifier ends an hour's wait as soon as the condition holds.
    std::thread notifier([&] {
        std::lock_guard guard(mutex);
        ready = true;
        wake.notify_all();
    });
    EXPECT_TRUE(clock.WaitMs(wake, lock, 3600000, [&] { return ready; }));
    lock.unlock();
    notifier.join();
}

TEST(ProcessClock, StopRequestEndsAStopAwareSleep)
{
    std::stop_source source;
    std::thread stopper([&] { source.request_stop(); });
    // A day of real time unless the request wakes the sleeper.
    EXPECT_FALSE(util::SleepMs(86400000, source.get_token()));
    stopper.join();
    EXPECT_FALSE(util::SleepMs(10, source.get_token()));
}

}  // namespace
