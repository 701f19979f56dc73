#pragma once
// Shared test helpers: a clock that never sleeps, per-test temporary folders, and
// (Shell.h) running a command and reading its output.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "Shell.h"
#include "util/Clock.h"

namespace testsupport {

// The tests' one fake clock. Sleeps return at once and time advances by exactly
// the time slept; the test may also move it by hand (Advance, Set), and a clock
// made with `stepMs` moves that far on every reading, so that every timed
// operation takes a known time.
class FakeClock final : public util::Clock {
public:
    explicit FakeClock(int64_t startMs = 0, int64_t stepMs = 0) : m_Now(startMs), m_StepMs(stepMs) {}
    int64_t NowMs() const override { return m_Now += m_StepMs; }
    void SleepMs(int64_t ms) const override
    {
        if (ms > 0) m_Now += ms;
    }
    void Advance(int64_t ms) const { m_Now += ms; }
    void Set(int64_t ms) const { m_Now = ms; }

private:
    mutable std::atomic<int64_t> m_Now;
    const int64_t m_StepMs;
};

// Installs a FakeClock for the lifetime of the object and puts back the clock
// that was installed before.
class FakeClockScope {
public:
    explicit FakeClockScope(int64_t startMs = 0, int64_t stepMs = 0)
        : m_Saved(util::GetClock()), m_Clock(std::make_shared<FakeClock>(startMs, stepMs))
    {
        util::SetClock(m_Clock);
    }
    ~FakeClockScope() { util::SetClock(m_Saved); }
    FakeClockScope(const FakeClockScope&) = delete;
    FakeClockScope& operator=(const FakeClockScope&) = delete;
    int64_t Now() const { return m_Clock->NowMs(); }
    const FakeClock& Clock() const { return *m_Clock; }

private:
    std::shared_ptr<const util::Clock> m_Saved;
    std::shared_ptr<FakeClock> m_Clock;
};

// One component of a path made from `name`: a parameterised test's names hold
// '/' ("AllFaults/FaultMatrix.Run/3"), which would make nested folders of
// which only the innermost is removed afterwards.
inline std::string PathComponent(std::string name)
{
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

// A fresh folder named after the running test and process (the same test may
// run at once in several builds), removed afterwards with all it holds.
class TempFolder {
public:
    TempFolder()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Path = std::filesystem::temp_directory_path() /
                 PathComponent("deveda_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" +
                               info->name());
        std::filesystem::remove_all(m_Path);
        std::filesystem::create_directories(m_Path);
    }
    ~TempFolder() { std::filesystem::remove_all(m_Path); }
    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

}  // namespace testsupport
