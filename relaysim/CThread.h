// Base class of relaysim's worker threads: detached start, cooperative stop, cancel on time-out.
#pragma once

#include "event.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <string>

// Usage: derive, override execute() with a loop that tests m_keep_running each pass
// and sleeps only through suspend(); start(arg), later stop(ms) or destroy.
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
    int suspend(const timespec& deadline) const;
    int wakeup();
    void fill_timespec(unsigned long ms, timespec& deadline) const;

    void* arg() const;
    void arg(void* p);

protected:
    std::atomic<bool> m_keep_running;
    void* m_arg;
    std::atomic<bool> m_running;
    event m_event;
    pthread_attr_t m_attr;
    pthread_t m_thread;
    std::string m_thread_name;

    // stop() for destructors: also waits for a thread that has not reached its body yet,
    // so the object is not destroyed under it. Derived destructors call this first.
    void stop_before_destroy(unsigned int ms);

private:
    enum { END_OPEN = 0, END_BY_THREAD = 1, END_BY_CANCEL = 2 };

    void stop_for(unsigned int ms, bool wait_unstarted);
    bool busy(bool wait_unstarted) const;
    void finish_body();
    void release_attr();

    // Thread created and not yet through its end sequence.
    std::atomic<bool> m_alive;
    // Decides, once per start, whether the body's own end or a cancel wins.
    std::atomic<int> m_end;
    std::atomic<bool> m_attr_live;
};
