// Tests of CRtpStats: counts for known sequence patterns, jitter within a band, gaps.
#include "CRtpStats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <atomic>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint32_t SSRC_A = 0x52000001;
const uint32_t SSRC_B = 0x52000002;

enum Kind { RTP, SHORT, VERSION1 };

struct Datagram {
    uint16_t seq;
    uint32_t ssrc = SSRC_A;
    Kind kind = RTP;
    long long after_ms = 20;  // since the one before
    bool offline = false;     // the decoder declared the stream offline before it came
};

// By default one datagram every 20 ms, its timestamp 160 units (20 ms at 8000 Hz) a
// sequence step.
void feed(CRtpStats& stats, const std::vector<Datagram>& datagrams)
{
    long long ms = 1000 - datagrams.front().after_ms;
    for (const Datagram& d : datagrams) {
        ms += d.after_ms;
        if (d.offline)
            stats.set_offline();
        const uint32_t ts = 1000u + 160u * d.seq;
        unsigned char p[172] = {0x80, 0x00,
                                static_cast<unsigned char>(d.seq >> 8), static_cast<unsigned char>(d.seq),
                                static_cast<unsigned char>(ts >> 24), static_cast<unsigned char>(ts >> 16),
                                static_cast<unsigned char>(ts >> 8), static_cast<unsigned char>(ts),
                                static_cast<unsigned char>(d.ssrc >> 24), static_cast<unsigned char>(d.ssrc >> 16),
                                static_cast<unsigned char>(d.ssrc >> 8), static_cast<unsigned char>(d.ssrc)};
        if (d.kind == VERSION1)
            p[0] = 0x40;
        const timespec at = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        stats.on_datagram(p, d.kind == SHORT ? 11 : sizeof(p), at);
    }
}

std::vector<Datagram> seqs(std::initializer_list<unsigned> list)
{
    std::vector<Datagram> out;
    for (unsigned s : list)
        out.push_back({static_cast<uint16_t>(s)});
    return out;
}

// first..last in order, then the datagrams of each further list.
std::vector<Datagram> run(unsigned first, unsigned last,
                          std::initializer_list<std::vector<Datagram>> then = {})
{
    std::vector<Datagram> out;
    for (unsigned s = first; s <= last; ++s)
        out.push_back({static_cast<uint16_t>(s)});
    for (const auto& more : then)
        out.insert(out.end(), more.begin(), more.end());
    return out;
}

TEST(CRtpStatsTest, CountsKnownPatterns)
{
    struct Case {
        std::string name;
        std::vector<Datagram> datagrams;
        unsigned long long received, unanalysed, expected, lost, duplicates, reordered, ssrc_changes;
        unsigned long long strays = 0;
        double max_gap_ms = -1;  // not checked
    };
    const std::vector<Case> cases = {
        {"in order", seqs({100, 101, 102, 103, 104}), 5, 0, 5, 0, 0, 0, 0},
        {"drops", seqs({0, 1, 2, 4, 5, 6, 8, 9}), 8, 0, 10, 2, 0, 0, 0},
        {"duplicates", seqs({1, 2, 2, 3, 3, 3}), 6, 0, 3, 0, 3, 0, 0},
        {"duplicates do not offset a loss", seqs({1, 2, 4, 4, 4}), 5, 0, 4, 1, 2, 0, 0},
        {"swaps", seqs({1, 3, 2, 4, 6, 5}), 6, 0, 6, 0, 0, 2, 0},
        {"late and lost", seqs({1, 2, 5, 3, 6}), 5, 0, 6, 1, 0, 1, 0},
        {"late before the first", seqs({5, 4, 6}), 3, 0, 3, 0, 0, 1, 0},
        {"wrap", seqs({65533, 65534, 65535, 0, 1, 2}), 6, 0, 6, 0, 0, 0, 0},
        {"wrap with a drop", seqs({65534, 0, 1}), 3, 0, 4, 1, 0, 0, 0},
        {"swap across the wrap", seqs({65534, 0, 65535, 1}), 4, 0, 4, 0, 0, 1, 0},
        {"duplicate across the wrap", seqs({65535, 0, 65535}), 3, 0, 2, 0, 1, 0, 0},
        {"new SSRC starts a new run",
         {{10}, {11}, {12}, {500, SSRC_B}, {502, SSRC_B}}, 5, 0, 6, 1, 0, 0, 1},
        {"back to the first SSRC",
         {{10}, {11}, {500, SSRC_B}, {12}}, 4, 0, 4, 0, 0, 0, 2},
        {"short and version 1 are only received",
         {{1}, {2, SSRC_A, SHORT}, {3, SSRC_A, VERSION1}, {4}}, 4, 2, 4, 2, 0, 0, 0},
        {"nothing but short", {{1, SSRC_A, SHORT}}, 1, 1, 0, 0, 0, 0, 0},
        {"lone jump ignored", seqs({1, 2, 3, 40000, 4}), 5, 0, 4, 0, 0, 0, 0, 1},
        {"confirmed jump renumbers", seqs({1, 2, 3, 40000, 40001, 40003}), 6, 0, 7, 1, 0, 0, 0},
        {"long forward gap", seqs({1, 2999, 3000}), 3, 0, 3000, 2997, 0, 0, 0},
        {"a lone datagram 1500 ahead is a stray", run(1, 100, {seqs({1600}), run(101, 200)}),
         201, 0, 200, 0, 0, 0, 0, 1},
        {"a lone datagram 2500 ahead is a stray", run(1, 100, {seqs({2600}), run(101, 200)}),
         201, 0, 200, 0, 0, 0, 0, 1},
        {"a lone datagram older than the first is a stray",
         run(2000, 2099, {seqs({400}), run(2100, 2199)}), 201, 0, 200, 0, 0, 0, 0, 1},
        {"a jump the stream continues from is believed", run(1, 100, {run(301, 400)}),
         200, 0, 400, 200, 0, 0, 0},
        {"a late datagram far behind fills its hole", run(1, 149, {run(151, 400), seqs({150})}),
         400, 0, 400, 0, 0, 1, 0},
        {"a restart 300 back starts a new run with its own loss",
         run(1000, 1299, {run(1000, 1049), run(1051, 1099)}), 399, 0, 400, 1, 0, 0, 0},
        {"a pair repeated far behind is duplicates, not a restart",
         run(1, 400, {seqs({250, 251}), run(401, 500)}), 502, 0, 500, 0, 2, 0, 0},
        {"a pair repeated far behind, then a new SSRC",
         run(1, 400, {seqs({250, 251}), {{7, SSRC_B}}}), 403, 0, 401, 0, 2, 0, 1},
        {"a jump continued after a late one is believed",
         run(1, 100, {seqs({250, 99}), run(251, 300)}), 152, 0, 300, 149, 1, 0, 0},
        {"a silence online is a gap", {{1}, {2, SSRC_A, RTP, 5020}, {3}}, 3, 0, 3, 0, 0, 0, 0, 0, 5020},
        {"a silence that went offline is a gap too",
         {{1}, {2, SSRC_A, RTP, 6020, true}, {3}}, 3, 0, 3, 0, 0, 0, 0, 0, 6020},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRtpStats stats;
        feed(stats, c.datagrams);
        const CRtpStats::Snapshot s = stats.snapshot();
        EXPECT_EQ(s.received, c.received);
        EXPECT_EQ(s.unanalysed, c.unanalysed);
        EXPECT_EQ(s.expected, c.expected);
        EXPECT_EQ(s.lost, c.lost);
        EXPECT_EQ(s.duplicates, c.duplicates);
        EXPECT_EQ(s.reordered, c.reordered);
        EXPECT_EQ(s.ssrc_changes, c.ssrc_changes);
        EXPECT_EQ(s.strays, c.strays);
        if (c.max_gap_ms >= 0) {
            EXPECT_DOUBLE_EQ(s.max_gap_ms, c.max_gap_ms);
        }
    }
}

TEST(CRtpStatsTest, DuplicatesAreFoundAtLeast1024Behind)
{
    CRtpStats stats;
    std::vector<Datagram> d;
    // Long enough that the window is reused several times over.
    for (unsigned s = 0; s <= 5000; ++s)
        d.push_back({static_cast<uint16_t>(s == 4998 ? 4999 : s == 4999 ? 4998 : s)});
    d.push_back({3905});  // 1095 behind
    d.push_back({5000});  // the highest again
    feed(stats, d);
    const CRtpStats::Snapshot s = stats.snapshot();
    EXPECT_EQ(s.duplicates, 2u);
    EXPECT_EQ(s.expected, 5001u);
    EXPECT_EQ(s.lost, 0u);
    EXPECT_EQ(s.reordered, 1u);
}

TEST(CRtpStatsTest, ReportsTheLastSsrc)
{
    CRtpStats stats;
    feed(stats, {{1}, {2, SSRC_B}});
    EXPECT_EQ(stats.snapshot().ssrc, SSRC_B);
}

// Arrival times in ms and timestamps in units are given; the estimate is checked in a band.
struct Timed {
    double at_ms;
    uint32_t ts;
    uint32_t ssrc = 0x01020304;
};

double jitter_of(const std::vector<Timed>& arrivals, unsigned int rate)
{
    CRtpStats stats;
    stats.set_clock_rate(rate);
    uint16_t seq = 7;
    for (const Timed& a : arrivals) {
        unsigned char p[12] = {0x80, 0, static_cast<unsigned char>(seq >> 8), static_cast<unsigned char>(seq),
                               static_cast<unsigned char>(a.ts >> 24), static_cast<unsigned char>(a.ts >> 16),
                               static_cast<unsigned char>(a.ts >> 8), static_cast<unsigned char>(a.ts),
                               static_cast<unsigned char>(a.ssrc >> 24), static_cast<unsigned char>(a.ssrc >> 16),
                               static_cast<unsigned char>(a.ssrc >> 8), static_cast<unsigned char>(a.ssrc)};
        const long long ns = static_cast<long long>(a.at_ms * 1e6) + 5000000000LL;
        const timespec at = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
        stats.on_datagram(p, sizeof(p), at);
        ++seq;
    }
    return stats.snapshot().jitter_ms;
}

// n datagrams, timestamps `step` apart from `ts0`; arrivals alternately `early` and `late` ms apart.
std::vector<Timed> paced(int n, uint32_t ts0, uint32_t step, double early, double late)
{
    std::vector<Timed> out;
    double t = 0;
    for (int i = 0; i < n; ++i) {
        out.push_back({t, ts0 + step * static_cast<uint32_t>(i)});
        t += (i % 2) ? late : early;
    }
    return out;
}

TEST(CRtpStatsTest, JitterFollowsUnevenPacing)
{
    struct Case {
        std::string name;
        std::vector<Timed> arrivals;
        unsigned int rate;
        double low, high;  // ms
    };
    const std::vector<Case> cases = {
        {"even pacing", paced(200, 1000, 160, 20, 20), 8000, 0.0, 0.001},
        {"10 ms off every datagram", paced(200, 1000, 160, 10, 30), 8000, 9.9, 10.01},
        {"2 ms off every datagram", paced(200, 1000, 160, 18, 22), 8000, 1.98, 2.01},
        {"even pacing across the timestamp wrap", paced(200, 0xFFFFF000u, 160, 20, 20), 8000, 0.0, 0.001},
        {"new SSRC with another timestamp base", [] {
             std::vector<Timed> v = paced(100, 1000, 160, 20, 20);
             for (Timed t : paced(100, 500000000, 160, 20, 20))
                 v.push_back({t.at_ms + 2000, t.ts, 0x0A0B0C0D});
             return v;
         }(), 8000, 0.0, 0.001},
        {"16 kHz clock", paced(200, 1000, 320, 10, 30), 16000, 9.9, 10.01},
        {"one late datagram decays", [] {
             std::vector<Timed> v = paced(100, 1000, 160, 20, 20);
             for (size_t i = 50; i < v.size(); ++i)
                 v[i].at_ms += (i == 50) ? 40 : 0;
             return v;
         }(), 8000, 0.1, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double j = jitter_of(c.arrivals, c.rate);
        EXPECT_GE(j, c.low);
        EXPECT_LE(j, c.high);
    }
}

// One writer, one reader, no lock: the reader never sees counts go backwards or loss
// above what was expected.
TEST(CRtpStatsTest, SnapshotsWhileTheWriterRuns)
{
    CRtpStats stats;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        unsigned char p[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
        for (unsigned i = 0; i < 200000; ++i) {
            if (i % 10 == 9)
                continue;
            p[2] = static_cast<unsigned char>(i >> 8);
            p[3] = static_cast<unsigned char>(i);
            const timespec at = {static_cast<time_t>(10 + i / 1000), static_cast<long>(i % 1000) * 1000000L};
            stats.on_datagram(p, sizeof(p), at);
        }
        done = true;
    });
    unsigned long long last_received = 0;
    while (!done) {
        const CRtpStats::Snapshot s = stats.snapshot();
        EXPECT_GE(s.received, last_received);
        EXPECT_LE(s.lost, s.expected);
        EXPECT_LE(s.received, 200000u);
        last_received = s.received;
    }
    writer.join();
    const CRtpStats::Snapshot s = stats.snapshot();
    EXPECT_EQ(s.received, 180000u);
    EXPECT_EQ(s.expected, 199999u);  // the last number was one of the dropped
    EXPECT_EQ(s.lost, 19999u);
    EXPECT_EQ(s.duplicates, 0u);
}

}  // namespace
