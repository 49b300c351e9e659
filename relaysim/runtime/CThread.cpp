// Base class of relaysim's worker threads: detached start, cooperative stop, cancel on time-out.
#include "CThread.h"

#include "CLogger.h"

#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

struct CThread::life {
    std::mutex lock;
    std::condition_variable changed;
    bool ending = false;     // execute() returned: the thread will not be cancelled now
    bool done = false;       // the body has ended and no longer touches the object
    bool cancelled = false;  // the owner cancelled the thread
    // The thread has left its start routine, however. Atomic as well: a thread cancelled
    // inside a blocking call is no longer followed by ThreadSanitizer's lock tracking.
    std::atomic<bool> gone{false};
};

CThread::CThread() : CThread(std::string()) {}

CThread::CThread(const std::string& name)
    : m_keep_running(true),
      m_arg(nullptr),
      m_running(false),
      m_event(false, false),
      m_attr(),
      m_thread(),
      m_thread_name(name),
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
    // One thread per object: a thread of an earlier start that has not ended (a stop that
    // came before its body began returns at once) is ended first, as for a destroy.
    if (m_life)
        stop_for(100, true);
    m_arg = arg;
    release_attr();
    pthread_attr_init(&m_attr);
    m_attr_live = true;
    pthread_attr_setdetachstate(&m_attr, PTHREAD_CREATE_DETACHED);
    if (m_stack_size != 0) {
        const int rc = pthread_attr_setstacksize(&m_attr, m_stack_size);
        if (rc != 0) {
            release_attr();
            return rc;
        }
    }
    m_keep_running = true;
    m_life = std::make_shared<life>();
    const int rc = pthread_create(&m_thread, &m_attr, entry_point, this);
    if (rc != 0)
        m_life.reset();
    return rc;
}

void* CThread::entry_point(void* p)
{
    CThread* self = static_cast<CThread*>(p);
    // Taken before anything that can be a cancellation point: a thread cancelled at
    // any later step still reports that it has gone.
    const std::shared_ptr<life> l = self->m_life;
    struct leave {
        life& l;
        ~leave()
        {
            std::lock_guard<std::mutex> g(l.lock);
            l.gone = true;
            l.changed.notify_all();
        }
    } on_exit{*l};

    void* arg = self->m_arg;
    // pthread_self(): the owner's copy in m_thread may not be stored yet.
    CLogger::m_logger->log_msg("Thread 0x%lu started\n", static_cast<unsigned long>(pthread_self()));
    self->setup();
    self->m_running = true;
    self->execute(arg);
    self->finish_body(*l);
    return nullptr;
}

void CThread::finish_body(life& l)
{
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (l.cancelled)
            return;
        l.ending = true;
    }
    // May block on a full standard output; the owner's stop() does not wait for it.
    CLogger::m_logger->log_msg("Thread %s ( 0x%lu ) exit noramally\n", m_thread_name.c_str(),
                               static_cast<unsigned long>(pthread_self()));
    std::lock_guard<std::mutex> g(l.lock);
    release_attr();
    m_running = false;
    m_event.signal();
    l.done = true;
    l.changed.notify_all();
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

void CThread::stop_for(unsigned int ms, bool destroying)
{
    const bool was_running = m_running;
    m_keep_running = false;
    // A body napping until its deadline leaves at once.
    nudge();
    const std::shared_ptr<life> l = m_life;
    if (!l || !(was_running || destroying))
        return;

    std::unique_lock<std::mutex> g(l->lock);
    const auto ended = [&] { return l->done || l->gone; };
    if (!ended() && !l->cancelled) {
        m_event.pulse();
        m_event.nonsignal();
        if (ms == event::INFINITE_WAIT)
            l->changed.wait(g, ended);
        else if (!l->changed.wait_for(g, std::chrono::milliseconds(ms), ended) && !l->ending) {
            const int err = errno;
            pthread_cancel(m_thread);
            l->cancelled = true;
            release_attr();
            // Logged after the cancel and outside the lock: a body stuck in a write to a
            // full standard output holds its lock until the cancel unwinds it.
            g.unlock();
            CLogger::m_logger->log_msg("Thread %s( 0x%lu ) killed,%d\n", m_thread_name.c_str(),
                                       static_cast<unsigned long>(m_thread), err);
            g.lock();
        }
    }
    // The object must outlive every touch of the thread: an ending body finishes its exit
    // line, and a cancelled one runs on to its next cancellation point (the bodies here
    // block in polls and waits, which are such points).
    if (destroying)
        l->changed.wait(g, ended);
}

void CThread::release_attr()
{
    if (m_attr_live) {
        m_attr_live = false;
        pthread_attr_destroy(&m_attr);
    }
}

bool CThread::set_timer_slack(unsigned long ns)
{
    return prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0) == 0;
}

int CThread::suspend(unsigned long ms) const
{
    return m_event.wait(ms);
}

int CThread::suspend(const timespec& deadline) const
{
    return m_event.wait(deadline);
}

int CThread::nap_until(const timespec& deadline)
{
    static_assert(sizeof(std::atomic<int>) == sizeof(int), "a futex word is a plain int");
    if (m_nudged.exchange(0) != 0)
        return 0;
    // Not a condition variable: its timed wait costs a second futex call on the way out.
    const long rc = syscall(SYS_futex, reinterpret_cast<int*>(&m_nudged), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
                            0, &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    const int err = rc == 0 ? 0 : errno;
    if (m_nudged.exchange(0) != 0)
        return 0;
    return err == ETIMEDOUT ? ETIMEDOUT : 0;
}

void CThread::nudge()
{
    if (m_nudged.exchange(1) == 0)
        syscall(SYS_futex, reinterpret_cast<int*>(&m_nudged), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

timespec CThread::monotonic_after(unsigned long ms)
{
    timespec t;
    event::make_deadline(ms, event::clock_now(), t);
    return t;
}

int CThread::wakeup()
{
    return m_event.signal();
}

void CThread::fill_timespec(unsigned long ms, timespec& deadline) const
{
    event::make_deadline(ms, event::clock_now(), deadline);
}

void* CThread::arg() const
{
    return m_arg;
}

void CThread::arg(void* p)
{
    m_arg = p;
}
