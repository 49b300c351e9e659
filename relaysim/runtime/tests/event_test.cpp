// Tests of the event: signal, pulse and nonsignal with several waiters, reset modes, deadlines.
#include "event.h"

#include "CLogger.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace test_support;

// Waiters blocked on one event, each with a long time-out so nothing hangs.
class Waiters {
public:
    Waiters(const event& e, int n) : m_results(n)
    {
        for (int i = 0; i < n; ++i) {
            m_results[i] = -1;
            m_threads.emplace_back([this, &e, i] {
                m_tids[i] = static_cast<pid_t>(syscall(SYS_gettid));
                m_results[i] = e.wait(20000UL);
                ++m_released;
            });
        }
        EXPECT_TRUE(eventually([&] {
            for (int i = 0; i < n; ++i)
                if (m_tids[i] == 0 || !thread_sleeping(m_tids[i]))
                    return false;
            return true;
        })) << "waiters never blocked";
    }
    ~Waiters()
    {
        for (auto& t : m_threads)
            t.join();
    }
    int released() const { return m_released; }
    std::vector<int> results() const
    {
        std::vector<int> r;
        for (auto& v : m_results)
            r.push_back(v);
        return r;
    }

private:
    std::vector<std::atomic<int>> m_results;
    std::atomic<pid_t> m_tids[8] = {};
    std::atomic<int> m_released{0};
    std::vector<std::thread> m_threads;
};

// Long enough to see a second release if one were coming.
constexpr long SETTLE_MS = 100;

TEST(EventTest, MakeDeadlineCarriesMicrosecondOverflow)
{
    struct Case {
        unsigned long ms;
        long usec;
        time_t add_sec;
        long nsec;
    } cases[] = {
        {1500, 999999, 2, 499999000},
        {1500, 0, 1, 500000000},
        {999, 999999, 1, 998999000},
        {1000, 0, 1, 0},
        {1, 999000, 1, 0},
        {0, 999999, 0, 999999000},
        {4294967294UL, 500000, 4294967, 794000000},
    };
    for (const auto& c : cases) {
        timeval now{1700000000, c.usec};
        timespec d{};
        event::make_deadline(c.ms, now, d);
        EXPECT_EQ(now.tv_sec + c.add_sec, d.tv_sec) << "ms=" << c.ms << " usec=" << c.usec;
        EXPECT_EQ(c.nsec, d.tv_nsec) << "ms=" << c.ms << " usec=" << c.usec;
        EXPECT_LT(d.tv_nsec, 1000000000L);
    }
}

TEST(EventTest, ZeroTimeoutNeverBlocks)
{
    event e(false, true);
    EXPECT_TRUE(e.signal_state());
    EXPECT_EQ(0, e.wait(0UL));
    EXPECT_FALSE(e.signal_state());
    EXPECT_EQ(ETIMEDOUT, e.wait(0UL));
    // The time-out path must release the lock: another thread can still signal.
    std::thread([&] { e.signal(); }).join();
    EXPECT_EQ(0, e.wait(0UL));
}

TEST(EventTest, SignalIsRememberedPulseAndNonsignalAreNot)
{
    for (bool manual : {false, true}) {
        event e(manual, false);
        EXPECT_EQ(0, e.signal());
        EXPECT_TRUE(e.signal_state());
        EXPECT_EQ(0, e.wait(5000UL)) << "a signal with nobody waiting is kept";
        EXPECT_FALSE(e.signal_state()) << "a waiter that finds it signalled clears it";

        EXPECT_EQ(0, e.pulse());
        EXPECT_FALSE(e.signal_state());
        const auto start = Clock::now();
        EXPECT_EQ(ETIMEDOUT, e.wait(50UL)) << "a pulse with nobody waiting is lost";
        EXPECT_GE(elapsed_ms(start), 45);

        e.signal();
        EXPECT_EQ(0, e.nonsignal());
        EXPECT_EQ(ETIMEDOUT, e.wait(0UL));
    }
}

TEST(EventTest, PulseOnSignalledEventChangesNothing)
{
    event e(false, true);
    e.pulse();
    EXPECT_TRUE(e.signal_state());
}

TEST(EventTest, AutoResetSignalReleasesOneWaiterAtATime)
{
    event e(false, false);
    Waiters w(e, 3);
    e.signal();
    ASSERT_TRUE(eventually([&] { return w.released() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
    EXPECT_EQ(1, w.released());
    EXPECT_FALSE(e.signal_state()) << "the woken waiter consumed the signal";
    e.signal();
    e.signal();
    ASSERT_TRUE(eventually([&] { return w.released() == 3; }));
    for (int r : w.results())
        EXPECT_EQ(0, r);
}

TEST(EventTest, ManualResetSignalReleasesAllAndStaysSignalled)
{
    event e(true, false);
    Waiters w(e, 3);
    e.signal();
    ASSERT_TRUE(eventually([&] { return w.released() == 3; }));
    for (int r : w.results())
        EXPECT_EQ(0, r);
    EXPECT_TRUE(e.signal_state());
    EXPECT_EQ(0, e.wait(0UL));
    EXPECT_FALSE(e.signal_state());
}

TEST(EventTest, PulseWakesCurrentWaitersWithoutSignalling)
{
    struct Case {
        bool manual;
        int released;
    } cases[] = {{false, 1}, {true, 3}};
    for (const auto& c : cases) {
        event e(c.manual, false);
        Waiters w(e, 3);
        e.pulse();
        ASSERT_TRUE(eventually([&] { return w.released() >= c.released; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
        EXPECT_EQ(c.released, w.released()) << "manual=" << c.manual;
        EXPECT_FALSE(e.signal_state());
        e.signal();  // release the rest
        if (!c.manual) {
            e.signal();
            e.signal();
        }
        ASSERT_TRUE(eventually([&] { return w.released() == 3; }));
    }
}

TEST(EventTest, UnlimitedWaitEndsOnSignal)
{
    event e(false, false);
    std::atomic<int> result{-1};
    std::atomic<pid_t> tid{0};
    std::thread t([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = e.wait(event::INFINITE_WAIT);
    });
    ASSERT_TRUE(eventually([&] { return tid != 0 && thread_sleeping(tid); }));
    EXPECT_EQ(-1, result);
    e.signal();
    t.join();
    EXPECT_EQ(0, result);
}

TEST(EventTest, TimedWaitsTimeOut)
{
    event e(false, false);
    auto start = Clock::now();
    EXPECT_EQ(ETIMEDOUT, e.wait(120UL));
    EXPECT_GE(elapsed_ms(start), 115);

    // On the monotonic clock: against the realtime one this deadline lies decades back.
    timespec deadline;
    event::make_deadline(80, event::clock_now(), deadline);
    start = Clock::now();
    EXPECT_EQ(ETIMEDOUT, e.wait(deadline));
    EXPECT_GE(elapsed_ms(start), 75);

    e.signal();
    EXPECT_EQ(0, e.wait(deadline)) << "a signalled event returns at once, deadline or not";
}

}  // namespace
