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

    analyse(seq, ssrc, arrival_ns, timestamp);
}

void CRtpStats::analyse(uint32_t seq, uint32_t ssrc, int64_t arrival_ns, uint32_t timestamp)
{
    if (m_held_count != 0 && decide_held(seq, ssrc, arrival_ns, timestamp))
        return;
    if (!m_have_run || ssrc != m_ssrc.load(std::memory_order_relaxed)) {
        if (m_have_run)
            bump(m_ssrc_changes);
        m_ssrc.store(ssrc, std::memory_order_relaxed);
        m_have_transit = false;  // another source's timestamps do not compare
        start_run(seq);
        note_start(arrival_ns, timestamp);
        add_jitter(arrival_ns, timestamp);
        return;
    }

    const uint16_t udelta = static_cast<uint16_t>(seq - static_cast<uint32_t>(m_max_ext));
    if (udelta == 0 || udelta > 65536 - WINDOW) {
        const int64_t behind = udelta == 0 ? 0 : 65536 - udelta;
        const int64_t ext = m_max_ext - behind;
        // Far behind on a number already received, or older than the run: a restart if the
        // stream continues from it, else a duplicate or a stray.
        if (ext < m_base_ext - MAX_MISORDER) {
            hold(seq, false, arrival_ns, timestamp);
            return;
        }
        if (behind > MAX_MISORDER && marked(ext)) {
            hold(seq, true, arrival_ns, timestamp);
            return;
        }
        if (test_and_mark(ext)) {
            // Its timing says nothing new about the path.
            bump(m_duplicates);
            return;
        }
        bump(m_reordered);
        if (ext < m_base_ext)
            m_base_ext = ext;  // the run began before its first arrival
        publish(1);
    } else if (udelta <= MAX_MISORDER) {
        advance_to(m_max_ext + udelta);
        test_and_mark(m_max_ext);
        publish(1);
        note_head(arrival_ns, timestamp);
    } else {
        hold(seq, false, arrival_ns, timestamp);
        return;
    }
    add_jitter(arrival_ns, timestamp);
}

void CRtpStats::hold(uint32_t seq, bool seen, int64_t arrival_ns, uint32_t timestamp)
{
    if (m_held_count == 0)
        m_held_seen = seen;
    m_held_seq[m_held_count] = seq;
    m_held_arrival_ns[m_held_count] = arrival_ns;
    m_held_timestamp[m_held_count] = timestamp;
    ++m_held_count;
}

bool CRtpStats::decide_held(uint32_t seq, uint32_t ssrc, int64_t arrival_ns, uint32_t timestamp)
{
    const unsigned int count = m_held_count;
    const bool same_source = ssrc == m_ssrc.load(std::memory_order_relaxed);
    if (same_source && !m_held_seen &&
        static_cast<uint16_t>(static_cast<uint32_t>(m_max_ext) - seq) <= MAX_MISORDER) {
        // A late one or a repeat of the run says nothing about a jump ahead: it waits on.
        m_held_count = 0;
        analyse(seq, ssrc, arrival_ns, timestamp);
        m_held_count = count;
        return true;
    }
    const uint16_t step = static_cast<uint16_t>(seq - m_held_seq[count - 1]);
    if (!same_source || step == 0 || step > MAX_MISORDER) {
        // A lone datagram out of line moves nothing (RFC 3550 A.1 believes a jump only when
        // the stream continues from it); one held after it is looked at on its own.
        m_held_count = 0;
        bump(m_held_seen ? m_duplicates : m_strays);
        if (count > 1)
            analyse(m_held_seq[1], m_ssrc.load(std::memory_order_relaxed), m_held_arrival_ns[1],
                    m_held_timestamp[1]);
        if (m_held_count != 0)
            return decide_held(seq, ssrc, arrival_ns, timestamp);
        return false;
    }
    if (m_held_seen && count < HELD_MAX) {
        hold(seq, false, arrival_ns, timestamp);
        return true;
    }
    m_held_count = 0;
    const uint16_t ahead = static_cast<uint16_t>(m_held_seq[0] - static_cast<uint32_t>(m_max_ext));
    if (!m_held_seen && ahead < MAX_DROPOUT) {
        advance_to(m_max_ext + ahead);
        test_and_mark(m_max_ext);
        publish(1);
        note_head(m_held_arrival_ns[0], m_held_timestamp[0]);
    } else {
        // The sender renumbered or started again: a new run, whose timestamps need not follow.
        m_have_transit = false;
        start_run(m_held_seq[0]);
        note_start(m_held_arrival_ns[0], m_held_timestamp[0]);
    }
    add_jitter(m_held_arrival_ns[0], m_held_timestamp[0]);
    for (unsigned int i = 1; i < count; ++i) {
        // In line after the first: the new run's next numbers.
        advance_to(m_max_ext + static_cast<uint16_t>(m_held_seq[i] - m_held_seq[i - 1]));
        test_and_mark(m_max_ext);
        publish(1);
        note_head(m_held_arrival_ns[i], m_held_timestamp[i]);
        add_jitter(m_held_arrival_ns[i], m_held_timestamp[i]);
    }
    return false;
}

void CRtpStats::set_offline()
{
    m_have_transit = false;
}

void CRtpStats::start_run(uint32_t seq)
{
    m_run_expected_before = m_expected.load(std::memory_order_relaxed);
    m_have_run = true;
    m_held_count = 0;
    // Far from zero so that a run that reaches back stays positive.
    m_base_ext = (int64_t(1) << 32) + (seq & 0xFFFF);
    m_max_ext = m_base_ext;
    memset(m_seen, 0, sizeof(m_seen));
    test_and_mark(m_base_ext);
    publish(1);
}

void CRtpStats::note_start(int64_t arrival_ns, uint32_t timestamp)
{
    m_first_ext = m_max_ext;
    m_first_arrival_ns = arrival_ns;
    m_first_timestamp = timestamp;
    m_newest_arrival_ns.store(arrival_ns, std::memory_order_relaxed);
}

void CRtpStats::note_head(int64_t arrival_ns, uint32_t timestamp)
{
    // A lone stray far out of line, as a starved stream's sporadic datagram, counts in no
    // sequence figure: it does not end the stream's silence either.
    m_newest_arrival_ns.store(arrival_ns, std::memory_order_relaxed);
    const int64_t span = m_max_ext - m_first_ext;
    // The spacing is an average over the whole run: after its first datagrams, one estimate
    // every 16 keeps the division off most datagrams' road.
    if (span <= 0 || (span > 16 && (span & 15) != 0))
        return;
    // The sender's own clock says best what it meant to send; a stream whose timestamps do
    // not advance is timed by its arrivals.
    const int32_t units = static_cast<int32_t>(timestamp - m_first_timestamp);
    const double period =
        units > 0 ? units * 1e9 / m_clock_rate.load(std::memory_order_relaxed) / static_cast<double>(span)
                  : static_cast<double>(arrival_ns - m_first_arrival_ns) / static_cast<double>(span);
    m_period_ns.store(period > 0 ? period : 0, std::memory_order_relaxed);
}

void CRtpStats::publish(unsigned long long distinct_added)
{
    m_expected.store(m_run_expected_before + static_cast<unsigned long long>(m_max_ext - m_base_ext + 1),
                     std::memory_order_relaxed);
    m_distinct.store(m_distinct.load(std::memory_order_relaxed) + distinct_added,
                     std::memory_order_release);
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

bool CRtpStats::marked(int64_t ext) const
{
    return (m_seen[(ext & (WINDOW - 1)) >> 6] & (uint64_t(1) << (ext & 63))) != 0;
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
    // Distinct first: the expected count read after it is at least as recent (publish()).
    s.distinct = m_distinct.load(std::memory_order_acquire);
    s.expected = m_expected.load(std::memory_order_relaxed);
    s.lost = s.expected - s.distinct;
    s.duplicates = m_duplicates.load(std::memory_order_relaxed);
    s.reordered = m_reordered.load(std::memory_order_relaxed);
    s.strays = m_strays.load(std::memory_order_relaxed);
    s.ssrc_changes = m_ssrc_changes.load(std::memory_order_relaxed);
    s.ssrc = m_ssrc.load(std::memory_order_relaxed);
    s.jitter_ms = m_jitter_ms.load(std::memory_order_relaxed);
    s.max_gap_ms = m_max_gap_ns.load(std::memory_order_relaxed) / 1e6;
    s.last_arrival_ns = m_newest_arrival_ns.load(std::memory_order_relaxed);
    s.period_ns = m_period_ns.load(std::memory_order_relaxed);
    return s;
}
