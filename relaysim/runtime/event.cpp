// Event object with manual or automatic reset and millisecond or deadline waits.
#include "event.h"

#include "CLogger.h"

#include <cerrno>
#include <cstdint>

// Releases the event's lock also when a cancelled waiter unwinds out of its wait,
// so a cancelled thread never leaves the event locked for good.
struct event::wait_guard {
    const event& e;
    ~wait_guard() { e.unlock(); }
};

event::event(bool manual_reset, bool initial_state)
    : mutex(), m_manual_reset(manual_reset), m_signal_state(initial_state)
{
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&m_cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    if (rc != 0 && CLogger::m_logger != nullptr)
        CLogger::m_logger->log_msg("Event could not be initialized\n");
}

event::~event()
{
    pthread_cond_destroy(&m_cond);
}

void event::wake() const
{
    if (m_manual_reset)
        pthread_cond_broadcast(&m_cond);
    else
        pthread_cond_signal(&m_cond);
}

int event::signal() const
{
    lock();
    m_signal_state.store(true, std::memory_order_relaxed);
    wake();
    return unlock();
}

int event::pulse() const
{
    lock();
    if (!m_signal_state.load(std::memory_order_relaxed))
        wake();
    return unlock();
}

int event::nonsignal() const
{
    lock();
    m_signal_state.store(false, std::memory_order_relaxed);
    return unlock();
}

void event::make_deadline(unsigned long ms, const timeval& now, timespec& deadline)
{
    // 64-bit throughout: ms * 1000 plus the microseconds must not wrap.
    const uint64_t t = ms;
    const uint64_t us = static_cast<uint64_t>(now.tv_usec);
    deadline.tv_sec = static_cast<time_t>(static_cast<uint64_t>(now.tv_sec) + (t * 1000 + us) / 1000000);
    deadline.tv_nsec = static_cast<long>((((t % 1000) * 1000 + us) % 1000000) * 1000);
}

timeval event::clock_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return timeval{t.tv_sec, t.tv_nsec / 1000};
}

int event::finish_wait(int rc) const
{
    if (rc == 0 && !m_manual_reset)
        m_signal_state.store(false, std::memory_order_relaxed);
    return rc;
}

bool event::take_signal() const
{
    if (!m_signal_state.load(std::memory_order_relaxed))
        return false;
    m_signal_state.store(false, std::memory_order_relaxed);
    return true;
}

int event::wait(unsigned long ms) const
{
    lock();
    wait_guard held{*this};
    if (take_signal())
        return 0;
    if (ms == 0)
        return ETIMEDOUT;
    if (ms == INFINITE_WAIT)
        return finish_wait(pthread_cond_wait(&m_cond, &m_mutex));
    timespec deadline;
    make_deadline(ms, clock_now(), deadline);
    return finish_wait(pthread_cond_timedwait(&m_cond, &m_mutex, &deadline));
}

int event::wait(const timespec& deadline) const
{
    lock();
    wait_guard held{*this};
    if (take_signal())
        return 0;
    return finish_wait(pthread_cond_timedwait(&m_cond, &m_mutex, &deadline));
}

bool event::signal_state() const
{
    return m_signal_state.load(std::memory_order_relaxed);
}
