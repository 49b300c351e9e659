// Limits a large run meets first (open files, threads, memory maps), checked before it starts.
#pragma once

#include <sys/resource.h>

#include <string>

namespace run_limits {

// One socket and one thread per emulated decoder, and the rest of the process besides.
rlim_t files_needed(unsigned long decoders);
rlim_t threads_needed(unsigned long decoders);
// A thread's stack and its guard page are two mappings.
rlim_t maps_needed(unsigned long decoders);

// The soft limit to set so that `needed` fits under (soft, hard): soft itself when it is
// enough, else needed. False when the hard limit is below needed.
bool soft_limit_for(rlim_t needed, rlim_t soft, rlim_t hard, rlim_t& raise_to);

// Raises the soft limits as far as a run of `decoders` needs. False after one line on
// standard error that names what is needed, the limit, and how to raise it.
bool prepare(unsigned long decoders);

}  // namespace run_limits
