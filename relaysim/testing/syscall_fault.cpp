// Stand-ins for the socket calls tests make fail; they pass through to the C library otherwise.
#include "syscall_fault.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

namespace {

unsigned g_armed = 0;  // Call bits
int g_err = 0;
int g_left = 0;
int g_injected = 0;
unsigned long g_calls[4] = {};

SYSCALL_FAULT_UNINSTRUMENTED bool failing(syscall_fault::Call call)
{
    __atomic_fetch_add(&g_calls[__builtin_ctz(call)], 1, __ATOMIC_RELAXED);
    if ((__atomic_load_n(&g_armed, __ATOMIC_ACQUIRE) & call) == 0)
        return false;
    int left = __atomic_load_n(&g_left, __ATOMIC_ACQUIRE);
    do {
        if (left <= 0)
            return false;
    } while (!__atomic_compare_exchange_n(&g_left, &left, left - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    __atomic_fetch_add(&g_injected, 1, __ATOMIC_ACQ_REL);
    errno = __atomic_load_n(&g_err, __ATOMIC_ACQUIRE);
    return true;
}

}  // namespace

namespace syscall_fault {

Fault::Fault(unsigned calls, int err, int count)
{
    __atomic_store_n(&g_armed, 0u, __ATOMIC_RELEASE);
    __atomic_store_n(&g_injected, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&g_err, err, __ATOMIC_RELEASE);
    __atomic_store_n(&g_left, count, __ATOMIC_RELEASE);
    __atomic_store_n(&g_armed, calls, __ATOMIC_RELEASE);
}

Fault::~Fault()
{
    __atomic_store_n(&g_armed, 0u, __ATOMIC_RELEASE);
    __atomic_store_n(&g_left, 0, __ATOMIC_RELEASE);
}

int Fault::injected() const
{
    return __atomic_load_n(&g_injected, __ATOMIC_ACQUIRE);
}

unsigned long calls(Call call)
{
    return __atomic_load_n(&g_calls[__builtin_ctz(call)], __ATOMIC_ACQUIRE);
}

}  // namespace syscall_fault

using syscall_fault::next;

SYSCALL_FAULT_STAND_IN ssize_t recv(int fd, void* buf, size_t len, int flags)
{
    static decltype(&recv) real;
    return failing(syscall_fault::RECV) ? -1 : next(real, "recv")(fd, buf, len, flags);
}

SYSCALL_FAULT_STAND_IN ssize_t recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen)
{
    static decltype(&recvfrom) real;
    return failing(syscall_fault::RECVFROM) ? -1 : next(real, "recvfrom")(fd, buf, len, flags, from, fromlen);
}

SYSCALL_FAULT_STAND_IN ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen)
{
    static decltype(&sendto) real;
    return failing(syscall_fault::SENDTO) ? -1 : next(real, "sendto")(fd, buf, len, flags, to, tolen);
}

SYSCALL_FAULT_STAND_IN int sendmmsg(int fd, mmsghdr* msgs, unsigned int count, int flags)
{
    static decltype(&sendmmsg) real;
    return failing(syscall_fault::SENDMMSG) ? -1 : next(real, "sendmmsg")(fd, msgs, count, flags);
}
