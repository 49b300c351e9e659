// The measurements of a run at one instant, their totals and the verdict against the thresholds.
#pragma once

#include "CDelayStats.h"
#include "CRtpStats.h"

#include <optional>
#include <string>
#include <vector>

// Plain structs: one snapshot is taken per pass and every output is written from it
// (report_formats), so that the outputs of one instant agree.
class CReport {
public:
    struct Decoder {
        int index = 0;
        std::string name;
        unsigned long mac = 0;  // 48-bit device address, first octet most significant
        bool online = false;
        CRtpStats::Snapshot stats;  // its ssrc is the one reported
        // Datagrams the kernel dropped on this decoder's socket because relaysim read too
        // late: lost to the instrument, not the network (they show as lost as well).
        unsigned long long dropped_here = 0;
        // What the stream should have delivered after it fell silent, up to the snapshot
        // (silent_tail); not in stats, whose counters only rise.
        unsigned long long lost_silent = 0;
        // The highest jitter estimate sampled in the judged part; stats.jitter_ms is the last.
        double jitter_ms_worst = 0;
        // Delay through the reflector of the copies of relaysim's own encoders it heard.
        CDelayStats::Snapshot delay;
    };
    struct Local {
        unsigned long long received = 0;
        unsigned long long lost = 0;
        double jitter_ms = 0;
        unsigned long long copies_sent = 0;
        unsigned long long send_errors = 0;
    };
    struct Thresholds {
        std::optional<double> max_loss_percent;
        std::optional<double> max_jitter_ms;
        std::optional<double> max_delay_ms;  // judged on the p99 delay
    };
    // One step of a ramp (--ramp), judged on its steady part alone.
    struct Step {
        int number = 0;  // from 1
        size_t decoders = 0;
        double from_s = 0, to_s = 0;  // its steady part on the run's clock
        unsigned long long received = 0, expected = 0, lost = 0, dropped_here = 0;
        double loss_percent = 0;  // of the network loss: lost minus dropped here
        double jitter_ms_max = 0;
        double cpu_share = 0;  // relaysim's own, of all the machine's cores
        size_t silent = 0;     // decoders that received nothing
        CDelayStats::Snapshot delay;  // of the steady part
        enum Verdict { HELD, BROKE, OWN_LIMIT } verdict = HELD;
        std::string why;  // what broke, or what showed relaysim's own limit
    };
    struct Ramp {
        std::vector<Step> steps;  // judged so far
        int step = 0;             // the step under way (or the last one, at the end)
        size_t decoders = 0;      // what the step under way holds
        size_t capacity = 0;      // decoders of the largest step that held
        bool ended = false;
    };
    struct Run {
        double duration_s = 0;  // on the run's clock, which starts before the first decoder
        std::optional<double> startup_s;  // when start-up ended; empty while it lasts
        unsigned int clock_rate = CRtpStats::DEFAULT_CLOCK_RATE;
        std::vector<Decoder> decoders;
        Local local;
        Thresholds thresholds;
        std::optional<Ramp> ramp;
        // The label "relaysim" of every Prometheus sample: tells instances apart when several
        // write into one node_exporter's folder.
        std::string instance;
        // relaysim's own CPU time over the judged part (the run so far before it starts), as a
        // percentage of the cores it may run on.
        double cpu_percent = 0;
        unsigned int cores = 0;
        // The judged part begins once every decoder's first request has gone out.
        std::optional<double> judged_from_s;
        std::optional<double> requested_s;  // --duration
        // relaysim's own longest stall: a pass of its measuring loop this much later than due.
        double stall_s = 0, stall_at_s = 0;
        enum Ending { RUNNING, DURATION, RAMP, SIGNAL } ending = RUNNING;
        int signal = 0;  // that ended the run
        double ended_at_unix_s = 0;  // wall-clock time of the end, once the run has ended
        // The longest a datagram's copies took to leave: the bound of a delay's error.
        double delay_bound_ms = 0;
    };
    struct Totals {
        unsigned long long decoders = 0, online = 0, received = 0, expected = 0, distinct = 0,
                           lost = 0, duplicates = 0, reordered = 0, strays = 0, ssrc_changes = 0,
                           unanalysed = 0;
        unsigned long long lost_silent = 0;  // in expected and lost too
        double loss_percent = 0;
        double jitter_ms_max = 0;    // of the last estimates
        double jitter_ms_worst = 0;  // of the judged part, what --max-jitter judges
        double max_gap_ms = 0;       // the longest silence of any decoder
        unsigned long long dropped_here = 0;
        // lost minus dropped_here: what the network and the reflector lost.
        unsigned long long network_lost = 0;
        double network_loss_percent = 0;
        // Decoders that received nothing (their missing streams count in no loss figure), and
        // those that received and fell offline before the snapshot.
        unsigned long long silent = 0, stopped = 0;
        CDelayStats::Snapshot delay;  // every decoder's together
    };

    struct Verdict {
        enum Status { PASS, FAIL, INCONCLUSIVE } status = PASS;
        // 0, 3, 4; 128 + the signal's number for a run a signal ended.
        int exit_status = 0;
        std::string why;  // the measured values against the limits, or what made it so
    };
    // A snapshot with its totals and verdict, each computed once: every output is written
    // from one of these, so that none recomputes a figure or a status.
    struct Result {
        Run run;
        Totals totals;
        Verdict verdict;
    };

    // relaysim stalled longer than this, or used this share of its cores: it measured itself.
    static constexpr double STALL_LIMIT_S = 1;
    static constexpr double CPU_SATURATED = 0.9;

    static Result result(Run run);
    static Totals totals(const Run& run);
    // The one decision of a run's status, the ramp's end included.
    static Verdict judge(const Run& run, const Totals& totals);
    static const char* status_name(Verdict::Status status);
    // part in percent of whole; 0 for nothing.
    static double percent(unsigned long long part, unsigned long long whole);
    // Datagrams a stream silent since its last one should have delivered by until_ns (realtime):
    // none within grace_s plus one spacing of its last, so that a stream flowing to the end
    // counts nothing; after that, every spacing of the silence.
    static unsigned long long silent_tail(const CRtpStats::Snapshot& s, long long until_ns,
                                          double grace_s);
    // Of one decoder, the silent tail included.
    static unsigned long long expected(const Decoder& d) { return d.stats.expected + d.lost_silent; }
    static unsigned long long lost(const Decoder& d) { return d.stats.lost + d.lost_silent; }
    // A decoder that received more than one source, or datagrams it could not analyse: its
    // figures are not those of one stream (as when a port still gets a former run's stream).
    static bool mixed(const Decoder& d);
};
