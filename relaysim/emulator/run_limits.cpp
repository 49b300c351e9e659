// Limits a large run meets first (open files, threads, memory maps), checked before it starts.
#include "run_limits.h"

#include <sys/resource.h>

#include <cstdio>
#include <string>

namespace run_limits {

namespace {

// Standard streams, the relays' sockets, output files, the system log, a spare few.
const rlim_t OTHER_FILES = 64;
// Main thread, the local-stream receiver, room for a library's helper.
const rlim_t OTHER_THREADS = 8;
// The program, its libraries, the heap arenas: a few hundred mappings.
const rlim_t OTHER_MAPS = 1024;

// A value of /proc/sys, or 0 when it can't be read.
unsigned long long sysctl_value(const char* path)
{
    unsigned long long v = 0;
    FILE* f = fopen(path, "r");
    if (f) {
        if (fscanf(f, "%llu", &v) != 1)
            v = 0;
        fclose(f);
    }
    return v;
}

bool refuse(unsigned long decoders, rlim_t needed, const char* what, unsigned long long limit,
            const char* limit_name, const char* how)
{
    fprintf(stderr, "relaysim: %lu decoders need %llu %s, but %s is %llu: raise it (%s%llu)\n",
            decoders, static_cast<unsigned long long>(needed), what, limit_name, limit, how,
            static_cast<unsigned long long>(needed));
    return false;
}

// Soft limit of `resource` raised to cover `needed`; false when the hard limit can't.
bool raise(int resource, rlim_t needed, rlim_t& hard)
{
    rlimit l;
    if (getrlimit(resource, &l) != 0)
        return true;
    hard = l.rlim_max;
    rlim_t to = 0;
    if (!soft_limit_for(needed, l.rlim_cur, l.rlim_max, to))
        return false;
    if (to != l.rlim_cur) {
        l.rlim_cur = to;
        // A soft limit that could not be raised is as short as a hard one.
        if (setrlimit(resource, &l) != 0)
            return false;
    }
    return true;
}

}  // namespace

rlim_t files_needed(unsigned long decoders)
{
    return decoders + OTHER_FILES;
}

rlim_t threads_needed(unsigned long decoders)
{
    return decoders + OTHER_THREADS;
}

rlim_t maps_needed(unsigned long decoders)
{
    return 2 * static_cast<rlim_t>(decoders) + OTHER_MAPS;
}

bool soft_limit_for(rlim_t needed, rlim_t soft, rlim_t hard, rlim_t& raise_to)
{
    raise_to = soft;
    if (soft == RLIM_INFINITY || soft >= needed)
        return true;
    if (hard != RLIM_INFINITY && hard < needed)
        return false;
    raise_to = needed;
    return true;
}

bool prepare(unsigned long decoders)
{
    rlim_t hard = 0;
    const rlim_t files = files_needed(decoders);
    if (!raise(RLIMIT_NOFILE, files, hard))
        return refuse(decoders, files, "open files", hard, "the hard limit (ulimit -Hn)",
                      "as root: ulimit -Hn ");
    // The thread limit counts every thread of the user, in other processes too: the soft one
    // goes as high as it may rather than just to this run's own count.
    const rlim_t threads = threads_needed(decoders);
    if (!raise(RLIMIT_NPROC, threads, hard))
        return refuse(decoders, threads, "threads", hard, "the hard limit (ulimit -Hu)",
                      "as root: ulimit -Hu ");
    rlimit nproc;
    if (getrlimit(RLIMIT_NPROC, &nproc) == 0 && nproc.rlim_cur != nproc.rlim_max) {
        nproc.rlim_cur = nproc.rlim_max;
        setrlimit(RLIMIT_NPROC, &nproc);
    }
    const struct {
        const char* path;
        const char* name;
        const char* what;
        rlim_t needed;
    } system[] = {
        {"/proc/sys/kernel/threads-max", "kernel.threads-max", "threads", threads},
        {"/proc/sys/kernel/pid_max", "kernel.pid_max", "thread ids", threads},
        {"/proc/sys/vm/max_map_count", "vm.max_map_count", "memory maps", maps_needed(decoders)},
    };
    for (const auto& s : system) {
        const unsigned long long limit = sysctl_value(s.path);
        if (limit != 0 && limit < s.needed) {
            const std::string how = std::string("as root: sysctl -w ") + s.name + "=";
            return refuse(decoders, s.needed, s.what, limit, s.name, how.c_str());
        }
    }
    return true;
}

}  // namespace run_limits
