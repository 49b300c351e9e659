// When relaysim sent each recent copy of the local stream: the encoders' side of the delay
// through the reflector, which the decoders look up when a copy comes back to them.
#include "CSendLog.h"

#include <algorithm>
#include <numeric>

namespace {
size_t timestamp_slot(uint32_t timestamp)
{
    // Timestamps step by a packet's duration (160 at 8 kHz): mix before taking low bits.
    return (timestamp * 2654435761u >> 20) % CSendLog::ENTRIES;
}
}  // namespace

CSendLog::CSendLog(std::vector<uint32_t> ssrcs)
    : m_copies(ssrcs.size()), m_by_seq(ENTRIES), m_by_timestamp(ENTRIES)
{
    std::vector<uint32_t> order(ssrcs.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return ssrcs[a] < ssrcs[b]; });
    for (uint32_t i : order) {
        m_sorted.push_back(ssrcs[i]);
        m_position.push_back(i);
    }
}

// A sequence lock without fences: each field is stored with release and loaded with acquire,
// so a reader that sees any new field also sees the odd version stored before it.
void CSendLog::write(Entry& e, uint16_t seq, uint32_t timestamp, int64_t first_ns, int64_t span_ns)
{
    const uint32_t v = e.version.load(std::memory_order_relaxed);
    e.version.store(v + 1, std::memory_order_relaxed);
    e.seq.store(seq, std::memory_order_release);
    e.timestamp.store(timestamp, std::memory_order_release);
    e.first_ns.store(first_ns, std::memory_order_release);
    e.span_ns.store(span_ns, std::memory_order_release);
    e.version.store(v + 2, std::memory_order_release);
}

bool CSendLog::read(const Entry& e, bool by_seq, uint16_t seq, uint32_t timestamp, int64_t& first_ns,
                    int64_t& span_ns)
{
    const uint32_t v = e.version.load(std::memory_order_acquire);
    if (v == 0 || (v & 1) != 0)
        return false;
    const bool same = (!by_seq || e.seq.load(std::memory_order_acquire) == seq) &&
                      e.timestamp.load(std::memory_order_acquire) == timestamp;
    first_ns = e.first_ns.load(std::memory_order_acquire);
    span_ns = e.span_ns.load(std::memory_order_acquire);
    // Loads after acquire loads stay after them: a writer that began meanwhile is seen here.
    return same && e.version.load(std::memory_order_relaxed) == v;
}

void CSendLog::sent(uint16_t seq, uint32_t timestamp, int64_t first_ns, int64_t last_ns)
{
    const int64_t span = std::max<int64_t>(last_ns - first_ns, 0);
    write(m_by_seq[seq % ENTRIES], seq, timestamp, first_ns, span);
    write(m_by_timestamp[timestamp_slot(timestamp)], seq, timestamp, first_ns, span);
    if (span > m_max_span_ns.load(std::memory_order_relaxed))
        m_max_span_ns.store(span, std::memory_order_relaxed);
}

size_t CSendLog::copy_of(uint32_t ssrc) const
{
    const auto it = std::lower_bound(m_sorted.begin(), m_sorted.end(), ssrc);
    if (it == m_sorted.end() || *it != ssrc)
        return NO_COPY;
    return m_position[static_cast<size_t>(it - m_sorted.begin())];
}

bool CSendLog::sent_at_copy(size_t copy, uint16_t seq, uint32_t timestamp, int64_t& ns) const
{
    if (copy >= m_copies)
        return false;
    int64_t first = 0, span = 0;
    if (!read(m_by_seq[seq % ENTRIES], true, seq, timestamp, first, span) &&
        !read(m_by_timestamp[timestamp_slot(timestamp)], false, seq, timestamp, first, span))
        return false;
    ns = first + (m_copies > 1 ? span * static_cast<int64_t>(copy) / static_cast<int64_t>(m_copies - 1) : 0);
    return true;
}

bool CSendLog::sent_at(uint32_t ssrc, uint16_t seq, uint32_t timestamp, int64_t& ns) const
{
    return sent_at_copy(copy_of(ssrc), seq, timestamp, ns);
}
