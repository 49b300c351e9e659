// Event object with manual or automatic reset and millisecond or deadline waits.
#pragma once

#include "mutex.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

// Usage: one thread waits (wait(ms), 4294967295 = no limit), others signal() to
// leave it signalled, pulse() to wake current waiters only, nonsignal() to clear.
// Deadlines are on the monotonic clock (clock_now()).
class event : private mutex {
public:
    static constexpr unsigned long INFINITE_WAIT = 4294967295UL;

    event(bool manual_reset, bool initial_state);
    ~event() override;

    int signal() const;
    int pulse() const;
    int nonsignal() const;
    int wait(unsigned long ms) const;
    int wait(const timespec& deadline) const;
    bool signal_state() const;

    // Absolute deadline ms milliseconds after now, as the timed waits compute it.
    static void make_deadline(unsigned long ms, const timeval& now, timespec& deadline);
    // The clock of every deadline: the monotonic one, which a step of the system time
    // (an administrator, NTP) neither stretches nor cuts short.
    static timeval clock_now();

private:
    struct wait_guard;
    // Under the lock: wakes one waiter, or all with manual reset.
    void wake() const;
    // Under the lock: true, and cleared, when the event was signalled.
    bool take_signal() const;
    int finish_wait(int rc) const;

    mutable pthread_cond_t m_cond;
    bool m_manual_reset;
    // Written under the lock; read without it by signal_state().
    mutable std::atomic<bool> m_signal_state;
};
