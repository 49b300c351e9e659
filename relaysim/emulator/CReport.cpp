// The measurements of a run at one instant, their totals and the verdict against the thresholds.
#include "CReport.h"

#include <algorithm>

double CReport::percent(unsigned long long part, unsigned long long whole)
{
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

CReport::Totals CReport::totals(const Run& run)
{
    Totals t;
    for (const Decoder& d : run.decoders) {
        ++t.decoders;
        t.online += d.online ? 1 : 0;
        t.received += d.stats.received;
        t.expected += d.stats.expected;
        t.distinct += d.stats.distinct;
        t.lost += d.stats.lost;
        t.duplicates += d.stats.duplicates;
        t.reordered += d.stats.reordered;
        t.strays += d.stats.strays;
        t.ssrc_changes += d.stats.ssrc_changes;
        t.unanalysed += d.stats.unanalysed;
        t.jitter_ms_max = std::max(t.jitter_ms_max, d.stats.jitter_ms);
        t.dropped_here += d.dropped_here;
        // Per decoder: one decoder's drops can't excuse another's losses.
        t.network_lost += d.stats.lost > d.dropped_here ? d.stats.lost - d.dropped_here : 0;
        t.delay.merge(d.delay);
    }
    t.loss_percent = percent(t.lost, t.expected);
    t.network_loss_percent = percent(t.network_lost, t.expected);
    return t;
}

size_t CReport::silent_decoders(const Run& run)
{
    size_t n = 0;
    for (const Decoder& d : run.decoders)
        n += d.stats.received == 0 ? 1 : 0;
    return n;
}

size_t CReport::stopped_decoders(const Run& run)
{
    size_t n = 0;
    for (const Decoder& d : run.decoders)
        n += d.stats.received != 0 && !d.online ? 1 : 0;
    return n;
}

bool CReport::mixed(const Decoder& d)
{
    return d.stats.ssrc_changes != 0 || d.stats.unanalysed != 0;
}

bool CReport::passed(const Run& run)
{
    const Totals t = totals(run);
    const Thresholds& th = run.thresholds;
    // Nothing received is no evidence that the stream was served well: neither for the whole
    // run nor for a decoder the reflector never served. A stream that stopped before the end
    // shows no sequence gap for what never came after it, so it fails too.
    if ((th.max_loss_percent || th.max_jitter_ms || th.max_delay_ms) &&
        (t.expected == 0 || silent_decoders(run) != 0 || stopped_decoders(run) != 0))
        return false;
    if (th.max_loss_percent && !(t.network_loss_percent <= *th.max_loss_percent))
        return false;
    if (th.max_jitter_ms && !(t.jitter_ms_max <= *th.max_jitter_ms))
        return false;
    // No copy of relaysim's own encoders came back: the delay was not measured, and holds nothing.
    if (th.max_delay_ms && (t.delay.matched == 0 || !(t.delay.quantile_ms(0.99) <= *th.max_delay_ms)))
        return false;
    return true;
}

bool CReport::inconclusive(const Run& run)
{
    return totals(run).dropped_here != 0;
}

int CReport::status(const Run& run)
{
    return inconclusive(run) ? 4 : passed(run) ? 0 : 3;
}
