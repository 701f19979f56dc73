#pragma once
// Clang thread-safety annotations and the mutex types that carry them. Every
// field shared between threads names what guards it (GUARDED_BY), every function
// that expects a lock held or not held says so (REQUIRES / EXCLUDES), and the
// clang build with -Wthread-safety checks the rules. Other compilers see plain
// mutexes.
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define DEVEDA_TSA(x) __attribute__((x))
#else
#define DEVEDA_TSA(x)
#endif

#define CAPABILITY(x) DEVEDA_TSA(capability(x))
#define SCOPED_CAPABILITY DEVEDA_TSA(scoped_lockable)
#define GUARDED_BY(x) DEVEDA_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) DEVEDA_TSA(pt_guarded_by(x))
#define REQUIRES(...) DEVEDA_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) DEVEDA_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) DEVEDA_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DEVEDA_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) DEVEDA_TSA(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS DEVEDA_TSA(no_thread_safety_analysis)

namespace util {

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_Mutex.lock(); }
    void unlock() RELEASE() { m_Mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_Mutex.try_lock(); }
    // For condition variables only.
    std::mutex& native() { return m_Mutex; }

private:
    std::mutex m_Mutex;
};

// A recursive mutex, for the process-wide critical sections that model
// re-entrant critical sections; the analysis treats it as a plain capability.
class CAPABILITY("mutex") RecursiveMutex {
public:
    void lock() ACQUIRE() { m_Mutex.lock(); }
    void unlock() RELEASE() { m_Mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_Mutex.try_lock(); }

private:
    std::recursive_mutex m_Mutex;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_Lock(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    // Waits on `cv` with the mutex released meanwhile; the analysis treats the
    // lock as held throughout, which is what the caller sees.
    template <class Predicate>
    void Wait(std::condition_variable& cv, Predicate ready)
    {
        cv.wait(m_Lock, ready);
    }
    template <class Duration, class Predicate>
    bool WaitFor(std::condition_variable& cv, Duration timeout, Predicate ready)
    {
        return cv.wait_for(m_Lock, timeout, ready);
    }

private:
    std::unique_lock<std::mutex> m_Lock;
};

}  // namespace util
