// The outputs of a measured run: summary table, JSON report, CSV rows, Prometheus text, verdict.
#pragma once

#include "CRtpStats.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// Formatting is pure (plain structs in, text out); the file writers return false on failure
// with errno kept from the failing call. One object per run keeps the CSV file and the
// totals of its previous row, so that each row holds the counts of its own interval.
class CReport {
public:
    struct Decoder {
        int index = 0;
        std::string name;
        unsigned long mac = 0;  // 48-bit device address, first octet most significant
        bool online = false;
        CRtpStats::Snapshot stats;  // its ssrc is the one reported
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
        double duration_s = 0;
        unsigned int clock_rate = CRtpStats::DEFAULT_CLOCK_RATE;
        std::vector<Decoder> decoders;
        Local local;
        Thresholds thresholds;
        std::optional<Ramp> ramp;
        // The label "relaysim" of every Prometheus sample: tells instances apart when several
        // write into one node_exporter's folder.
        std::string instance;
    };
    struct Totals {
        unsigned long long decoders = 0, online = 0, received = 0, expected = 0, lost = 0,
                           duplicates = 0, reordered = 0;
        double loss_percent = 0;
        double jitter_ms_max = 0;
    };

    static Totals totals(const Run& run);
    // A missing threshold holds; a loss threshold fails when nothing could be measured.
    static bool passed(const Run& run);
    static std::string table(const Run& run);
    // "verdict: pass (...)" or "verdict: fail (...)", the measured values against each limit.
    static std::string verdict(const Run& run);
    static std::string json(const Run& run);
    static std::string prometheus(const Run& run);
    // The instance name of a Prometheus file: its name without folder and ".prom".
    static std::string prom_instance(const std::string& path);
    // "0a:1b:2c:3d:4e:5f"
    static std::string mac_text(unsigned long mac);

    // Replaces path through a temporary file in its folder, so readers never see half of it.
    static bool write_atomically(const std::string& path, const std::string& text);
    // Whether a file can be created in path's folder, to refuse a bad path before a run.
    static bool can_write(const std::string& path);

    CReport() = default;
    ~CReport();
    CReport(const CReport&) = delete;
    CReport& operator=(const CReport&) = delete;

    static const char* csv_header();
    // The row for the interval that ends at time_s; remembers the run's totals for the next.
    std::string csv_row(double time_s, const Run& run);
    // Creates (truncates) the file and writes the header.
    bool open_csv(const std::string& path);
    bool write_csv_row(double time_s, const Run& run);

private:
    struct Counts {
        unsigned long long received = 0, lost = 0, duplicates = 0, reordered = 0,
                           local_received = 0, copies_sent = 0, send_errors = 0;
    };
    Counts m_previous;
    FILE* m_csv = nullptr;
};
