// Base class of relaysim's worker threads: detached start, cooperative stop, cancel on time-out.
#include "CThread.h"

#include "CLogger.h"

#include <sched.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {
// A cancelled thread unwinds its frames without AddressSanitizer clearing their
// red zones; the thread's exit code then runs on that stack and trips over them.
// Clear the stack below the start routine's frame on the way out.
struct exit_stack_guard {
#if defined(__SANITIZE_ADDRESS__)
    __attribute__((noinline)) ~exit_stack_guard()
    {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0)
            return;
        void* lo = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &lo, &size) == 0) {
            char* const here = static_cast<char*>(__builtin_frame_address(0));
            char* const low = static_cast<char*>(lo);
            if (here > low && here <= low + size)
                __asan_unpoison_memory_region(low, static_cast<size_t>(here - low));
        }
        pthread_attr_destroy(&attr);
    }
#endif
};
}  // namespace

CThread::CThread() : CThread(std::string()) {}

CThread::CThread(const std::string& name)
    : m_keep_running(true),
      m_arg(nullptr),
      m_running(false),
      m_event(false, false),
      m_attr(),
      m_thread(),
      m_thread_name(name),
      m_alive(false),
      m_end(END_OPEN),
      m_attr_live(false)
{
}

CThread::~CThread()
{
    stop_for(100, true);
}

void CThread::setup() {}

int CThread::execute(void*)
{
    return m_event.wait(event::INFINITE_WAIT);
}

int CThread::start(void* arg)
{
    m_arg = arg;
    release_attr();
    pthread_attr_init(&m_attr);
    m_attr_live = true;
    pthread_attr_setdetachstate(&m_attr, PTHREAD_CREATE_DETACHED);
    m_keep_running = true;
    m_end = END_OPEN;
    m_alive = true;
    const int rc = pthread_create(&m_thread, &m_attr, entry_point, this);
    if (rc != 0)
        m_alive = false;
    return rc;
}

void* CThread::entry_point(void* p)
{
    const exit_stack_guard guard;
    (void)guard;
    CThread* self = static_cast<CThread*>(p);
    void* arg = self->m_arg;
    // pthread_self(): the owner's copy in m_thread may not be stored yet.
    CLogger::m_logger->log_msg("Thread 0x%lu started\n", static_cast<unsigned long>(pthread_self()));
    self->setup();
    self->m_running = true;
    self->execute(arg);
    self->finish_body();
    return nullptr;
}

void CThread::finish_body()
{
    int expected = END_OPEN;
    if (!m_end.compare_exchange_strong(expected, END_BY_THREAD)) {
        // The owner has decided to cancel us and still needs our id to be valid:
        // wait here for the cancel, touching nothing of the object any more.
        for (;;)
            pause();
    }
    CLogger::m_logger->log_msg("Thread %s ( 0x%lu ) exit noramally\n", m_thread_name.c_str(),
                               static_cast<unsigned long>(pthread_self()));
    release_attr();
    m_running = false;
    m_event.signal();
    // Last touch of the object: the owner may destroy it once it sees this.
    m_alive = false;
}

int CThread::run(void* arg)
{
    CLogger::m_logger->log_msg("Thread 0x%lu started\n", static_cast<unsigned long>(m_thread));
    setup();
    m_running = true;
    execute(arg);
    CLogger::m_logger->log_msg("Thread %s ( 0x%lu ) exit noramally\n", m_thread_name.c_str(),
                               static_cast<unsigned long>(m_thread));
    release_attr();
    m_running = false;
    m_event.signal();
    return 0;
}

void CThread::stop(unsigned int ms)
{
    stop_for(ms, false);
}

void CThread::stop_before_destroy(unsigned int ms)
{
    stop_for(ms, true);
}

bool CThread::busy(bool wait_unstarted) const
{
    return wait_unstarted ? m_alive.load() : m_running.load();
}

void CThread::stop_for(unsigned int ms, bool wait_unstarted)
{
    const bool was_busy = busy(wait_unstarted);
    m_keep_running = false;
    if (!was_busy || m_end.load() == END_BY_CANCEL)
        return;

    m_event.pulse();
    m_event.nonsignal();

    // The body's end may have come between the first test and the nonsignal, which
    // dropped its signal: test before every wait. Early wake-ups (a wakeup() from
    // elsewhere) do not end the wait before its deadline.
    const bool unlimited = ms == event::INFINITE_WAIT;
    timespec deadline{};
    if (!unlimited)
        fill_timespec(ms, deadline);
    while (busy(wait_unstarted) && m_end.load() != END_BY_THREAD) {
        const int rc = unlimited ? m_event.wait(event::INFINITE_WAIT) : m_event.wait(deadline);
        if (rc != 0)
            break;
    }

    int expected = END_OPEN;
    if (busy(wait_unstarted) && m_alive.load() && m_end.compare_exchange_strong(expected, END_BY_CANCEL)) {
        const int err = errno;
        CLogger::m_logger->log_msg("Thread %s( 0x%lu ) killed,%d\n", m_thread_name.c_str(),
                                   static_cast<unsigned long>(m_thread), err);
        pthread_cancel(m_thread);
        release_attr();
        return;
    }
    // The body has ended (or is just ending): wait for the thread's last touch of
    // the object, a few instructions away, so the owner may destroy it on return.
    while (m_alive.load() && m_end.load() == END_BY_THREAD)
        sched_yield();
}

void CThread::release_attr()
{
    if (m_attr_live.exchange(false))
        pthread_attr_destroy(&m_attr);
}

int CThread::suspend(unsigned long ms) const
{
    return m_event.wait(ms);
}

int CThread::suspend(const timespec& deadline) const
{
    return m_event.wait(deadline);
}

int CThread::wakeup()
{
    return m_event.signal();
}

void CThread::fill_timespec(unsigned long ms, timespec& deadline) const
{
    timeval now;
    gettimeofday(&now, nullptr);
    event::make_deadline(ms, now, deadline);
}

void* CThread::arg() const
{
    return m_arg;
}

void CThread::arg(void* p)
{
    m_arg = p;
}
