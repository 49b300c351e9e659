// Tests of the recursive mutex: recursion, trylock across threads, other mutex types.
#include "mutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

bool trylock_from_other_thread(const mutex& m)
{
    bool got = false;
    std::thread t([&] {
        got = m.trylock();
        if (got)
            m.unlock();
    });
    t.join();
    return got;
}

TEST(MutexTest, RecursiveTrylockSucceedsForOwnerOnly)
{
    mutex m;
    ASSERT_TRUE(m.lock());
    EXPECT_TRUE(m.trylock()) << "the owner may take a recursive mutex again";
    EXPECT_FALSE(trylock_from_other_thread(m)) << "held by us, busy for others";
    EXPECT_EQ(0, m.unlock());
    EXPECT_FALSE(trylock_from_other_thread(m)) << "still held once";
    EXPECT_EQ(0, m.unlock());
    EXPECT_TRUE(trylock_from_other_thread(m));
}

TEST(MutexTest, GivenTypeIsUsed)
{
    mutex m(PTHREAD_MUTEX_ERRORCHECK);
    ASSERT_TRUE(m.lock());
    EXPECT_FALSE(m.trylock()) << "an error-checking mutex is not recursive";
    EXPECT_EQ(0, m.unlock());
}

}  // namespace
