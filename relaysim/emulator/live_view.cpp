// The live line of a measured run: one line an interval, at most 80 columns, under a header.
#include "live_view.h"

#include "report_formats.h"

#include <algorithm>
#include <cmath>

namespace {

// A figure too wide for its column shows as its widest form rather than shifting the rest.
std::string fit(std::string text, size_t width)
{
    if (text.size() > width)
        text = std::string(width, '#');
    return std::string(width - text.size(), ' ') + text;
}

std::string fixed(double v, int decimals, size_t width)
{
    return fit(report_formats::format("%.*f", decimals, std::isfinite(v) ? v : 0.0), width);
}

}  // namespace

const char* live_view::header()
{
    return "  time s      online  dgram/s loss %  run % jit ms dropped  cpu % p99 ms step\n";
}

std::string live_view::line(const CReport::Result& r, const CReport::Result& before, double cpu_percent)
{
    const CReport::Run& run = r.run;
    const CReport::Totals& t = r.totals;
    const CReport::Totals& b = before.totals;
    const double seconds = run.duration_s - before.run.duration_s;
    const auto rise = [](unsigned long long now, unsigned long long then) {
        return now > then ? now - then : 0ULL;
    };
    const std::string online =
        report_formats::format("%llu/%llu", t.online, t.decoders);
    // The delay of the interval, where copies of relaysim's own encoders came back.
    const CDelayStats::Snapshot delay = t.delay.since(b.delay);
    return fixed(run.duration_s, 1, 8) + fit(online, 12) +
           fixed(seconds > 0 ? static_cast<double>(rise(t.received, b.received)) / seconds : 0, 0, 9) +
           fixed(CReport::percent(rise(t.network_lost, b.network_lost), rise(t.expected, b.expected)), 2, 7) +
           fixed(t.network_loss_percent, 2, 7) + fixed(t.jitter_ms_max, 2, 7) +
           fit(std::to_string(rise(t.dropped_here, b.dropped_here)), 8) + fixed(cpu_percent, 1, 7) +
           (delay.matched != 0 ? fixed(delay.quantile_ms(0.99), 2, 7) : fit("-", 7)) +
           (run.ramp ? fit(std::to_string(run.ramp->step), 5) : std::string()) + "\n";
}
