#include "util/Clock.h"

#include <atomic>
#include <thread>

namespace util {

namespace {
int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::shared_ptr<const Clock>& ClockSlot()
{
    static std::shared_ptr<const Clock> clock = std::make_shared<RealClock>();
    return clock;
}
}  // namespace

int64_t RealClock::NowMs() const
{
    return WallMs();
}

int64_t RealClock::NowUs() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void RealClock::SleepMs(int64_t ms) const
{
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void RealClock::SleepUs(int64_t us) const
{
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

bool Clock::WaitMs(std::condition_variable&, std::unique_lock<std::mutex>& lock, int64_t ms,
                   const std::function<bool()>& woken) const
{
    if (woken()) return true;
    lock.unlock();
    SleepMs(ms);
    lock.lock();
    return woken();
}

bool RealClock::WaitMs(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, int64_t ms,
                       const std::function<bool()>& woken) const
{
    return wake.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0), woken);
}

ScaledClock::ScaledClock(double factor)
    : m_dFactor(factor > 0 ? factor : 1.0), m_Origin(std::chrono::steady_clock::now()), m_OriginWallMs(WallMs())
{
}

ScaledClock::ScaledClock(double factor, int64_t anchorWallMs, int64_t anchorClockMs) : ScaledClock(factor)
{
    m_OriginWallMs = anchorClockMs + static_cast<int64_t>(static_cast<double>(m_OriginWallMs - anchorWallMs) * m_dFactor);
}

int64_t ScaledClock::NowMs() const
{
    const auto real = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_Origin);
    return m_OriginWallMs + static_cast<int64_t>(real.count() * m_dFactor);
}

int64_t ScaledClock::NowUs() const
{
    const auto real = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - m_Origin);
    return m_OriginWallMs * 1000 + static_cast<int64_t>(real.count() * m_dFactor);
}

void ScaledClock::SleepUs(int64_t us) const
{
    if (us > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(static_cast<double>(us) / m_dFactor));
}

void ScaledClock::SleepMs(int64_t ms) const
{
    if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(static_cast<double>(ms) / m_dFactor));
}

bool ScaledClock::WaitMs(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, int64_t ms,
                         const std::function<bool()>& woken) const
{
    const double real = ms > 0 ? static_cast<double>(ms) / m_dFactor : 0.0;
    return wake.wait_for(lock, std::chrono::duration<double, std::milli>(real), woken);
}

bool SleepMs(int64_t ms, const std::stop_token& stop)
{
    // One wait that a stop request cuts short, rather than short sleeps that
    // look at the token: a waiting thread costs nothing until it wakes.
    if (stop.stop_requested()) return false;
    std::mutex mutex;
    std::condition_variable wake;
    const std::stop_callback onStop(stop, [&] {
        std::lock_guard lock(mutex);
        wake.notify_all();
    });
    std::unique_lock lock(mutex);
    GetClock()->WaitMs(wake, lock, ms, [&] { return stop.stop_requested(); });
    return !stop.stop_requested();
}

std::shared_ptr<const Clock> GetClock()
{
    return std::atomic_load(&ClockSlot());
}

void SetClock(std::shared_ptr<const Clock> clock)
{
    std::atomic_store(&ClockSlot(), std::move(clock));
}

}  // namespace util
