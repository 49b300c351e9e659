// Tests of the live line: its figures over one interval, and 80 columns whatever they are.
#include "live_view.h"

#include "CDelayStats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

namespace {

// n decoders, each with the same figures; `online` of them online.
CReport::Run run_of(double at, size_t n, size_t online, unsigned long long received,
                    unsigned long long lost, unsigned long long dropped, double jitter_ms)
{
    CReport::Run run;
    run.duration_s = at;
    for (size_t i = 0; i < n; ++i) {
        CReport::Decoder d;
        d.online = i < online;
        d.stats.received = d.stats.distinct = received;
        d.stats.expected = received + lost;
        d.stats.lost = lost;
        d.stats.jitter_ms = jitter_ms;
        d.dropped_here = dropped;
        run.decoders.push_back(d);
    }
    return run;
}

}  // namespace

TEST(LiveViewTest, LineShowsTheIntervalAndTheRunSoFar)
{
    // 4 decoders: 100 then 150 received, 0 then 2 lost of which 1 dropped here, each; the
    // interval is 2 s long: 100 datagrams a second, 4 lost by the network of 208 expected.
    const CReport::Run before = run_of(8.0, 4, 4, 100, 0, 0, 0.5);
    CReport::Run now = run_of(10.0, 4, 3, 150, 2, 1, 1.25);
    EXPECT_EQ(live_view::line(CReport::result(now), CReport::result(before), 12.5),
              //  time      online  dgram/s loss %  run % jit ms dropped  cpu % p99 ms
              "    10.0         3/4      100   1.92   0.66   1.25       4   12.5      -\n");
    // The p99 delay of the interval once copies of relaysim's own encoders come back (100 at
    // 5 ms: never above the largest seen), and the ramp's step.
    CDelayStats delay;
    for (int i = 0; i < 100; ++i)
        delay.add(5000000);
    now.decoders[0].delay = delay.snapshot();
    now.ramp = CReport::Ramp();
    now.ramp->step = 7;
    EXPECT_EQ(live_view::line(CReport::result(now), CReport::result(before), 12.5).substr(65),
              "   5.00    7\n");
}

TEST(LiveViewTest, EveryLineFitsEightyColumns)
{
    EXPECT_EQ(strlen(live_view::header()), 78u);
    const CReport::Run before = run_of(0, 1, 0, 0, 0, 0, 0);
    CReport::Run huge = run_of(99999999.9, 10000, 10000, 1ULL << 40, 1ULL << 40, 1ULL << 40, 1e9);
    huge.ramp = CReport::Ramp();
    huge.ramp->step = 123456;
    for (const CReport::Run& run : {before, huge}) {
        const std::string line = live_view::line(CReport::result(run), CReport::result(before), 1e6);
        EXPECT_LE(line.size(), 81u) << line;
        EXPECT_EQ(line.back(), '\n');
    }
}
