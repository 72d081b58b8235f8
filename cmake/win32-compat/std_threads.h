// std::mutex, std::recursive_mutex and std::condition_variable for the win32 thread model of
// mingw-w64, whose C++ library leaves them out (and std::thread, from bits/std_thread.h beside
// this file). Built on SRWLOCK and CONDITION_VARIABLE (Windows Vista and later).
//
// Force-included (-include) first in the sources of the libraries that need them: the
// dashboard and the HTTP server library inside it. Their headers expose none of these types,
// so the rest of the program, and the DLL, never see them.
#ifndef MODEMFLASH_WIN32_STD_THREADS_H
#define MODEMFLASH_WIN32_STD_THREADS_H

#include <bits/c++config.h>

#if defined(__cplusplus) && !defined(_GLIBCXX_HAS_GTHREADS)

#include <bits/std_mutex.h>   // lock_guard, the lock tags
#include <bits/std_thread.h>  // the project's std::thread (this folder)
#include <bits/unique_lock.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <system_error>

namespace std {

class mutex {
  public:
    using native_handle_type = SRWLOCK*;
    mutex() noexcept { InitializeSRWLock(&lock_); }
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    native_handle_type native_handle() noexcept { return &lock_; }

  private:
    SRWLOCK lock_;
};

// The owner's thread id beside a plain lock: the owner takes it again by counting.
class recursive_mutex {
  public:
    recursive_mutex() noexcept = default;
    recursive_mutex(const recursive_mutex&) = delete;
    recursive_mutex& operator=(const recursive_mutex&) = delete;
    void lock() {
        DWORD me = GetCurrentThreadId();
        if (owner_.load(memory_order_relaxed) == me) {
            ++count_;
            return;
        }
        lock_.lock();
        owner_.store(me, memory_order_relaxed);
        count_ = 1;
    }
    bool try_lock() noexcept {
        DWORD me = GetCurrentThreadId();
        if (owner_.load(memory_order_relaxed) == me) {
            ++count_;
            return true;
        }
        if (!lock_.try_lock()) return false;
        owner_.store(me, memory_order_relaxed);
        count_ = 1;
        return true;
    }
    void unlock() {
        if (--count_ == 0) {
            owner_.store(0, memory_order_relaxed);
            lock_.unlock();
        }
    }

  private:
    mutex lock_;
    atomic<DWORD> owner_{0};
    unsigned long count_ = 0;
};

enum class cv_status { no_timeout, timeout };

class condition_variable {
  public:
    using native_handle_type = CONDITION_VARIABLE*;
    condition_variable() noexcept { InitializeConditionVariable(&cond_); }
    condition_variable(const condition_variable&) = delete;
    condition_variable& operator=(const condition_variable&) = delete;

    void notify_one() noexcept { WakeConditionVariable(&cond_); }
    void notify_all() noexcept { WakeAllConditionVariable(&cond_); }

    void wait(unique_lock<mutex>& lock) { sleep(lock, INFINITE); }
    template <typename Predicate>
    void wait(unique_lock<mutex>& lock, Predicate ready) {
        while (!ready()) wait(lock);
    }

    template <typename Rep, typename Period>
    cv_status wait_for(unique_lock<mutex>& lock, const chrono::duration<Rep, Period>& d) {
        return wait_until(lock, chrono::steady_clock::now() + d);
    }
    template <typename Rep, typename Period, typename Predicate>
    bool wait_for(unique_lock<mutex>& lock, const chrono::duration<Rep, Period>& d,
                  Predicate ready) {
        return wait_until(lock, chrono::steady_clock::now() + d, std::move(ready));
    }

    template <typename Clock, typename Duration>
    cv_status wait_until(unique_lock<mutex>& lock,
                         const chrono::time_point<Clock, Duration>& until) {
        auto left = chrono::duration_cast<chrono::milliseconds>(until - Clock::now()).count();
        if (left > 0) sleep(lock, left >= 0x7fffffff ? 0x7ffffffful : static_cast<DWORD>(left));
        return Clock::now() < until ? cv_status::no_timeout : cv_status::timeout;
    }
    template <typename Clock, typename Duration, typename Predicate>
    bool wait_until(unique_lock<mutex>& lock, const chrono::time_point<Clock, Duration>& until,
                    Predicate ready) {
        while (!ready())
            if (wait_until(lock, until) == cv_status::timeout) return ready();
        return true;
    }

    native_handle_type native_handle() noexcept { return &cond_; }

  private:
    // A wake-up before the time is up may be spurious: callers look at their condition.
    void sleep(unique_lock<mutex>& lock, DWORD ms) {
        SleepConditionVariableSRW(&cond_, lock.mutex()->native_handle(), ms, 0);
    }

    CONDITION_VARIABLE cond_;
};

}  // namespace std

#endif

#endif
