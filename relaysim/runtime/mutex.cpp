// Recursive POSIX mutex whose lock operations work on const objects.
#include "mutex.h"

#include <cstdio>
#include <cstring>

mutex::mutex() : mutex(PTHREAD_MUTEX_RECURSIVE) {}

mutex::mutex(int type)
{
    memset(&m_mutex, 0, sizeof(m_mutex));
    memset(&m_attr, 0, sizeof(m_attr));
    int rc = pthread_mutexattr_init(&m_attr);
    if (rc != 0)
        printf("pthread mutex init failed error=%d\n", rc);
    rc = pthread_mutexattr_settype(&m_attr, type);
    if (rc != 0)
        printf("setting attribute type failed error=%d\n", rc);
    rc = pthread_mutex_init(&m_mutex, &m_attr);
    if (rc != 0)
        printf("Create mutex failed=%d\n", rc);
}

mutex::~mutex()
{
    pthread_mutex_destroy(&m_mutex);
}

bool mutex::lock() const
{
    return pthread_mutex_lock(&m_mutex) == 0;
}

int mutex::unlock() const
{
    return pthread_mutex_unlock(&m_mutex);
}

bool mutex::trylock() const
{
    return pthread_mutex_trylock(&m_mutex) == 0;
}
