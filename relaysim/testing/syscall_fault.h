// Makes chosen socket calls of the program under test fail, and counts the calls it makes.
//
//   syscall_fault::Fault f(syscall_fault::RECV | syscall_fault::RECVFROM, EIO);
//   ... the next recv or recvfrom returns -1 with errno EIO; f.injected() says whether one did.
// One Fault at a time; any thread's call may take it. Unarmed, every call passes through.
#pragma once

#include <dlfcn.h>

// Stand-ins for C library functions run uninstrumented and touch shared state only through
// atomic builtins: the sanitizer runtimes call some of them (pthread_attr_destroy) before a
// thread is set up for them.
#define SYSCALL_FAULT_UNINSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))
#define SYSCALL_FAULT_STAND_IN extern "C" SYSCALL_FAULT_UNINSTRUMENTED

namespace syscall_fault {

enum Call : unsigned {
    RECV = 1u << 0,
    RECVFROM = 1u << 1,
    SENDTO = 1u << 2,
    SENDMMSG = 1u << 3,
};

class Fault {
public:
    // The next `count` calls among `calls` (Call bits) fail with `err`.
    Fault(unsigned calls, int err, int count = 1);
    ~Fault();
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;

    // How many calls have failed so far.
    int injected() const;
};

// How many times the program has made the call, failed or not.
unsigned long calls(Call call);

// The definition a stand-in hides (the C library's, or a sanitizer's wrapper of it), looked up
// once into slot.
template <typename Fn>
SYSCALL_FAULT_UNINSTRUMENTED Fn next(Fn& slot, const char* name)
{
    Fn fn = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(&slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

}  // namespace syscall_fault
