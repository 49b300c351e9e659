// Receiver statistics of one RTP stream: loss, duplicates, reordering, jitter and gaps.
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Written by one thread (the receiver, through on_datagram and set_offline), read at any
// time by others through snapshot(); no lock and no allocation per datagram.
class CRtpStats {
public:
    // A datagram more than MAX_MISORDER out of line is believed only when the next one
    // continues from it (the next two, back on numbers already received; late ones of the
    // run between do not count); a jump of MAX_DROPOUT or more that is believed starts a new run.
    enum { DEFAULT_CLOCK_RATE = 8000, WINDOW = 2048, MAX_DROPOUT = 3000, MAX_MISORDER = 100 };

    struct Snapshot {
        unsigned long long received = 0;    // every datagram, duplicates and non-RTP included
        unsigned long long unanalysed = 0;  // shorter than 12 bytes or not version 2
        unsigned long long expected = 0;    // summed over the sequence runs; only rises
        unsigned long long distinct = 0;    // distinct sequence numbers received; only rises
        unsigned long long lost = 0;        // expected minus distinct: falls when a late one fills a hole
        unsigned long long duplicates = 0;
        unsigned long long reordered = 0;
        unsigned long long strays = 0;      // out of line, not followed: counted in none of the above
        unsigned long long ssrc_changes = 0;
        unsigned int ssrc = 0;  // of the last analysed datagram
        double jitter_ms = 0;
        double max_gap_ms = 0;  // longest silence between two datagrams, online or not
        // For what a silent stream should have delivered: when its newest sequence number
        // arrived (realtime clock, 0 before any) and its spacing (0 while unknown).
        long long last_arrival_ns = 0;
        double period_ns = 0;
    };

    explicit CRtpStats(unsigned int clock_rate = DEFAULT_CLOCK_RATE);
    CRtpStats(const CRtpStats&) = delete;
    CRtpStats& operator=(const CRtpStats&) = delete;

    // RTP timestamp units per second; a rate of 0 is ignored.
    void set_clock_rate(unsigned int hz);
    // arrival: the kernel's receive time of the datagram.
    void on_datagram(const unsigned char* data, size_t len, const timespec& arrival);
    // The stream went offline: the silence until its next datagram is no jitter (it still
    // counts as a gap). Called by the writer thread.
    void set_offline();

    Snapshot snapshot() const;

private:
    // Sequence analysis of one RTP datagram.
    void analyse(uint32_t seq, uint32_t ssrc, int64_t arrival_ns, uint32_t timestamp);
    // The datagram after those held out of line decides about them: true when it was held too.
    bool decide_held(uint32_t seq, uint32_t ssrc, int64_t arrival_ns, uint32_t timestamp);
    void hold(uint32_t seq, bool seen, int64_t arrival_ns, uint32_t timestamp);
    void start_run(uint32_t seq);
    void advance_to(int64_t ext);
    bool test_and_mark(int64_t ext);
    bool marked(int64_t ext) const;
    // Publishes the run's expected count, then the distinct count, so that a reader that
    // loads them the other way round never sees more distinct than expected.
    void publish(unsigned long long distinct_added);
    void add_jitter(int64_t arrival_ns, uint32_t timestamp);
    void note_start(int64_t arrival_ns, uint32_t timestamp);
    // The run's newest sequence number arrived: its spacing is known from the run's span.
    void note_head(int64_t arrival_ns, uint32_t timestamp);
    static void bump(std::atomic<unsigned long long>& counter, unsigned long long by = 1);

    // Published counters: stored by the writer only, so plain load + store suffice.
    std::atomic<unsigned long long> m_received{0};
    std::atomic<unsigned long long> m_unanalysed{0};
    std::atomic<unsigned long long> m_expected{0};
    std::atomic<unsigned long long> m_distinct{0};
    std::atomic<unsigned long long> m_duplicates{0};
    std::atomic<unsigned long long> m_reordered{0};
    std::atomic<unsigned long long> m_strays{0};
    std::atomic<unsigned long long> m_ssrc_changes{0};
    std::atomic<unsigned int> m_ssrc{0};
    std::atomic<double> m_jitter_ms{0};
    std::atomic<long long> m_max_gap_ns{0};
    std::atomic<long long> m_newest_arrival_ns{0};
    std::atomic<double> m_period_ns{0};
    std::atomic<unsigned int> m_clock_rate;

    // The writer's own state.
    bool m_have_run = false;
    int64_t m_base_ext = 0;          // extended number of the run's first sequence number
    int64_t m_max_ext = 0;           // highest extended sequence number of the run
    int64_t m_first_ext = 0;         // the run's first arrival: its number, time and timestamp
    int64_t m_first_arrival_ns = 0;
    uint32_t m_first_timestamp = 0;
    unsigned long long m_run_expected_before = 0;  // expected of the runs before this one
    // Datagrams held out of line: one far ahead of the run, or far behind it (older than the
    // run, or on numbers already received, as after the sender restarted). Numbers received
    // before are taken for a restart only after two in line: a repeated pair is duplicates.
    enum { HELD_MAX = 2 };
    unsigned int m_held_count = 0;
    bool m_held_seen = false;        // the first is behind, on a number already received
    uint32_t m_held_seq[HELD_MAX] = {};
    int64_t m_held_arrival_ns[HELD_MAX] = {};
    uint32_t m_held_timestamp[HELD_MAX] = {};
    bool m_have_arrival = false;
    int64_t m_last_arrival_ns = 0;
    bool m_have_transit = false;
    int64_t m_last_transit_arrival_ns = 0;
    uint32_t m_last_timestamp = 0;
    double m_jitter = 0;  // in timestamp units
    uint64_t m_seen[WINDOW / 64] = {};  // received bits of the last WINDOW sequence numbers
};
