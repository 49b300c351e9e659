// When relaysim sent each recent copy of the local stream: the encoders' side of the delay
// through the reflector, which the decoders look up when a copy comes back to them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// One writer (the local-stream relay's thread, through sent) and any number of readers (the
// decoders, through sent_at); no lock and no allocation after construction. Every local
// datagram is one entry, whatever the number of encoders: its copies leave in a row, in the
// order of their SSRCs, so copy k of n left at first + span * k / n.
class CSendLog {
public:
    // Recent datagrams kept: at 50 a second, 80 s of stream.
    enum { ENTRIES = 4096 };

    // ssrcs: the SSRCs of the copies, in the order they are sent.
    explicit CSendLog(std::vector<uint32_t> ssrcs);
    CSendLog(const CSendLog&) = delete;
    CSendLog& operator=(const CSendLog&) = delete;

    // The copies of the datagram with this sequence number and timestamp left between
    // first_ns and last_ns (CLOCK_REALTIME, as the kernel's receive stamps).
    void sent(uint16_t seq, uint32_t timestamp, int64_t first_ns, int64_t last_ns);
    // When the copy with this SSRC of that datagram left; false when the SSRC is none of
    // relaysim's encoders or the datagram is not (or no longer) known. A reflector that
    // renumbers is matched by the timestamp alone.
    bool sent_at(uint32_t ssrc, uint16_t seq, uint32_t timestamp, int64_t& ns) const;
    // The same in two steps, for a reader that keeps the copy of the SSRC it last saw: the
    // copy's index, or NO_COPY when the SSRC is none of relaysim's encoders.
    enum : size_t { NO_COPY = ~size_t(0) };
    size_t copy_of(uint32_t ssrc) const;
    bool sent_at_copy(size_t copy, uint16_t seq, uint32_t timestamp, int64_t& ns) const;
    // The largest span of one datagram's copies so far: the bound of the send time's error.
    int64_t max_span_ns() const { return m_max_span_ns.load(std::memory_order_relaxed); }

private:
    struct Entry {
        // Odd while the writer changes the entry (a sequence lock).
        std::atomic<uint32_t> version{0};
        std::atomic<uint32_t> seq{0};
        std::atomic<uint32_t> timestamp{0};
        std::atomic<int64_t> first_ns{0};
        std::atomic<int64_t> span_ns{0};
    };
    static void write(Entry& e, uint16_t seq, uint32_t timestamp, int64_t first_ns, int64_t span_ns);
    // True with the entry's fields when it holds that datagram (by_seq: its sequence number
    // too) and was not being changed.
    static bool read(const Entry& e, bool by_seq, uint16_t seq, uint32_t timestamp,
                     int64_t& first_ns, int64_t& span_ns);

    std::vector<uint32_t> m_sorted;     // the SSRCs, sorted
    std::vector<uint32_t> m_position;   // copy index of m_sorted[i]
    size_t m_copies;
    std::vector<Entry> m_by_seq;        // at seq % ENTRIES
    std::vector<Entry> m_by_timestamp;  // at a hash of the timestamp
    std::atomic<int64_t> m_max_span_ns{0};
};
