// The measurements of a run at one instant, their totals and the verdict against the thresholds.
#include "CReport.h"

#include "report_formats.h"

#include <signal.h>

#include <algorithm>
#include <cmath>

using report_formats::format;

double CReport::percent(unsigned long long part, unsigned long long whole)
{
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

unsigned long long CReport::silent_tail(const CRtpStats::Snapshot& s, long long until_ns, double grace_s)
{
    if (s.period_ns <= 0 || s.last_arrival_ns == 0 || until_ns <= s.last_arrival_ns)
        return 0;
    const double silence_ns = static_cast<double>(until_ns - s.last_arrival_ns);
    if (silence_ns <= grace_s * 1e9 + s.period_ns)
        return 0;
    return static_cast<unsigned long long>(std::floor(silence_ns / s.period_ns));
}

CReport::Totals CReport::totals(const Run& run)
{
    Totals t;
    for (const Decoder& d : run.decoders) {
        ++t.decoders;
        t.online += d.online ? 1 : 0;
        t.received += d.stats.received;
        t.expected += expected(d);
        t.distinct += d.stats.distinct;
        t.lost += lost(d);
        t.lost_silent += d.lost_silent;
        t.duplicates += d.stats.duplicates;
        t.reordered += d.stats.reordered;
        t.strays += d.stats.strays;
        t.ssrc_changes += d.stats.ssrc_changes;
        t.unanalysed += d.stats.unanalysed;
        t.jitter_ms_max = std::max(t.jitter_ms_max, d.stats.jitter_ms);
        t.max_gap_ms = std::max(t.max_gap_ms, d.stats.max_gap_ms);
        t.jitter_ms_worst = std::max(t.jitter_ms_worst, d.jitter_ms_worst);
        t.dropped_here += d.dropped_here;
        // Per decoder: one decoder's drops can't excuse another's losses.
        t.network_lost += lost(d) > d.dropped_here ? lost(d) - d.dropped_here : 0;
        t.silent += d.stats.received == 0 ? 1 : 0;
        t.stopped += d.stats.received != 0 && !d.online ? 1 : 0;
        t.delay.merge(d.delay);
    }
    t.loss_percent = percent(t.lost, t.expected);
    t.network_loss_percent = percent(t.network_lost, t.expected);
    return t;
}

bool CReport::mixed(const Decoder& d)
{
    return d.stats.ssrc_changes != 0 || d.stats.unanalysed != 0;
}

const char* CReport::status_name(Verdict::Status status)
{
    switch (status) {
    case Verdict::PASS:
        return "pass";
    case Verdict::FAIL:
        return "fail";
    default:
        return "inconclusive";
    }
}

namespace {

std::string signal_name(int sig)
{
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : format("signal %d", sig);
}

CReport::Verdict make(CReport::Verdict::Status status, std::string why)
{
    CReport::Verdict v;
    v.status = status;
    v.exit_status = status == CReport::Verdict::PASS ? 0 : status == CReport::Verdict::FAIL ? 3 : 4;
    v.why = std::move(why);
    return v;
}

// What made relaysim's own measurement doubtful, or empty.
std::string own_limit(const CReport::Run& run, const CReport::Totals& t)
{
    if (t.dropped_here != 0)
        return format("relaysim itself dropped %llu datagrams it read too late, network loss "
                      "%.2f%%: the run measured relaysim, not the reflector",
                      t.dropped_here, t.network_loss_percent);
    if (run.stall_s > CReport::STALL_LIMIT_S)
        return format("relaysim stalled %.1f s at %.1f s: it missed its own schedule", run.stall_s,
                      run.stall_at_s);
    if (run.judged_from_s && run.cpu_percent >= 100 * CReport::CPU_SATURATED)
        return format("relaysim used %.0f%% of its %u cores: the run measured relaysim",
                      run.cpu_percent, run.cores);
    return "";
}

CReport::Verdict judge_ramp(const CReport::Run& run)
{
    const CReport::Ramp& r = *run.ramp;
    if (!r.ended)
        return make(CReport::Verdict::INCONCLUSIVE,
                    format("ramp ended during step %d, capacity so far %zu decoders", r.step,
                           r.capacity));
    const CReport::Step& last = r.steps.back();
    switch (last.verdict) {
    case CReport::Step::HELD:
        return make(CReport::Verdict::PASS, format("capacity %zu decoders or more", r.capacity));
    case CReport::Step::BROKE:
        return make(CReport::Verdict::FAIL, format("capacity %zu decoders; step %d broke: %s",
                                                   r.capacity, last.number, last.why.c_str()));
    default:
        return make(CReport::Verdict::INCONCLUSIVE,
                    format("capacity at least %zu decoders; step %d found relaysim's own limit: %s",
                           r.capacity, last.number, last.why.c_str()));
    }
}

}  // namespace

CReport::Verdict CReport::judge(const Run& run, const Totals& t)
{
    Verdict v;
    const double judged_s = run.judged_from_s ? run.duration_s - *run.judged_from_s : 0;
    const Thresholds& th = run.thresholds;
    const std::string own = own_limit(run, t);
    if (run.ramp) {
        v = judge_ramp(run);
    } else if (run.ending == Run::SIGNAL && run.requested_s && judged_s < *run.requested_s) {
        v = make(Verdict::INCONCLUSIVE,
                 format("cut short by %s after %.1f s of the %g s asked for",
                        signal_name(run.signal).c_str(), std::max(0.0, judged_s),
                        *run.requested_s));
    } else if (!own.empty()) {
        v = make(Verdict::INCONCLUSIVE, own);
    } else if (run.ending != Run::RUNNING && !run.judged_from_s) {
        v = make(Verdict::INCONCLUSIVE,
                 "ended before every decoder's first request had gone out: too short to hear anything");
    } else if (t.expected == 0) {
        // Nothing received is no evidence that the stream was served well.
        v = make(Verdict::FAIL, "nothing received");
    } else {
        std::string why;
        bool pass = true;
        if (th.max_loss_percent) {
            pass = pass && t.network_loss_percent <= *th.max_loss_percent;
            why += format("loss %.2f%%, limit %g%%", t.network_loss_percent, *th.max_loss_percent);
        }
        if (th.max_jitter_ms) {
            pass = pass && t.jitter_ms_worst <= *th.max_jitter_ms;
            why += format("%sworst jitter %.2f ms, limit %g ms", why.empty() ? "" : "; ",
                          t.jitter_ms_worst, *th.max_jitter_ms);
        }
        if (th.max_delay_ms) {
            // No copy of relaysim's own encoders came back: the delay was not measured, and
            // holds nothing.
            pass = pass && t.delay.matched != 0 && t.delay.quantile_ms(0.99) <= *th.max_delay_ms;
            why += (why.empty() ? "" : "; ") +
                   (t.delay.matched == 0
                        ? format("no delay measured (no copy of relaysim's encoders came back), "
                                 "delay limit %g ms", *th.max_delay_ms)
                        : format("delay p99 %.2f ms, limit %g ms", t.delay.quantile_ms(0.99),
                                 *th.max_delay_ms));
        }
        if (why.empty())
            why = "no thresholds";
        const bool thresholds = th.max_loss_percent || th.max_jitter_ms || th.max_delay_ms;
        // A decoder the reflector never served is no evidence either.
        if (t.silent != 0) {
            pass = pass && !thresholds;
            why += format("; %llu of %llu decoders received nothing", t.silent, t.decoders);
        }
        if (t.stopped != 0)
            why += format("; %llu of %llu decoders stopped receiving", t.stopped, t.decoders);
        v = make(pass ? Verdict::PASS : Verdict::FAIL, why);
    }
    if (run.ending == Run::SIGNAL && run.signal)
        v.exit_status = 128 + run.signal;  // as a shell reports a process a signal ended
    return v;
}

CReport::Result CReport::result(Run run)
{
    Result r;
    r.run = std::move(run);
    r.totals = totals(r.run);
    r.verdict = judge(r.run, r.totals);
    return r;
}
