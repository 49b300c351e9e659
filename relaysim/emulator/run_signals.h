// The signals of a measured run: SIGINT and SIGTERM end it, SIGUSR1 asks for the report now.
#pragma once

#include <signal.h>

// Usage: take() once on the main thread before any worker starts; start each worker inside a
// WorkerMask, so that the main thread takes the signals and its waits are cut short.
namespace run_signals {

// SA_RESTART spares the other calls; poll and the start-up pauses are cut short. SIGPIPE is
// ignored: a reader of standard output that goes away must not end the run before its report.
void take();
// The first ending signal (it names the run's status), 0 before any.
int ending();
// Whether SIGUSR1 came since the last call.
bool report_asked();

// Blocks the run's signals in this thread for its lifetime; threads started meanwhile keep
// them blocked.
class WorkerMask {
public:
    WorkerMask();
    ~WorkerMask();
    WorkerMask(const WorkerMask&) = delete;
    WorkerMask& operator=(const WorkerMask&) = delete;

private:
    sigset_t m_old;
};

}  // namespace run_signals
