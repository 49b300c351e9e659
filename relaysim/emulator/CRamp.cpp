// The ramp of a measured run: how many decoders it should have, and each step's verdict.
#include "CRamp.h"

#include "report_formats.h"

#include <algorithm>
#include <limits>

using report_formats::format;

namespace {

// How often a settling step looks whether all its decoders are online, and a steady one
// samples the worst jitter.
const double SETTLE_LOOK_S = 0.25;
const double JITTER_SAMPLE_S = 1;

}  // namespace

CRamp::CRamp(const ramp_plan& plan, const CReport::Thresholds& thresholds, unsigned int cores)
    : m_plan(plan), m_thresholds(thresholds), m_cores(std::max(1u, cores))
{
    m_ramp.step = 1;
    m_ramp.decoders = plan.start;
}

void CRamp::created(size_t count, double now)
{
    if (m_phase == CREATING && count >= m_ramp.decoders) {
        m_phase = SETTLING;
        m_created_s = now;
        m_last_s = now - SETTLE_LOOK_S;
    }
}

double CRamp::due() const
{
    switch (m_phase) {
    case SETTLING:
        return std::min(m_last_s + SETTLE_LOOK_S, m_created_s + m_plan.hold_s / 2);
    case STEADY:
        return std::min(m_last_s + JITTER_SAMPLE_S, m_created_s + m_plan.hold_s);
    default:
        return std::numeric_limits<double>::infinity();
    }
}

void CRamp::observe(const CReport::Run& run, double cpu_s)
{
    const double now = run.duration_s;
    if (m_phase == SETTLING) {
        const bool all_online = std::all_of(run.decoders.begin(), run.decoders.end(),
                                            [](const CReport::Decoder& d) { return d.online; });
        // A decoder that never comes online leaves the step half its hold to be judged on.
        if (all_online || now >= m_created_s + m_plan.hold_s / 2)
            begin_steady(run, cpu_s);
    } else if (m_phase == STEADY) {
        for (const CReport::Decoder& d : run.decoders)
            m_jitter_max = std::max(m_jitter_max, d.stats.jitter_ms);
        if (now >= m_created_s + m_plan.hold_s)
            judge(run, cpu_s);
    }
    m_last_s = now;
}

void CRamp::begin_steady(const CReport::Run& run, double cpu_s)
{
    m_phase = STEADY;
    m_received_from.clear();
    m_expected_from = m_lost_from = m_dropped_from = 0;
    m_jitter_max = 0;
    m_delay_from = CReport::totals(run).delay;
    for (const CReport::Decoder& d : run.decoders) {
        m_received_from.push_back(d.stats.received);
        m_expected_from += CReport::expected(d);
        m_lost_from += CReport::lost(d);
        m_dropped_from += d.dropped_here;
    }
    m_cpu_from = cpu_s;
    m_from_s = run.duration_s;
}

void CRamp::judge(const CReport::Run& run, double cpu_s)
{
    m_ramp.steps.emplace_back();
    CReport::Step& s = m_ramp.steps.back();
    s.number = m_ramp.step;
    s.decoders = m_ramp.decoders;
    s.from_s = m_from_s;
    s.to_s = run.duration_s;
    unsigned long long expected = 0, lost = 0, dropped = 0;
    for (size_t i = 0; i < run.decoders.size() && i < m_received_from.size(); ++i) {
        const CReport::Decoder& d = run.decoders[i];
        const unsigned long long received = d.stats.received - m_received_from[i];
        s.received += received;
        s.silent += received == 0 ? 1 : 0;
        expected += CReport::expected(d);
        lost += CReport::lost(d);
        dropped += d.dropped_here;
    }
    // A late datagram may fill a hole counted before the steady part: never below 0.
    s.expected = expected > m_expected_from ? expected - m_expected_from : 0;
    s.lost = lost > m_lost_from ? lost - m_lost_from : 0;
    s.dropped_here = dropped - m_dropped_from;
    const unsigned long long network_lost = s.lost > s.dropped_here ? s.lost - s.dropped_here : 0;
    s.loss_percent = CReport::percent(network_lost, s.expected);
    s.jitter_ms_max = m_jitter_max;
    s.delay = CReport::totals(run).delay.since(m_delay_from);
    const double wall = s.to_s - s.from_s;
    s.cpu_share = wall > 0 ? (cpu_s - m_cpu_from) / (wall * m_cores) : 0;

    // relaysim's own limit first: a step it could not keep up with says nothing of the reflector.
    if (s.dropped_here > 0) {
        s.verdict = CReport::Step::OWN_LIMIT;
        s.why = format("relaysim dropped %llu datagrams itself", s.dropped_here);
    } else if (run.stall_s > CReport::STALL_LIMIT_S && run.stall_at_s + run.stall_s > s.from_s) {
        s.verdict = CReport::Step::OWN_LIMIT;
        s.why = format("relaysim stalled %.1f s at %.1f s", run.stall_s, run.stall_at_s);
    } else if (s.cpu_share >= CReport::CPU_SATURATED) {
        s.verdict = CReport::Step::OWN_LIMIT;
        s.why = format("relaysim used %.0f%% of the CPU", 100 * s.cpu_share);
    } else if (s.silent > 0) {
        s.verdict = CReport::Step::BROKE;
        s.why = format("%zu of %zu decoders received nothing", s.silent, s.decoders);
    } else if (m_thresholds.max_loss_percent && !(s.loss_percent <= *m_thresholds.max_loss_percent)) {
        s.verdict = CReport::Step::BROKE;
        s.why = format("loss %.2f%%, limit %g%%", s.loss_percent, *m_thresholds.max_loss_percent);
    } else if (m_thresholds.max_jitter_ms && !(s.jitter_ms_max <= *m_thresholds.max_jitter_ms)) {
        s.verdict = CReport::Step::BROKE;
        s.why = format("worst jitter %.2f ms, limit %g ms", s.jitter_ms_max, *m_thresholds.max_jitter_ms);
    } else if (m_thresholds.max_delay_ms &&
               (s.delay.matched == 0 || !(s.delay.quantile_ms(0.99) <= *m_thresholds.max_delay_ms))) {
        // A reflector's delay grows with its queue before it loses anything.
        s.verdict = CReport::Step::BROKE;
        s.why = s.delay.matched == 0 ? std::string("no delay measured")
                                     : format("delay p99 %.2f ms, limit %g ms", s.delay.quantile_ms(0.99),
                                              *m_thresholds.max_delay_ms);
    }

    if (s.verdict == CReport::Step::HELD) {
        m_ramp.capacity = s.decoders;
        if (s.decoders < m_plan.max) {
            ++m_ramp.step;
            m_ramp.decoders = std::min<size_t>(s.decoders + m_plan.step, m_plan.max);
            m_phase = CREATING;
            return;
        }
    }
    m_phase = ENDED;
    m_ramp.ended = true;
}

int CRamp::status() const
{
    if (!m_ramp.ended)
        return -1;
    switch (m_ramp.steps.back().verdict) {
    case CReport::Step::HELD:
        return 0;
    case CReport::Step::BROKE:
        return 3;
    default:
        return 4;
    }
}
