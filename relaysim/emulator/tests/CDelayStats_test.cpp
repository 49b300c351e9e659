// Tests of the delay figures: quantiles against the exact ones, the send log's lookups.
#include "CDelayStats.h"
#include "CSendLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

TEST(CDelayStatsTest, QuantilesAreWithinFivePercentOrATenthOfAMillisecond)
{
    // Delays D + uniform jitter J, in ms, drawn by a fixed linear congruential sequence.
    struct Case {
        double d_ms, j_ms;
    } cases[] = {{0.05, 0.1}, {0.3, 0.2}, {5, 2}, {20, 10}, {150, 50}, {700, 300}};
    for (const Case& c : cases) {
        CDelayStats stats;
        std::vector<double> ms;
        uint32_t x = 12345;
        for (int i = 0; i < 5000; ++i) {
            x = x * 1664525u + 1013904223u;
            ms.push_back(c.d_ms + c.j_ms * (x >> 8) / double(1 << 24));
            stats.add(static_cast<int64_t>(ms.back() * 1e6));
        }
        std::sort(ms.begin(), ms.end());
        const CDelayStats::Snapshot s = stats.snapshot();
        EXPECT_EQ(s.matched, 5000u);
        for (double q : {0.5, 0.99, 1.0}) {
            const double exact = ms[static_cast<size_t>(q * 5000) - 1];
            EXPECT_NEAR(s.quantile_ms(q), exact, std::max(0.05 * exact, 0.1)) << c.d_ms << " q " << q;
        }
        EXPECT_NEAR(s.max_ns / 1e6, ms.back(), 1e-6);
    }
    EXPECT_LT(sizeof(CDelayStats), 1024u) << "per decoder";
}

TEST(CDelayStatsTest, AnIntervalIsTheDifferenceOfTwoSnapshots)
{
    CDelayStats stats;
    for (int i = 0; i < 100; ++i)
        stats.add(1000000);  // 1 ms
    const CDelayStats::Snapshot before = stats.snapshot();
    for (int i = 0; i < 100; ++i)
        stats.add(40000000);  // 40 ms
    stats.add(-5);            // clocks that disagree: 0
    const CDelayStats::Snapshot interval = stats.snapshot().since(before);
    EXPECT_EQ(interval.matched, 101u);
    EXPECT_NEAR(interval.quantile_ms(0.5), 40, 2);
    EXPECT_EQ(interval.quantile_ms(0.005), 0.0078125) << "the 0 ms datagram, in the first bucket";
    CDelayStats::Snapshot all = before;
    all.merge(interval);
    EXPECT_EQ(all.matched, 201u);
    EXPECT_EQ(all.sum_ns, 100u * 1000000 + 100u * 40000000);
}

TEST(CSendLogTest, CopiesAreFoundBySsrcAndSequenceOrByTimestamp)
{
    // Three encoders whose copies leave in this order, the datagram's sends taking 200 ns.
    CSendLog log({0x30, 0x10, 0x20});
    log.sent(7, 1120, 1000, 1200);
    struct Case {
        uint32_t ssrc;
        uint16_t seq;
        uint32_t ts;
        bool found;
        int64_t ns;
    } cases[] = {
        {0x30, 7, 1120, true, 1000},  // the first copy
        {0x10, 7, 1120, true, 1100},
        {0x20, 7, 1120, true, 1200},  // the last
        {0x40, 7, 1120, false, 0},    // no encoder of this run
        {0x10, 99, 1120, true, 1100}, // renumbered by the reflector: by the timestamp
        {0x10, 7, 1280, false, 0},    // never sent
    };
    for (const Case& c : cases) {
        int64_t ns = 0;
        EXPECT_EQ(log.sent_at(c.ssrc, c.seq, c.ts, ns), c.found) << c.ssrc << " " << c.seq;
        if (c.found) {
            EXPECT_EQ(ns, c.ns) << c.ssrc << " " << c.seq;
        }
    }
    EXPECT_EQ(log.max_span_ns(), 200);
    // A full ring later the sequence number's place is another datagram's.
    log.sent(7 + CSendLog::ENTRIES, 1120 + 160 * CSendLog::ENTRIES, 5000, 5000);
    int64_t ns = 0;
    EXPECT_TRUE(log.sent_at(0x30, 7 + CSendLog::ENTRIES, 1120 + 160 * CSendLog::ENTRIES, ns));
    EXPECT_EQ(ns, 5000);
}

TEST(CSendLogTest, AReaderNeverSeesHalfAnEntry)
{
    // The writer logs datagram n as sent at n ms for n us; a reader that finds one must find
    // exactly that, however it interleaves with the writer.
    CSendLog log({1, 2});
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t n = 0; n < 200000; ++n)
            log.sent(static_cast<uint16_t>(n), n * 160, int64_t(n) * 1000000, int64_t(n) * 1000000 + n % 1000);
        done = true;
    });
    unsigned long long found = 0, wrong = 0;
    for (uint32_t n = 0; !done; n = (n + 7) % 200000) {
        int64_t ns = 0;
        if (log.sent_at(2, static_cast<uint16_t>(n), n * 160, ns)) {
            ++found;
            wrong += ns != int64_t(n) * 1000000 + n % 1000;
        }
    }
    writer.join();
    EXPECT_EQ(wrong, 0u) << "of " << found;
}
