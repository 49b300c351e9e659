// Tests of CRamp: steps, verdicts and capacity for made-up reflectors on a fake clock.
#include "CRamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

const double RATE = 50;      // datagrams a second to each decoder
const double ONLINE_S = 2;   // from creation to the first datagram
const double TICK_S = 0.05;  // the fake clock's step

// A made-up reflector and relaysim: what a decoder receives while n decoders run.
struct World {
    std::function<double(size_t n)> loss = [](size_t) { return 0.0; };
    std::function<double(size_t n)> jitter_ms = [](size_t) { return 0.5; };
    size_t served = 1000;  // decoders beyond this many never receive anything
    double cpu_share = 0.1;
};

struct Expected {
    std::vector<size_t> decoders;  // of each judged step
    std::vector<CReport::Step::Verdict> verdicts;
    size_t capacity;
    int status;
    std::string why;  // of the last step
};

// Runs the ramp to its end; every decoder counts its datagrams from its own creation.
CRamp run_ramp(const ramp_plan& plan, const CReport::Thresholds& thresholds, const World& w)
{
    CRamp ramp(plan, thresholds, 2);
    std::vector<double> created_at;
    std::vector<double> received, expected;
    for (double now = 0; now < 300 && ramp.status() < 0; now += TICK_S) {
        const size_t n = created_at.size();
        for (size_t i = 0; i < n; ++i) {
            if (i >= w.served || now < created_at[i] + ONLINE_S)
                continue;
            expected[i] += RATE * TICK_S;
            received[i] += RATE * TICK_S * (1 - w.loss(n));
        }
        while (created_at.size() < ramp.wanted()) {
            created_at.push_back(now);
            received.push_back(0);
            expected.push_back(0);
        }
        ramp.created(created_at.size(), now);
        if (now + 1e-9 < ramp.due())
            continue;
        CReport::Run run;
        run.duration_s = now;
        for (size_t i = 0; i < created_at.size(); ++i) {
            CReport::Decoder d;
            d.index = static_cast<int>(i);
            d.online = received[i] > 0;
            d.stats.received = static_cast<unsigned long long>(received[i]);
            d.stats.expected = static_cast<unsigned long long>(expected[i]);
            d.stats.lost = d.stats.expected - d.stats.received;
            d.stats.jitter_ms = d.online ? w.jitter_ms(created_at.size()) : 0;
            run.decoders.push_back(d);
        }
        ramp.observe(run, w.cpu_share * 2 * now);
    }
    return ramp;
}

TEST(CRampTest, StepsUpUntilAStepBreaksAndReportsTheLastThatHeld)
{
    using V = CReport::Step::Verdict;
    const V H = CReport::Step::HELD, B = CReport::Step::BROKE, O = CReport::Step::OWN_LIMIT;
    World all_served;
    World capped;  // a reflector that sends at most 250 datagrams a second in all
    capped.loss = [](size_t n) { return std::max(0.0, 1 - 250 / (RATE * n)); };
    World jittery;
    jittery.jitter_ms = [](size_t n) { return static_cast<double>(n); };
    World three_served;
    three_served.served = 3;
    World busy;
    busy.cpu_share = 0.95;
    CReport::Thresholds loss1, jitter5;
    loss1.max_loss_percent = 1;
    jitter5.max_jitter_ms = 5;

    struct Case {
        const char* name;
        ramp_plan plan;
        CReport::Thresholds thresholds;
        World world;
        Expected expected;
    } cases[] = {
        {"every step holds up to MAX", {2, 2, 4, 6}, loss1, all_served, {{2, 4, 6}, {H, H, H}, 6, 0, ""}},
        {"the last step is MAX", {2, 3, 4, 6}, loss1, all_served, {{2, 5, 6}, {H, H, H}, 6, 0, ""}},
        {"loss above the cap", {2, 2, 4, 20}, loss1, capped,
         {{2, 4, 6}, {H, H, B}, 4, 3, "loss 16.67%, limit 1%"}},
        {"jitter", {2, 2, 4, 20}, jitter5, jittery,
         {{2, 4, 6}, {H, H, B}, 4, 3, "worst jitter 6.00 ms, limit 5 ms"}},
        {"a decoder never served, no thresholds", {2, 2, 4, 20}, {}, three_served,
         {{2, 4}, {H, B}, 2, 3, "1 of 4 decoders received nothing"}},
        {"relaysim's own CPU", {2, 2, 4, 20}, loss1, busy,
         {{2}, {O}, 0, 4, "relaysim used 95% of the CPU"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CRamp ramp = run_ramp(c.plan, c.thresholds, c.world);
        const CReport::Ramp& r = ramp.state();
        std::vector<size_t> decoders;
        std::vector<V> verdicts;
        for (const CReport::Step& s : r.steps) {
            decoders.push_back(s.decoders);
            verdicts.push_back(s.verdict);
            EXPECT_EQ(s.number, static_cast<int>(decoders.size()));
            // Judged on the steady part alone: from all online to the end of the hold.
            EXPECT_GT(s.to_s - s.from_s, c.plan.hold_s - ONLINE_S - 0.5);
            EXPECT_LE(s.to_s - s.from_s, c.plan.hold_s - ONLINE_S + TICK_S);
        }
        EXPECT_EQ(decoders, c.expected.decoders);
        EXPECT_EQ(verdicts, c.expected.verdicts);
        EXPECT_EQ(r.capacity, c.expected.capacity);
        EXPECT_EQ(ramp.status(), c.expected.status);
        EXPECT_TRUE(r.ended);
        EXPECT_EQ(r.steps.back().why, c.expected.why);
    }
}

TEST(CRampTest, AStepWhoseDecodersNeverComeOnlineIsJudgedOnHalfItsHold)
{
    World none;
    none.served = 0;
    const CRamp ramp = run_ramp({2, 2, 8, 4}, {}, none);
    ASSERT_EQ(ramp.state().steps.size(), 1u);
    const CReport::Step& s = ramp.state().steps[0];
    EXPECT_NEAR(s.from_s, 4, TICK_S);
    EXPECT_NEAR(s.to_s, 8, TICK_S);
    EXPECT_EQ(s.received, 0u);
    EXPECT_EQ(s.why, "2 of 2 decoders received nothing");
    EXPECT_EQ(ramp.status(), 3);
}

}  // namespace
