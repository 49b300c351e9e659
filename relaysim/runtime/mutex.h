// Recursive POSIX mutex whose lock operations work on const objects.
#pragma once

#include <pthread.h>

// Usage: every lock() (or successful trylock()) is matched by one unlock();
// the owning thread may lock again (recursive by default).
class mutex {
public:
    mutex();
    explicit mutex(int type);
    virtual ~mutex();

    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    bool lock() const;
    int unlock() const;
    bool trylock() const;

protected:
    mutable pthread_mutex_t m_mutex;
    mutable pthread_mutexattr_t m_attr;
};
