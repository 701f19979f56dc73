#pragma once
// Time source of the whole tool. Every sleep, poll and time-out goes through the
// process clock, so that the emulated station can run a whole production run on a
// scaled clock in seconds while the code keeps its real millisecond values.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

namespace util {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the Unix epoch on this clock's time line. Processes
    // sharing the emulated station compare such stamps, so the real clock is the
    // wall clock rather than a per-process counter.
    virtual int64_t NowMs() const = 0;
    // Microseconds on the same time line, for timing short transfers; clocks
    // that only keep milliseconds give NowMs() * 1000.
    virtual int64_t NowUs() const { return NowMs() * 1000; }
    virtual void SleepMs(int64_t ms) const = 0;
    // Sleeps a span given in microseconds (a transfer's duration at some rate).
    virtual void SleepUs(int64_t us) const { SleepMs((us + 999) / 1000); }
    // Waits up to `ms` for `woken` to hold, checking it whenever `wake` is
    // notified; `lock` (held by the caller) guards what `woken` reads. True when
    // `woken` holds. A clock that cannot block on a condition sleeps the whole
    // time and looks once afterwards.
    virtual bool WaitMs(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, int64_t ms,
                        const std::function<bool()>& woken) const;
};

// Wall-clock time, real sleeps.
class RealClock final : public Clock {
public:
    int64_t NowMs() const override;
    int64_t NowUs() const override;
    void SleepMs(int64_t ms) const override;
    void SleepUs(int64_t us) const override;
    bool WaitMs(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, int64_t ms,
                const std::function<bool()>& woken) const override;
};

// Runs `factor` times faster than real time: a sleep of N ms takes N / factor
// real milliseconds and NowMs advances `factor` ms per real millisecond, from
// the wall-clock time of its creation.
class ScaledClock final : public Clock {
public:
    explicit ScaledClock(double factor);
    // A scaled time line shared by processes: at wall-clock time `anchorWallMs`
    // the clock read `anchorClockMs`, and it has run `factor` times faster since.
    // Every process that builds the clock from the same anchors reads the same
    // time (to within their wall clocks), whenever it started.
    ScaledClock(double factor, int64_t anchorWallMs, int64_t anchorClockMs);
    int64_t NowMs() const override;
    int64_t NowUs() const override;
    void SleepMs(int64_t ms) const override;
    void SleepUs(int64_t us) const override;
    bool WaitMs(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, int64_t ms,
                const std::function<bool()>& woken) const override;
    double Factor() const { return m_dFactor; }

private:
    double m_dFactor;
    std::chrono::steady_clock::time_point m_Origin;
    int64_t m_OriginWallMs;  // what NowMs reads at m_Origin
};

// The process clock (a RealClock until replaced). Callers hold the returned
// pointer while they sleep, so replacing the clock never pulls it from under them.
std::shared_ptr<const Clock> GetClock();
// Replaces the process clock; meant for start-up and tests, not while threads sleep.
void SetClock(std::shared_ptr<const Clock> clock);

inline void SleepMs(int64_t ms) { GetClock()->SleepMs(ms); }
// Sleeps `ms` milliseconds of the process clock unless `stop` is requested first
// (the request wakes the sleeper); false when the sleep was cut short.
bool SleepMs(int64_t ms, const std::stop_token& stop);
inline int64_t NowMs() { return GetClock()->NowMs(); }
inline int64_t NowUs() { return GetClock()->NowUs(); }
inline void SleepUs(int64_t us) { GetClock()->SleepUs(us); }

}  // namespace util
