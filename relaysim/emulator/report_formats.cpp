// The outputs of a measured run, each a function of snapshots: summary table, verdict line,
// JSON report, CSV row and Prometheus text.
#include "report_formats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

using Run = CReport::Run;
using Decoder = CReport::Decoder;

std::string report_formats::format(const char* fmt, ...)
{
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        vsnprintf(&out[0], out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

namespace {

using report_formats::format;

// The shortest text that reads back as the same double.
std::string number(double v)
{
    char buf[32];  // the longest shortest form of a double is 24 characters
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof(buf), v);
    return std::string(buf, r.ptr);
}

// JSON has no NaN or infinity.
std::string json_number(double v)
{
    return std::isfinite(v) ? number(v) : std::string("null");
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += format("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string prom_number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    return number(v);
}

// A label value: backslash, double quote and line feed escaped.
std::string prom_label(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// Columns padded to their widest cell, right-aligned but for column `left`.
std::string aligned(const std::vector<std::vector<std::string>>& rows, size_t left)
{
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string pad(width[i] - row[i].size(), ' ');
            if (i)
                line += "  ";
            line += i == left ? row[i] + pad : pad + row[i];  // names read left to right
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

// A decoder that heard none of relaysim's own encoders has no delay: "-", not 0.
std::string delay_ms(const CDelayStats::Snapshot& d, double q)
{
    return d.matched == 0 ? std::string("-") : format("%.2f", d.quantile_ms(q));
}

std::string json_delay(const CDelayStats::Snapshot& d)
{
    if (d.matched == 0)
        return "null";
    return format("{\"matched\": %llu, \"p50_ms\": ", static_cast<unsigned long long>(d.matched)) +
           json_number(d.quantile_ms(0.5)) + ", \"p99_ms\": " + json_number(d.quantile_ms(0.99)) +
           ", \"max_ms\": " + json_number(d.max_ns / 1e6) + "}";
}

// One histogram of every decoder's delay, so that instances add up (sum by le), and each
// decoder's p99 where it heard relaysim's own encoders.
std::string prom_delay(const Run& run, const CReport::Totals& t, const std::string& instance)
{
    std::string out =
        "# HELP relaysim_delay_seconds Delay through the reflector of relaysim's own encoders' "
        "copies, encoder send to decoder kernel arrival.\n# TYPE relaysim_delay_seconds histogram\n";
    unsigned long long below = 0;
    size_t bucket = 0;
    // The fine buckets' octave edges, 0.25 ms doubling up to 1.024 s, are the histogram's.
    for (int octave = 0; octave <= CDelayStats::OCTAVES; ++octave) {
        const int64_t le_ns = CDelayStats::BASE_NS << octave;
        while (bucket < CDelayStats::BUCKETS - 1 && CDelayStats::upper_ns(bucket) <= le_ns)
            below += t.delay.counts[bucket++];
        out += format("relaysim_delay_seconds_bucket{%s,le=\"%g\"} %llu\n", instance.c_str(),
                      le_ns / 1e9, below);
    }
    out += format("relaysim_delay_seconds_bucket{%s,le=\"+Inf\"} %llu\n", instance.c_str(),
                  static_cast<unsigned long long>(t.delay.matched));
    out += format("relaysim_delay_seconds_sum{%s} ", instance.c_str()) + prom_number(t.delay.sum_ns / 1e9) +
           format("\nrelaysim_delay_seconds_count{%s} %llu\n", instance.c_str(),
                  static_cast<unsigned long long>(t.delay.matched));
    out += "# HELP relaysim_decoder_delay_p99_seconds 99th percentile of the decoder's delay "
           "through the reflector (only decoders that heard relaysim's own encoders).\n"
           "# TYPE relaysim_decoder_delay_p99_seconds gauge\n";
    for (const Decoder& d : run.decoders)
        if (d.delay.matched != 0)
            out += format("relaysim_decoder_delay_p99_seconds{%s,index=\"%d\",mac=\"", instance.c_str(),
                          d.index) +
                   report_formats::mac_text(d.mac) + "\"} " + prom_number(d.delay.quantile_ms(0.99) / 1e3) + "\n";
    return out;
}

const char* step_verdict(const CReport::Step& s)
{
    switch (s.verdict) {
    case CReport::Step::HELD:
        return "held";
    case CReport::Step::BROKE:
        return "broke";
    default:
        return "own_limit";
    }
}

// "steps", "capacity" and "ramp_end" of the JSON report, each line ending with a comma.
std::string json_ramp(const CReport::Ramp& r)
{
    std::string out = "  \"steps\": [";
    for (size_t i = 0; i < r.steps.size(); ++i) {
        const CReport::Step& s = r.steps[i];
        out += i ? ",\n    " : "\n    ";
        out += format("{\"step\": %d, \"decoders\": %zu, \"from_s\": ", s.number, s.decoders) +
               json_number(s.from_s) + ", \"to_s\": " + json_number(s.to_s) +
               format(", \"received\": %llu, \"expected\": %llu, \"lost\": %llu, \"loss_percent\": ",
                      s.received, s.expected, s.lost) +
               json_number(s.loss_percent) + ", \"jitter_ms_max\": " + json_number(s.jitter_ms_max) +
               format(", \"dropped_here\": %llu, \"silent\": %zu, \"cpu_share\": ", s.dropped_here,
                      s.silent) +
               json_number(s.cpu_share) + ", \"delay\": " + json_delay(s.delay) +
               ", \"verdict\": \"" + step_verdict(s) +
               "\", \"why\": " + json_string(s.why) + "}";
    }
    out += r.steps.empty() ? "],\n" : "\n  ],\n";
    out += format("  \"capacity\": %zu,\n", r.capacity);
    const char* end = !r.ended                                       ? "unfinished"
                      : r.steps.back().verdict == CReport::Step::HELD ? "reached_max"
                                                                      : step_verdict(r.steps.back());
    return out + "  \"ramp_end\": \"" + end + "\",\n";
}

}  // namespace

namespace report_formats {

std::string mac_text(unsigned long mac)
{
    return format("%02lx:%02lx:%02lx:%02lx:%02lx:%02lx", (mac >> 40) & 0xFF, (mac >> 32) & 0xFF,
                  (mac >> 24) & 0xFF, (mac >> 16) & 0xFF, (mac >> 8) & 0xFF, mac & 0xFF);
}

std::string table(const CReport::Result& result)
{
    const Run& run = result.run;
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"index", "name", "received", "lost %", "duplicates", "reordered", "strays",
                    "jitter ms", "worst jitter ms", "max gap ms", "ssrc changes", "unanalysed",
                    "online"});
    double max_gap = 0;
    bool any_mixed = false;
    for (const Decoder& d : run.decoders) {
        const CRtpStats::Snapshot& s = d.stats;
        max_gap = std::max(max_gap, s.max_gap_ms);
        const bool mixed = CReport::mixed(d);
        any_mixed = any_mixed || mixed;
        rows.push_back({format("%d", d.index), d.name + (mixed ? " *" : ""),
                        format("%llu", s.received),
                        format("%.2f", CReport::percent(CReport::lost(d), CReport::expected(d))),
                        format("%llu", s.duplicates), format("%llu", s.reordered),
                        format("%llu", s.strays), format("%.2f", s.jitter_ms),
                        format("%.2f", d.jitter_ms_worst), format("%.1f", s.max_gap_ms), format("%llu", s.ssrc_changes),
                        format("%llu", s.unanalysed), d.online ? "yes" : "no"});
    }
    const CReport::Totals& t = result.totals;
    rows.push_back({"total", format("%llu decoders", t.decoders), format("%llu", t.received),
                    format("%.2f", t.loss_percent), format("%llu", t.duplicates),
                    format("%llu", t.reordered), format("%llu", t.strays),
                    format("%.2f", t.jitter_ms_max), format("%.2f", t.jitter_ms_worst),
                    format("%.1f", max_gap),
                    format("%llu", t.ssrc_changes), format("%llu", t.unanalysed),
                    format("%llu/%llu", t.online, t.decoders)});
    const CReport::Local& l = run.local;
    rows.push_back({"local", "local stream", format("%llu", l.received),
                    format("%.2f", CReport::percent(l.lost, l.received + l.lost)), "-", "-", "-",
                    format("%.2f", l.jitter_ms), "-", "-", "-", "-", "-"});

    // Only a run in which relaysim dropped datagrams itself has the column: it is the rare case
    // that makes the loss figures the instrument's.
    if (t.dropped_here != 0) {
        rows[0].push_back("dropped here");
        for (size_t i = 0; i < run.decoders.size(); ++i)
            rows[i + 1].push_back(format("%llu", run.decoders[i].dropped_here));
        rows[rows.size() - 2].push_back(format("%llu", t.dropped_here));
        rows.back().push_back("-");
    }
    // Only when a copy of relaysim's own encoders came back through the reflector.
    if (t.delay.matched != 0) {
        rows[0].push_back("delay p99 ms");
        for (size_t i = 0; i < run.decoders.size(); ++i)
            rows[i + 1].push_back(delay_ms(run.decoders[i].delay, 0.99));
        rows[rows.size() - 2].push_back(delay_ms(t.delay, 0.99));
        rows.back().push_back("-");
    }
    std::string out = aligned(rows, 1);
    if (any_mixed)
        out += "* more than one source (ssrc changes) or datagrams that are not RTP: not one "
               "stream's figures\n";
    if (t.lost_silent != 0)
        out += format("lost %% counts %llu datagrams that streams which fell silent should have "
                      "delivered\n", t.lost_silent);
    if (run.startup_s)
        out += format("run: %.1f s, of which start-up %.1f s\n", run.duration_s, *run.startup_s);
    if (run.judged_from_s)
        out += format("judged from %.1f s: %.1f s\n", *run.judged_from_s,
                      run.duration_s - *run.judged_from_s);
    out += format("local stream: copies sent %llu, send errors %llu\n", l.copies_sent, l.send_errors);
    if (t.delay.matched != 0)
        out += format("delay through the reflector: %llu matched, p50 %.2f ms, p99 %.2f ms, max "
                      "%.2f ms (send times within %.3f ms)\n",
                      static_cast<unsigned long long>(t.delay.matched), t.delay.quantile_ms(0.5),
                      t.delay.quantile_ms(0.99), t.delay.max_ns / 1e6, run.delay_bound_ms);
    return out;
}

std::string console_table(const CReport::Result& result, size_t max_rows)
{
    const Run& run = result.run;
    const CReport::Totals& t = result.totals;
    // The columns an operator reads first; the delay and relaysim's own drops where there are any.
    const bool delays = t.delay.matched != 0, drops = t.dropped_here != 0;
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"index", "name", "received", "loss %", "jit ms", "gap s", "on"});
    if (delays)
        rows[0].push_back("p99 ms");
    if (drops)
        rows[0].push_back("drops");
    // More decoders than fit: the worst first, by loss, then jitter.
    std::vector<const Decoder*> shown;
    for (const Decoder& d : run.decoders)
        shown.push_back(&d);
    const bool cut = shown.size() > max_rows;
    if (cut) {
        const auto loss = [](const Decoder* d) { return CReport::percent(CReport::lost(*d), CReport::expected(*d)); };
        std::stable_sort(shown.begin(), shown.end(), [&](const Decoder* a, const Decoder* b) {
            return loss(a) != loss(b) ? loss(a) > loss(b) : a->stats.jitter_ms > b->stats.jitter_ms;
        });
        shown.resize(max_rows);
    }
    const auto add = [&](std::vector<std::string> row, const CDelayStats::Snapshot& delay,
                         const std::string& dropped) {
        if (delays)
            row.push_back(delay_ms(delay, 0.99));
        if (drops)
            row.push_back(dropped);
        rows.push_back(std::move(row));
    };
    for (const Decoder* d : shown) {
        const CRtpStats::Snapshot& st = d->stats;
        add({format("%d", d->index), d->name + (CReport::mixed(*d) ? "*" : ""), format("%llu", st.received),
             format("%.2f", CReport::percent(CReport::lost(*d), CReport::expected(*d))),
             format("%.2f", st.jitter_ms), format("%.2f", st.max_gap_ms / 1000), d->online ? "y" : "n"},
            d->delay, format("%llu", d->dropped_here));
    }
    add({"total", format("%llu decoders", t.decoders), format("%llu", t.received),
         format("%.2f", t.loss_percent), format("%.2f", t.jitter_ms_max), format("%.2f", t.max_gap_ms / 1000),
         format("%llu/%llu", t.online, t.decoders)},
        t.delay, format("%llu", t.dropped_here));
    std::string out = aligned(rows, 1);
    if (cut)
        out += format("(%zu more decoders; the worst are shown first; w: every decoder and column)\n",
                      run.decoders.size() - max_rows);
    return out;
}

std::string totals_table(const CReport::Result& result)
{
    const std::string wide = table(result);
    // The wide table's header, its total and local rows, and the lines after them.
    const size_t header_end = wide.find('\n') + 1;
    const size_t total = wide.find("\ntotal ") + 1;
    return wide.substr(0, header_end) + wide.substr(total);
}

std::string ramp(const CReport::Result& result)
{
    const Run& run = result.run;
    if (!run.ramp)
        return "";
    const CReport::Ramp& r = *run.ramp;
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"step", "decoders", "received", "lost", "loss %", "worst jitter ms",
                    "delay p99 ms", "dropped here", "cpu %", "verdict"});
    // The delay column only when a step measured one.
    const bool delays = std::any_of(r.steps.begin(), r.steps.end(),
                                    [](const CReport::Step& s) { return s.delay.matched != 0; });
    for (const CReport::Step& s : r.steps)
        rows.push_back({format("%d", s.number), format("%zu", s.decoders), format("%llu", s.received),
                        format("%llu", s.lost), format("%.2f", s.loss_percent),
                        format("%.2f", s.jitter_ms_max), delay_ms(s.delay, 0.99),
                        format("%llu", s.dropped_here),
                        format("%.0f", 100 * s.cpu_share),
                        s.verdict == CReport::Step::HELD    ? std::string("held")
                        : s.verdict == CReport::Step::BROKE ? "broke: " + s.why
                                                            : "relaysim's own limit: " + s.why});
    if (!delays)
        for (auto& row : rows)
            row.erase(row.begin() + 6);
    std::string out = aligned(rows, delays ? 9 : 8);
    if (!r.ended)
        return out + format("capacity so far: %zu decoders (ended during step %d, %zu decoders)\n",
                            r.capacity, r.step, r.decoders);
    const CReport::Step& last = r.steps.back();
    switch (last.verdict) {
    case CReport::Step::HELD:
        return out + format("capacity: %zu decoders or more (every step held, up to the maximum)\n",
                            r.capacity);
    case CReport::Step::BROKE:
        return out + format("capacity: %zu decoders (step %d, %zu decoders, broke: %s)\n",
                            r.capacity, last.number, last.decoders, last.why.c_str());
    default:
        return out + format("capacity: at least %zu decoders; the limit found is relaysim's own, "
                            "not the reflector's (step %d, %zu decoders: %s)\n",
                            r.capacity, last.number, last.decoders, last.why.c_str());
    }
}

std::string verdict(const CReport::Result& r)
{
    return format("verdict: %s (%s)\n", CReport::status_name(r.verdict.status), r.verdict.why.c_str());
}

std::string instrument(const CReport::Result& r)
{
    std::string out = format("relaysim: CPU %.1f%% of %u cores, dropped here %llu", r.run.cpu_percent,
                             r.run.cores, r.totals.dropped_here);
    if (r.run.stall_s >= 0.1)  // shorter is a loaded machine's scheduling
        out += format(", longest stall %.2f s at %.1f s", r.run.stall_s, r.run.stall_at_s);
    return out + "\n";
}

std::string json(const CReport::Result& result)
{
    const Run& run = result.run;
    std::string out = "{\n";
    out += "  \"duration_s\": " + json_number(run.duration_s) + ",\n";
    out += "  \"startup_s\": " +
           (run.startup_s ? json_number(*run.startup_s) : std::string("null")) + ",\n";
    out += format("  \"clock_rate\": %u,\n", run.clock_rate);
    out += "  \"decoders\": [";
    for (size_t i = 0; i < run.decoders.size(); ++i) {
        const Decoder& d = run.decoders[i];
        const CRtpStats::Snapshot& s = d.stats;
        out += i ? ",\n    " : "\n    ";
        out += format("{\"index\": %d, \"name\": ", d.index) + json_string(d.name) +
               ", \"mac\": " + json_string(mac_text(d.mac)) +
               format(", \"ssrc\": %u, \"received\": %llu, \"expected\": %llu, "
                      "\"distinct\": %llu, \"lost\": %llu, \"lost_silent\": %llu, "
                      "\"duplicates\": %llu, \"reordered\": %llu, \"strays\": %llu, "
                      "\"ssrc_changes\": %llu, \"unanalysed\": %llu, \"jitter_ms\": ",
                      s.ssrc, s.received, CReport::expected(d), s.distinct, CReport::lost(d),
                      d.lost_silent, s.duplicates, s.reordered, s.strays, s.ssrc_changes,
                      s.unanalysed) +
               json_number(s.jitter_ms) + ", \"jitter_ms_worst\": " +
               json_number(d.jitter_ms_worst) + ", \"max_gap_ms\": " + json_number(s.max_gap_ms) +
               ", \"online\": " + (d.online ? "true" : "false") +
               format(", \"dropped_here\": %llu, \"delay\": ", d.dropped_here) +
               json_delay(d.delay) + "}";
    }
    out += run.decoders.empty() ? "],\n" : "\n  ],\n";
    const CReport::Local& l = run.local;
    out += format("  \"local_stream\": {\"received\": %llu, \"lost\": %llu, \"jitter_ms\": ",
                  l.received, l.lost) +
           json_number(l.jitter_ms) +
           format(", \"copies_sent\": %llu, \"send_errors\": %llu},\n", l.copies_sent,
                  l.send_errors);
    const CReport::Totals& t = result.totals;
    out += format("  \"totals\": {\"decoders\": %llu, \"online\": %llu, \"received\": %llu, "
                  "\"expected\": %llu, \"distinct\": %llu, \"lost\": %llu, "
                  "\"lost_silent\": %llu, \"duplicates\": %llu, \"reordered\": %llu, "
                  "\"strays\": %llu, \"ssrc_changes\": %llu, \"unanalysed\": %llu, \"loss_percent\": ",
                  t.decoders, t.online, t.received, t.expected, t.distinct, t.lost, t.lost_silent,
                  t.duplicates, t.reordered, t.strays, t.ssrc_changes, t.unanalysed) +
           json_number(t.loss_percent) + ", \"jitter_ms_max\": " + json_number(t.jitter_ms_max) +
           ", \"jitter_ms_worst\": " + json_number(t.jitter_ms_worst) +
           ", \"max_gap_ms\": " + json_number(t.max_gap_ms) +
           format(", \"dropped_here\": %llu, \"network_lost\": %llu, \"network_loss_percent\": ",
                  t.dropped_here, t.network_lost) +
           json_number(t.network_loss_percent) + ", \"delay\": " + json_delay(t.delay) + "},\n";
    out += "  \"delay_bound_ms\": " + json_number(run.delay_bound_ms) + ",\n";
    out += "  \"relaysim_cpu_percent\": " + json_number(run.cpu_percent) +
           format(", \"cores\": %u,\n", run.cores);
    out += "  \"stall_s\": " + json_number(run.stall_s) + ", \"stall_at_s\": " +
           json_number(run.stall_at_s) + ",\n";
    const char* const endings[] = {"running", "duration", "ramp", "signal"};
    out += std::string("  \"ended\": \"") + endings[run.ending] + "\", \"signal\": " +
           (run.ending == Run::SIGNAL ? format("%d", run.signal) : std::string("null")) +
           ", \"requested_duration_s\": " +
           (run.requested_s ? json_number(*run.requested_s) : std::string("null")) +
           ", \"judged_from_s\": " +
           (run.judged_from_s ? json_number(*run.judged_from_s) : std::string("null")) +
           ", \"judged_s\": " +
           json_number(run.judged_from_s ? run.duration_s - *run.judged_from_s : 0) + ",\n";
    const CReport::Thresholds& th = run.thresholds;
    out += "  \"thresholds\": {\"max_loss_percent\": " +
           (th.max_loss_percent ? json_number(*th.max_loss_percent) : std::string("null")) +
           ", \"max_jitter_ms\": " +
           (th.max_jitter_ms ? json_number(*th.max_jitter_ms) : std::string("null")) +
           ", \"max_delay_ms\": " +
           (th.max_delay_ms ? json_number(*th.max_delay_ms) : std::string("null")) + "},\n";
    if (run.ramp)
        out += json_ramp(*run.ramp);
    out += std::string("  \"verdict\": \"") + CReport::status_name(result.verdict.status) +
           "\", \"why\": " + json_string(result.verdict.why) + "\n}\n";
    return out;
}

std::string prometheus(const CReport::Result& result)
{
    const Run& run = result.run;
    struct Metric {
        const char* name;
        const char* type;
        const char* help;
        std::string (*value)(const Decoder&);
    };
    // Counters only rise, so that rate() and increase() hold; the loss, which falls when a
    // late datagram fills a hole, is a gauge (expected_total - received_distinct_total).
    static const Metric per_decoder[] = {
        {"relaysim_decoder_received_total", "counter",
         "Datagrams received by the emulated decoder, duplicates and strays included.",
         [](const Decoder& d) { return format("%llu", d.stats.received); }},
        {"relaysim_decoder_expected_total", "counter",
         "Sequence numbers the emulated decoder expected, summed over the sequence runs.",
         [](const Decoder& d) { return format("%llu", d.stats.expected); }},
        {"relaysim_decoder_received_distinct_total", "counter",
         "Distinct expected sequence numbers the emulated decoder received.",
         [](const Decoder& d) { return format("%llu", d.stats.distinct); }},
        {"relaysim_decoder_lost", "gauge",
         "Datagrams expected but not received so far, those a silent stream should have "
         "delivered included; falls when a late one arrives.",
         [](const Decoder& d) { return format("%llu", CReport::lost(d)); }},
        {"relaysim_decoder_lost_silent", "gauge",
         "Datagrams the stream should have delivered since it fell silent; also in lost.",
         [](const Decoder& d) { return format("%llu", d.lost_silent); }},
        {"relaysim_decoder_duplicates_total", "counter",
         "Datagrams whose sequence number the emulated decoder had already received.",
         [](const Decoder& d) { return format("%llu", d.stats.duplicates); }},
        {"relaysim_decoder_reordered_total", "counter",
         "Datagrams older than the highest sequence number received before them.",
         [](const Decoder& d) { return format("%llu", d.stats.reordered); }},
        {"relaysim_decoder_strays_total", "counter",
         "Lone datagrams far out of line that the stream did not continue from.",
         [](const Decoder& d) { return format("%llu", d.stats.strays); }},
        {"relaysim_decoder_ssrc_changes_total", "counter",
         "Times the SSRC changed: above 0, the decoder received more than one source.",
         [](const Decoder& d) { return format("%llu", d.stats.ssrc_changes); }},
        {"relaysim_decoder_unanalysed_total", "counter",
         "Datagrams shorter than an RTP header or not RTP version 2.",
         [](const Decoder& d) { return format("%llu", d.stats.unanalysed); }},
        {"relaysim_decoder_jitter_seconds", "gauge",
         "Interarrival jitter estimate of the stream (RFC 3550).",
         [](const Decoder& d) { return prom_number(d.stats.jitter_ms / 1000.0); }},
        {"relaysim_decoder_jitter_worst_seconds", "gauge",
         "Highest interarrival jitter estimate sampled in the judged part of the run.",
         [](const Decoder& d) { return prom_number(d.jitter_ms_worst / 1000.0); }},
        {"relaysim_decoder_online", "gauge", "1 while the emulated decoder's stream is online.",
         [](const Decoder& d) { return std::string(d.online ? "1" : "0"); }},
        {"relaysim_decoder_dropped_here_total", "counter",
         "Datagrams the kernel dropped because relaysim read them too late; also counted as lost.",
         [](const Decoder& d) { return format("%llu", d.dropped_here); }},
    };
    const CReport::Totals& t = result.totals;
    const std::string instance = "relaysim=\"" + prom_label(run.instance) + "\"";
    std::string out;
    out += "# HELP relaysim_decoders_online Emulated decoders whose stream is online.\n";
    out += "# TYPE relaysim_decoders_online gauge\n";
    out += format("relaysim_decoders_online{%s} %llu\n", instance.c_str(), t.online);
    for (const Metric& m : per_decoder) {
        out += format("# HELP %s %s\n# TYPE %s %s\n", m.name, m.help, m.name, m.type);
        for (const Decoder& d : run.decoders)
            out += format("%s{%s,index=\"%d\",mac=\"", m.name, instance.c_str(), d.index) +
                   mac_text(d.mac) + "\"} " + m.value(d) + "\n";
    }
    const CReport::Local& l = run.local;
    const struct {
        const char* name;
        const char* help;
        unsigned long long value;
    } local[] = {
        {"relaysim_local_received_total", "Datagrams of the local stream received.", l.received},
        {"relaysim_local_copies_sent_total", "Copies of the local stream sent to the reflector.",
         l.copies_sent},
        {"relaysim_local_send_errors_total", "Copies of the local stream that failed to send.",
         l.send_errors},
    };
    for (const auto& m : local)
        out += format("# HELP %s %s\n# TYPE %s counter\n%s{%s} %llu\n", m.name, m.help, m.name,
                      m.name, instance.c_str(), m.value);
    out += prom_delay(run, t, instance);
    // A finished instance's file stays in the collector's folder: a dashboard tells it apart.
    const bool ended = run.ending != Run::RUNNING;
    out += "# HELP relaysim_run_ended 1 once the run has ended (its file then no longer changes).\n"
           "# TYPE relaysim_run_ended gauge\nrelaysim_run_ended{" + instance + "} " +
           (ended ? "1" : "0") + "\n";
    if (ended)
        out += "# HELP relaysim_run_ended_timestamp_seconds When the run ended, in seconds since the "
               "epoch.\n# TYPE relaysim_run_ended_timestamp_seconds gauge\n"
               "relaysim_run_ended_timestamp_seconds{" + instance + "} " +
               prom_number(run.ended_at_unix_s) + "\n";
    out += "# HELP relaysim_cpu_ratio relaysim's CPU time over the run per second and core of the "
           "machine.\n# TYPE relaysim_cpu_ratio gauge\nrelaysim_cpu_ratio{" + instance + "} " +
           prom_number(run.cpu_percent / 100.0) + "\n";
    out += "# HELP relaysim_stall_seconds relaysim's longest stall: its measuring loop this late.\n"
           "# TYPE relaysim_stall_seconds gauge\nrelaysim_stall_seconds{" + instance + "} " +
           prom_number(run.stall_s) + "\n";
    out += "# HELP relaysim_stall_at_seconds When relaysim's longest stall began, on the run's clock.\n"
           "# TYPE relaysim_stall_at_seconds gauge\nrelaysim_stall_at_seconds{" + instance + "} " +
           prom_number(run.stall_at_s) + "\n";
    if (!run.ramp)
        return out;
    const struct {
        const char* name;
        const char* help;
        size_t value;
    } ramp[] = {
        {"relaysim_ramp_step", "The ramp's step under way, from 1 (its last once ended).",
         static_cast<size_t>(run.ramp->step)},
        {"relaysim_ramp_step_decoders", "Decoders of the ramp's step under way.", run.ramp->decoders},
        {"relaysim_ramp_capacity_decoders", "Decoders of the largest ramp step that held so far.",
         run.ramp->capacity},
    };
    for (const auto& m : ramp)
        out += format("# HELP %s %s\n# TYPE %s gauge\n%s{%s} %zu\n", m.name, m.help, m.name, m.name,
                      instance.c_str(), m.value);
    return out;
}

std::string prom_instance(const std::string& path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string ending = ".prom";
    if (name.size() > ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
        name.resize(name.size() - ending.size());
    return name;
}

const char* csv_header()
{
    return "time_s,decoders_online,received,lost,duplicates,reordered,jitter_ms_max,"
           "local_received,copies_sent,send_errors,recovered,strays,ssrc_changes,unanalysed,"
           "startup,dropped_here,step,delay_matched,delay_p50_ms,delay_p99_ms,jitter_ms_worst,"
           "stall_s,stall_at_s,cpu_percent\n";
}

namespace {
// The delay of one interval: empty figures when no copy of relaysim's encoders came back.
std::string csv_delay(const CDelayStats::Snapshot& d)
{
    if (d.matched == 0)
        return ",0,,";
    return format(",%llu,", static_cast<unsigned long long>(d.matched)) + number(d.quantile_ms(0.5)) +
           "," + number(d.quantile_ms(0.99));
}
}  // namespace

std::string csv_row(const CReport::Result& result, const CReport::Result& previous)
{
    const Run& run = result.run;
    const Run& before = previous.run;
    const CReport::Totals& t = result.totals;
    const CReport::Totals& b = previous.totals;
    const CReport::Local& l = run.local;
    const CReport::Local& lb = before.local;
    const unsigned long long lost = t.lost > b.lost ? t.lost - b.lost : 0;
    const unsigned long long recovered = t.lost < b.lost ? b.lost - t.lost : 0;
    const bool startup = !run.startup_s || before.duration_s < *run.startup_s;
    return number(run.duration_s) +
           format(",%llu,%llu,%llu,%llu,%llu,", t.online, t.received - b.received, lost,
                  t.duplicates - b.duplicates, t.reordered - b.reordered) +
           number(t.jitter_ms_max) +
           format(",%llu,%llu,%llu,%llu,%llu,%llu,%llu,%d,%llu,%d", l.received - lb.received,
                  l.copies_sent - lb.copies_sent, l.send_errors - lb.send_errors, recovered,
                  t.strays - b.strays, t.ssrc_changes - b.ssrc_changes,
                  t.unanalysed - b.unanalysed, startup ? 1 : 0, t.dropped_here - b.dropped_here,
                  run.ramp ? run.ramp->step : 0) +  // the ramp's step under way, 0 without one
           csv_delay(t.delay.since(b.delay)) + "," + number(t.jitter_ms_worst) + "," +
           number(run.stall_s) + "," + number(run.stall_at_s) + "," + number(run.cpu_percent) + "\n";
}

}  // namespace report_formats
