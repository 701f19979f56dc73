#pragma once
// Shared test helpers: a clock that never sleeps, and per-test temporary folders.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "util/Clock.h"

namespace testsupport {

// Sleeps return at once; time advances by exactly the time slept.
class FakeClock final : public util::Clock {
public:
    int64_t NowMs() const override { return m_Now.load(); }
    void SleepMs(int64_t ms) const override
    {
        if (ms > 0) m_Now += ms;
    }

private:
    mutable std::atomic<int64_t> m_Now{0};
};

// Installs a FakeClock for the lifetime of the object.
class FakeClockScope {
public:
    FakeClockScope() : m_Clock(std::make_shared<FakeClock>()) { util::SetClock(m_Clock); }
    ~FakeClockScope() { util::SetClock(std::make_shared<util::RealClock>()); }
    int64_t Now() const { return m_Clock->NowMs(); }

private:
    std::shared_ptr<FakeClock> m_Clock;
};

// A fresh folder named after the running test and process (the same test may
// run at once in several builds), removed afterwards.
class TempFolder {
public:
    TempFolder()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Path = std::filesystem::temp_directory_path() /
                 ("deveda_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(m_Path);
        std::filesystem::create_directories(m_Path);
    }
    ~TempFolder() { std::filesystem::remove_all(m_Path); }
    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

}  // namespace testsupport
