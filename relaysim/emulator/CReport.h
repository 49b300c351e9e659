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
        // relaysim's own CPU time over the run, as a percentage of all the machine's cores.
        double cpu_percent = 0;
        unsigned int cores = 0;
        // The longest a datagram's copies took to leave: the bound of a delay's error.
        double delay_bound_ms = 0;
    };
    struct Totals {
        unsigned long long decoders = 0, online = 0, received = 0, expected = 0, distinct = 0,
                           lost = 0, duplicates = 0, reordered = 0, strays = 0, ssrc_changes = 0,
                           unanalysed = 0;
        double loss_percent = 0;
        double jitter_ms_max = 0;
        unsigned long long dropped_here = 0;
        // lost minus dropped_here: what the network and the reflector lost.
        unsigned long long network_lost = 0;
        double network_loss_percent = 0;
        CDelayStats::Snapshot delay;  // every decoder's together
    };

    static Totals totals(const Run& run);
    // part in percent of whole; 0 for nothing.
    static double percent(unsigned long long part, unsigned long long whole);
    // A missing threshold holds; a loss threshold fails when nothing could be measured.
    static bool passed(const Run& run);
    // relaysim dropped datagrams itself: the run measured relaysim, not the reflector.
    static bool inconclusive(const Run& run);
    // The exit status of a run whose outputs were all written: 0 pass, 3 fail, 4 inconclusive.
    static int status(const Run& run);
    // Decoders that received nothing in the run: their missing streams count in no loss figure.
    static size_t silent_decoders(const Run& run);
    // Decoders that received and then fell offline before the snapshot: their stream stopped.
    static size_t stopped_decoders(const Run& run);
    // A decoder that received more than one source, or datagrams it could not analyse: its
    // figures are not those of one stream (as when a port still gets a former run's stream).
    static bool mixed(const Decoder& d);
};
