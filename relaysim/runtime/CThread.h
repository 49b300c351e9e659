// Base class of relaysim's worker threads: detached start, cooperative stop, cancel on time-out.
#pragma once

#include "event.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>

// Usage: derive, override execute() with a loop that tests m_keep_running each pass
// and sleeps only through suspend(); start(arg), later stop(ms). A derived destructor
// calls stop_before_destroy(ms) first, while its members are still there.
//
// States of one start (owner: the creator's thread; body: the new thread):
//   starting  start() created the thread; setup() runs        -> running (body)
//   running   m_running set, execute() runs                   -> ending (body), cancelled (owner)
//   ending    execute() returned; exit line being logged      -> done (body)
//   done      m_running cleared; the body touches the object no more
//   cancelled stop() timed out first; the thread leaves at its next cancellation point
// The body claims ending and the owner claims cancelled under one lock, so exactly one
// of them happens and the attribute object is released once. That record is shared with
// the thread, so the thread's last steps never touch a destroyed object.
class CThread {
public:
    CThread();
    explicit CThread(const std::string& name);
    virtual ~CThread();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    virtual void setup();
    virtual int execute(void* arg);

    int start(void* arg);
    static void* entry_point(void* self);
    int run(void* arg);
    void stop(unsigned int ms);

    int suspend(unsigned long ms) const;
    // For the body: the kernel may end this thread's timed waits up to ns late, so that it
    // serves many threads' wake-ups together (0: the system's default).
    static bool set_timer_slack(unsigned long ns);
    int suspend(const timespec& deadline) const;
    int wakeup();
    // For the body: sleeps until deadline on the monotonic clock, one system call, unless
    // nudge() or stop() comes first (then 0; ETIMEDOUT at the deadline). A nudge while the
    // body is busy ends its next nap at once.
    int nap_until(const timespec& deadline);
    void nudge();
    // The deadline ms milliseconds from now, for nap_until() and suspend().
    static timespec monotonic_after(unsigned long ms);
    void fill_timespec(unsigned long ms, timespec& deadline) const;

    void* arg() const;
    void arg(void* p);

    // Stack of the threads started from now on; 0, the default, leaves the system's size
    // (often 8 MiB, too much address space for thousands of threads).
    void set_stack_size(size_t bytes) { m_stack_size = bytes; }

protected:
    std::atomic<bool> m_keep_running;
    void* m_arg;
    std::atomic<bool> m_running;
    event m_event;
    pthread_attr_t m_attr;
    pthread_t m_thread;
    std::string m_thread_name;

    // stop(ms), and also waits for a thread that has not reached its body yet and for a
    // cancelled one to leave, so the object is not destroyed under it.
    void stop_before_destroy(unsigned int ms);

private:
    struct life;

    void stop_for(unsigned int ms, bool destroying);
    void finish_body(life& l);
    void release_attr();

    std::shared_ptr<life> m_life;
    // 1 after a nudge the body has not taken yet; a futex word.
    std::atomic<int> m_nudged{0};
    bool m_attr_live;
    size_t m_stack_size = 0;
};
