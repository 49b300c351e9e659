// Receiver statistics of one RTP stream (RFC 3550 appendix A.1, A.3 and A.8).
#include "CRtpStats.h"

#include <cmath>
#include <cstring>

static_assert((CRtpStats::WINDOW & (CRtpStats::WINDOW - 1)) == 0, "WINDOW is a power of two");
static_assert(CRtpStats::WINDOW + CRtpStats::MAX_DROPOUT < 65536, "windows must not overlap");

CRtpStats::CRtpStats(unsigned int clock_rate)
    : m_clock_rate(clock_rate ? clock_rate : static_cast<unsigned int>(DEFAULT_CLOCK_RATE))
{
}

void CRtpStats::set_clock_rate(unsigned int hz)
{
    if (hz)
        m_clock_rate.store(hz, std::memory_order_relaxed);
}

void CRtpStats::bump(std::atomic<unsigned long long>& counter, unsigned long long by)
{
    // One writer: no read-modify-write instruction needed.
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

void CRtpStats::on_datagram(const unsigned char* data, size_t len, const timespec& arrival)
{
    bump(m_received);
    const int64_t arrival_ns = static_cast<int64_t>(arrival.tv_sec) * 1000000000LL + arrival.tv_nsec;
    if (m_have_arrival) {
        const long long gap = arrival_ns - m_last_arrival_ns;
        if (gap > m_max_gap_ns.load(std::memory_order_relaxed))
            m_max_gap_ns.store(gap, std::memory_order_relaxed);
    }
    m_have_arrival = true;
    m_last_arrival_ns = arrival_ns;

    if (len < 12 || (data[0] >> 6) != 2) {
        bump(m_unanalysed);
        return;
    }
    const uint32_t seq = (static_cast<uint32_t>(data[2]) << 8) | data[3];
    const uint32_t timestamp = (static_cast<uint32_t>(data[4]) << 24) |
                               (static_cast<uint32_t>(data[5]) << 16) |
                               (static_cast<uint32_t>(data[6]) << 8) | data[7];
    const uint32_t ssrc = (static_cast<uint32_t>(data[8]) << 24) |
                          (static_cast<uint32_t>(data[9]) << 16) |
                          (static_cast<uint32_t>(data[10]) << 8) | data[11];

    if (!m_have_run || ssrc != m_ssrc.load(std::memory_order_relaxed)) {
        if (m_have_run)
            bump(m_ssrc_changes);
        m_ssrc.store(ssrc, std::memory_order_relaxed);
        m_have_transit = false;  // another source's timestamps do not compare
        start_run(seq);
        add_jitter(arrival_ns, timestamp);
        return;
    }

    const uint16_t udelta = static_cast<uint16_t>(seq - static_cast<uint32_t>(m_max_ext));
    if (udelta == 0 || udelta > 65536 - WINDOW) {
        const int64_t ext = m_max_ext - (udelta == 0 ? 0 : 65536 - udelta);
        if (test_and_mark(ext)) {
            // Its timing says nothing new about the path.
            bump(m_duplicates);
            return;
        }
        bump(m_distinct);
        bump(m_reordered);
        if (ext < m_base_ext)
            m_base_ext = ext;  // the run began before its first arrival
    } else if (udelta < MAX_DROPOUT) {
        m_have_bad = false;
        advance_to(m_max_ext + udelta);
        test_and_mark(m_max_ext);
        bump(m_distinct);
    } else if (m_have_bad && seq == m_bad_seq) {
        // Two in a row after a jump: the sender renumbered, as after a restart.
        m_have_bad = false;
        m_have_transit = false;
        start_run(seq - 1);
        advance_to(m_max_ext + 1);
        test_and_mark(m_max_ext);
        bump(m_distinct);
    } else {
        // A lone jump is believed only when its successor follows (RFC 3550 A.1).
        m_have_bad = true;
        m_bad_seq = (seq + 1) & 0xFFFF;
        return;
    }
    m_expected.store(m_run_expected_before + static_cast<unsigned long long>(m_max_ext - m_base_ext + 1),
                     std::memory_order_relaxed);
    add_jitter(arrival_ns, timestamp);
}

void CRtpStats::set_offline()
{
    m_have_arrival = false;
    m_have_transit = false;
}

void CRtpStats::start_run(uint32_t seq)
{
    m_run_expected_before = m_expected.load(std::memory_order_relaxed);
    m_have_run = true;
    m_have_bad = false;
    // Far from zero so that a run that reaches back stays positive.
    m_base_ext = (int64_t(1) << 32) + (seq & 0xFFFF);
    m_max_ext = m_base_ext;
    memset(m_seen, 0, sizeof(m_seen));
    test_and_mark(m_base_ext);
    bump(m_distinct);
    m_expected.store(m_run_expected_before + 1, std::memory_order_relaxed);
}

void CRtpStats::advance_to(int64_t ext)
{
    // The slots that come into the window held numbers a whole window older.
    if (ext - m_max_ext >= WINDOW) {
        memset(m_seen, 0, sizeof(m_seen));
    } else {
        for (int64_t e = m_max_ext + 1; e <= ext; ++e)
            m_seen[(e & (WINDOW - 1)) >> 6] &= ~(uint64_t(1) << (e & 63));
    }
    m_max_ext = ext;
}

bool CRtpStats::test_and_mark(int64_t ext)
{
    uint64_t& word = m_seen[(ext & (WINDOW - 1)) >> 6];
    const uint64_t bit = uint64_t(1) << (ext & 63);
    const bool seen = (word & bit) != 0;
    word |= bit;
    return seen;
}

void CRtpStats::add_jitter(int64_t arrival_ns, uint32_t timestamp)
{
    const unsigned int rate = m_clock_rate.load(std::memory_order_relaxed);
    if (m_have_transit) {
        // Difference of transit times D(i-1,i), in timestamp units; the timestamp wraps at 2^32.
        const double arrival_units =
            static_cast<double>(arrival_ns - m_last_transit_arrival_ns) * rate / 1e9;
        const double d = arrival_units - static_cast<int32_t>(timestamp - m_last_timestamp);
        m_jitter += (std::fabs(d) - m_jitter) / 16.0;
        m_jitter_ms.store(m_jitter * 1000.0 / rate, std::memory_order_relaxed);
    }
    m_have_transit = true;
    m_last_transit_arrival_ns = arrival_ns;
    m_last_timestamp = timestamp;
}

CRtpStats::Snapshot CRtpStats::snapshot() const
{
    Snapshot s;
    s.received = m_received.load(std::memory_order_relaxed);
    s.unanalysed = m_unanalysed.load(std::memory_order_relaxed);
    s.expected = m_expected.load(std::memory_order_relaxed);
    const unsigned long long distinct = m_distinct.load(std::memory_order_relaxed);
    // The two are read apart, so a datagram may fall between them.
    s.lost = s.expected > distinct ? s.expected - distinct : 0;
    s.duplicates = m_duplicates.load(std::memory_order_relaxed);
    s.reordered = m_reordered.load(std::memory_order_relaxed);
    s.ssrc_changes = m_ssrc_changes.load(std::memory_order_relaxed);
    s.ssrc = m_ssrc.load(std::memory_order_relaxed);
    s.jitter_ms = m_jitter_ms.load(std::memory_order_relaxed);
    s.max_gap_ms = m_max_gap_ns.load(std::memory_order_relaxed) / 1e6;
    return s;
}
