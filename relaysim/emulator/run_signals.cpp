// The signals of a measured run: SIGINT and SIGTERM end it, SIGUSR1 asks for the report now.
#include "run_signals.h"

#include <pthread.h>

#include <cstring>

namespace {

// Set by the handlers, read by the main thread between passes.
volatile sig_atomic_t g_end_signal = 0;
volatile sig_atomic_t g_report_now = 0;

void on_end_signal(int sig)
{
    if (g_end_signal == 0)
        g_end_signal = sig;
}

void on_report_signal(int)
{
    g_report_now = 1;
}

}  // namespace

namespace run_signals {

void take()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = on_end_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_report_signal;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int ending()
{
    return g_end_signal;
}

bool report_asked()
{
    if (!g_report_now)
        return false;
    g_report_now = 0;
    return true;
}

WorkerMask::WorkerMask()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, &m_old);
}

WorkerMask::~WorkerMask()
{
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

}  // namespace run_signals
