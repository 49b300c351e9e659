// Tests of CThread: start and end lines, stop waking a sleeping body, cancelling a busy one.
#include "CThread.h"

#include "syscall_fault.h"
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Counts releases of one watched thread attribute object; the sanitizer runtimes release
// attribute objects of their own.
namespace {
const void* g_watched_attr = nullptr;
int g_watched_releases = 0;
}  // namespace

SYSCALL_FAULT_STAND_IN int pthread_attr_destroy(pthread_attr_t* attr)
{
    static decltype(&pthread_attr_destroy) real;
    if (attr == __atomic_load_n(&g_watched_attr, __ATOMIC_ACQUIRE))
        __atomic_fetch_add(&g_watched_releases, 1, __ATOMIC_ACQ_REL);
    return syscall_fault::next(real, "pthread_attr_destroy")(attr);
}

void watch_attr(const void* attr)
{
    __atomic_store_n(&g_watched_releases, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&g_watched_attr, attr, __ATOMIC_RELEASE);
}

int watched_releases()
{
    return __atomic_load_n(&g_watched_releases, __ATOMIC_ACQUIRE);
}

namespace {

using namespace test_support;

void spin_ms(long ms)
{
    const auto start = Clock::now();
    while (elapsed_ms(start) < ms) {
    }
}

std::string started_line(unsigned long id)
{
    return "Thread 0x" + std::to_string(id) + " started\n";
}

std::string exit_line(const std::string& name, unsigned long id)
{
    return "Thread " + name + " ( 0x" + std::to_string(id) + " ) exit noramally\n";
}

std::string killed_line(const std::string& name, unsigned long id, int err)
{
    return "Thread " + name + "( 0x" + std::to_string(id) + " ) killed," + std::to_string(err) + "\n";
}

using CThreadTest = LoggedTest;

// Test body kinds. Every body marks when it has left execute(), by return or by
// cancellation, so a test keeps the object alive until the thread is done with it.
enum class Body { Sleeper, Napper, Ignorer, BusyThenSleep, SpinAfterStop, Default };

class TestThread : public CThread {
public:
    TestThread(const std::string& name, Body body, long spin = 0) : CThread(name), m_body(body), m_spin(spin) {}
    ~TestThread() override
    {
        stop_before_destroy(100);
        // A cancelled body leaves execute() at its next cancellation point.
        EXPECT_TRUE(eventually([&] { return m_left || m_passes == 0; }));
    }

    int execute(void* arg) override
    {
        struct Leave {
            std::atomic<bool>& left;
            ~Leave() { left = true; }
        } leave{m_left};
        m_tid = static_cast<pid_t>(syscall(SYS_gettid));
        m_arg_seen = arg;
        switch (m_body) {
        case Body::Sleeper:
            while (m_keep_running) {
                ++m_passes;
                suspend(60000UL);
            }
            break;
        case Body::Napper:
            while (m_keep_running) {
                ++m_passes;
                nap_until(monotonic_after(60000));
            }
            break;
        case Body::Ignorer:
            for (;;) {
                ++m_passes;
                usleep(1000);
            }
        case Body::BusyThenSleep:
            while (m_keep_running) {
                ++m_passes;
                while (m_keep_running) {
                }
                spin_ms(m_spin);  // still busy when the stop's pulse comes
                suspend(60000UL);
            }
            break;
        case Body::SpinAfterStop:
            ++m_passes;
            while (m_keep_running) {
            }
            spin_ms(m_spin);
            break;
        case Body::Default:
            ++m_passes;
            return CThread::execute(arg);
        }
        return 0;
    }

    unsigned long id() const { return static_cast<unsigned long>(m_thread); }
    bool running() const { return m_running; }
    bool keep_running() const { return m_keep_running; }
    const void* attr() const { return &m_attr; }

    Body m_body;
    long m_spin;
    std::atomic<int> m_passes{0};
    std::atomic<bool> m_left{false};
    std::atomic<pid_t> m_tid{0};
    std::atomic<void*> m_arg_seen{nullptr};
};

// Objects of threads that may be cancelled live for the rest of the process, as the
// emulator's do: a cancelled thread is never joined, so nothing orders its last
// accesses before a reuse of the memory.
TestThread& lasting_thread(const std::string& name, Body body, long spin = 0)
{
    static std::vector<TestThread*>* const all = new std::vector<TestThread*>;
    all->push_back(new TestThread(name, body, spin));
    return *all->back();
}

TEST_F(CThreadTest, StopWithoutStartReturnsAtOnceAndLogsNothing)
{
    Capture out;
    {
        TestThread t("idle", Body::Sleeper);
        const auto start = Clock::now();
        t.stop(5000);
        EXPECT_LT(elapsed_ms(start), 1000);
        EXPECT_FALSE(t.keep_running());
    }
    EXPECT_EQ("", out.text());
}

TEST_F(CThreadTest, StopWakesSleepingBodyWhichEndsNormally)
{
    // Both ways a body sleeps: on its event, and napping until a deadline.
    for (Body body : {Body::Sleeper, Body::Napper}) {
        int token = 0;
        TestThread t("sleeper", body);
        Capture out;
        ASSERT_EQ(0, t.start(&token));
        ASSERT_TRUE(eventually([&] { return t.m_tid != 0 && thread_sleeping(t.m_tid); }));
        EXPECT_TRUE(t.running());
        EXPECT_EQ(&token, t.m_arg_seen);

        const auto start = Clock::now();
        t.stop(5000);
        EXPECT_LT(elapsed_ms(start), 4000) << "the pulse should have ended the minute-long sleep";
        EXPECT_FALSE(t.running());
        EXPECT_EQ(1, t.m_passes);
        EXPECT_EQ(started_line(t.id()) + exit_line("sleeper", t.id()), out.text());
    }
}

TEST_F(CThreadTest, BodyIgnoringTheFlagIsCancelledAfterTimeout)
{
    TestThread& t = lasting_thread("ignorer", Body::Ignorer);
    Capture out;
    ASSERT_EQ(0, t.start(nullptr));
    ASSERT_TRUE(eventually([&] { return t.m_passes > 0; }));

    const auto start = Clock::now();
    errno = 42;
    t.stop(100);
    const long took = elapsed_ms(start);
    EXPECT_GE(took, 95);
    EXPECT_LT(took, 5000);
    ASSERT_TRUE(eventually([&] { return t.m_left.load(); })) << "cancel never took effect";
    EXPECT_TRUE(t.running()) << "a cancelled body never reports its end";
    EXPECT_EQ(started_line(t.id()) + killed_line("ignorer", t.id(), 42), out.text());

    // A second stop (and the destructor) must neither log nor cancel a gone thread again.
    Capture again;
    t.stop(100);
    EXPECT_EQ("", again.text());
}

TEST_F(CThreadTest, PulseLostOnBusyBodyEndsInCancellationEvenAfterAWakeup)
{
    // A wakeup before the stop must not be taken for the end of the body.
    const struct {
        bool wakeup_first;
        unsigned int stop_ms;
    } cases[] = {{false, 600}, {true, 400}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wakeup_first ? "wakeup first" : "stop only");
        TestThread& t = lasting_thread("busy", Body::BusyThenSleep, 150);
        Capture out;
        ASSERT_EQ(0, t.start(nullptr));
        ASSERT_TRUE(eventually([&] { return t.m_passes > 0; }));
        if (c.wakeup_first)
            t.wakeup();
        const auto start = Clock::now();
        errno = 0;
        t.stop(c.stop_ms);
        EXPECT_GE(elapsed_ms(start), static_cast<long>(c.stop_ms) - 10);
        ASSERT_TRUE(eventually([&] { return t.m_left.load(); }));
        EXPECT_EQ(started_line(t.id()) + killed_line("busy", t.id(), 0), out.text());
    }
}

TEST_F(CThreadTest, UnlimitedStopWaitsForTheBodyAndNeverCancels)
{
    TestThread t("slow", Body::SpinAfterStop, 300);
    Capture out;
    ASSERT_EQ(0, t.start(nullptr));
    ASSERT_TRUE(eventually([&] { return t.m_passes > 0; }));
    const auto start = Clock::now();
    t.stop(4294967295U);
    EXPECT_GE(elapsed_ms(start), 290);
    EXPECT_FALSE(t.running());
    EXPECT_EQ(started_line(t.id()) + exit_line("slow", t.id()), out.text());
}

TEST_F(CThreadTest, DefaultBodyEndsOnWakeup)
{
    TestThread t("", Body::Default);
    Capture out;
    ASSERT_EQ(0, t.start(nullptr));
    ASSERT_TRUE(eventually([&] { return t.m_passes > 0; }));
    EXPECT_EQ(0, t.wakeup());
    ASSERT_TRUE(eventually([&] { return !t.running() && t.m_left; }));
    EXPECT_EQ(started_line(t.id()) + exit_line("", t.id()), out.text());
}

TEST_F(CThreadTest, WakeupIsKeptForTheNextSuspend)
{
    TestThread t("x", Body::Sleeper);
    t.wakeup();
    const auto start = Clock::now();
    EXPECT_EQ(0, t.suspend(60000UL));
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(ETIMEDOUT, t.suspend(0UL));

    timespec deadline;
    t.fill_timespec(50, deadline);
    EXPECT_EQ(ETIMEDOUT, t.suspend(deadline));

    // The same for a nap: one nudge ends one nap.
    t.nudge();
    const auto nap_start = Clock::now();
    EXPECT_EQ(0, t.nap_until(CThread::monotonic_after(60000)));
    EXPECT_LT(elapsed_ms(nap_start), 1000);
    EXPECT_EQ(ETIMEDOUT, t.nap_until(CThread::monotonic_after(50)));
    EXPECT_GE(elapsed_ms(nap_start), 45);
}

TEST_F(CThreadTest, AttributesReleasedOnceWhenTimeoutMeetsEndingBody)
{
    // Bodies that end right around the stop's time-out: either outcome is fine,
    // but exactly one line and exactly one release of the attribute object.
    for (int i = 0; i < 24; ++i) {
        TestThread& t = lasting_thread("edge", Body::SpinAfterStop, 12 + i % 5);
        watch_attr(t.attr());
        Capture capture;
        ASSERT_EQ(0, t.start(nullptr));
        ASSERT_TRUE(eventually([&] { return t.m_passes > 0; }));
        t.stop(14);
        ASSERT_TRUE(eventually([&] { return t.m_left.load(); }));
        // A won cancel releases the attribute before stop() returns; an ending body
        // releases it after its exit line, which stop() does not wait for.
        EXPECT_TRUE(eventually([&] { return watched_releases() > 0; }));
        const std::string out = capture.text();
        const bool exited = out.find("exit noramally") != std::string::npos;
        const bool killed = out.find(") killed,") != std::string::npos;
        EXPECT_NE(exited, killed) << out;
        EXPECT_EQ(1, watched_releases()) << "iteration " << i;
    }
}

TEST_F(CThreadTest, StopKeepsItsTimeoutWhileTheExitLineIsBlocked)
{
    TestThread t("blocked", Body::Sleeper);
    ASSERT_EQ(0, t.start(nullptr));
    ASSERT_TRUE(eventually([&] { return t.m_tid != 0 && thread_sleeping(t.m_tid); }));

    // Standard output becomes a full pipe that nobody reads: the exit line blocks.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    static char junk[4096];
    while (write(fds[1], junk, sizeof(junk)) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);
    fflush(stdout);
    const int saved = dup(1);
    dup2(fds[1], 1);
    setvbuf(stdout, nullptr, _IONBF, 0);

    // Unblocks the writer once stop() has returned, or after 2 s if it never does.
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        eventually([&] { return returned.load(); }, 2000);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        eventually([&] {
            while (read(fds[0], junk, sizeof(junk)) > 0) {
            }
            return !t.running();
        });
    });
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const auto start = Clock::now();
    t.stop(100);
    const long took = elapsed_ms(start);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    returned = true;
    const bool ended = eventually([&] { return !t.running(); });
    close(fds[1]);
    reader.join();
    dup2(saved, 1);
    close(saved);
    close(fds[0]);
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

    EXPECT_LT(took, 1000);
    EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000000, 50)
        << "stop() spun while it waited";
    EXPECT_TRUE(ended) << "the body never finished once its output drained";
}

TEST_F(CThreadTest, StartingAgainEndsTheEarlierThreadFirst)
{
    // A second start, or one after a stop that came before the body began, leaves no
    // earlier thread to run on after the object is gone (AddressSanitizer watches).
    Capture out;
    for (int i = 0; i < 20; ++i) {
        TestThread t("again", Body::Sleeper);
        ASSERT_EQ(0, t.start(nullptr));
        if (i % 2 != 0)
            t.stop(100);
        ASSERT_EQ(0, t.start(nullptr));
    }
    EXPECT_EQ(std::string::npos, out.text().find(") killed,")) << "sleeping bodies end when woken";
}

TEST_F(CThreadTest, RunExecutesTheBodyOnTheCallingThread)
{
    TestThread t("inline", Body::Default);
    t.wakeup();
    int token = 0;
    Capture out;
    EXPECT_EQ(0, t.run(&token));
    EXPECT_EQ(&token, t.m_arg_seen);
    EXPECT_FALSE(t.running());
    EXPECT_EQ(started_line(0) + exit_line("inline", 0), out.text());
}

}  // namespace
