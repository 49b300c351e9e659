// Local-stream relay: re-sends each local RTP datagram once per emulated encoder.
#include "CInstr.h"

#include "CSendLog.h"
#include "utils.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
int64_t realtime_ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

constexpr unsigned short MIN_DATAGRAM = 50;
// Bytes 8-11, the SSRC, are what differs between the copies.
constexpr size_t SSRC_AT = 8;
constexpr size_t AFTER_SSRC = 12;
}

CInstr::CInstr()
    : m_table_stale(false),
      m_table_data(nullptr),
      m_table_len(0),
      m_segment_limit(CUdpSocket::MAX_SEGMENT_SIZE + 1),
      m_state(time(nullptr)),
      m_server(m_socket, *this),
      m_batched(true),
      m_segmenting(false),
      m_failed(0),
      m_copies_sent(0),
      m_send_errors(0)
{
}

CInstr::~CInstr()
{
    // Let the receiver end by itself (its poll waits 1 s) before the socket goes.
    m_server.deinit();
}

unsigned long CInstr::key_of(unsigned long address)
{
    return utils::mac_big_endian(address) >> 16;
}

std::vector<uint32_t> CInstr::ssrcs_in_send_order(const std::vector<unsigned long>& addresses)
{
    std::map<unsigned long, bool> keys;
    for (unsigned long address : addresses)
        keys[key_of(address)] = true;
    std::vector<uint32_t> ssrcs;
    // The key's bytes are written lowest first where a receiver reads the SSRC highest first.
    for (const auto& key : keys)
        ssrcs.push_back(__builtin_bswap32(static_cast<uint32_t>(key.first)));
    return ssrcs;
}

void CInstr::add_encoder(unsigned long address, unsigned int address_ip, unsigned short port)
{
    sockaddr_in& to = m_encoders[key_of(address)];
    to = utils::make_address(address_ip, port);
    m_table_stale = true;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &to.sin_addr, text, sizeof(text));
    printf("Adding encoder 0x%012llx. stream audio to - %s:%d\n",
           static_cast<unsigned long long>(address), text, port);
}

bool CInstr::open(unsigned short local_port)
{
    m_opened = m_socket.open(local_port, 0);
    return m_opened;
}

bool CInstr::start(unsigned short local_port, bool segment)
{
    const bool ok = m_opened || open(local_port);
    // The kernel's arrival stamps, as the decoders take them: both jitter columns measure
    // the network, not this process's scheduling.
    m_socket.set_sock_option_timestamps();
    m_segmenting = segment && m_batched && m_socket.can_segment();
    if (m_table_stale)
        build_table();
    m_server.init();
    return ok;
}

void CInstr::on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    on_raw_data(from, data, len, now);
}

void CInstr::on_raw_data(const sockaddr_in&, unsigned char* data, unsigned short len,
                         const timespec& arrival)
{
    if (len < MIN_DATAGRAM)
        return;
    m_stats.on_datagram(data, len, arrival);
    if (m_state.received(arrival.tv_sec)) {
        printf("local stream online\n");
        fflush(stdout);
    }
    send_copies(data, len);
}

void CInstr::build_table()
{
    const size_t count = m_encoders.size();
    m_keys.resize(count);
    m_iovs.resize(3 * count);
    m_msgs.resize(count);
    m_runs.clear();
    m_run_first.clear();
    size_t i = 0;
    const sockaddr_in* run_to = nullptr;
    for (auto& encoder : m_encoders) {
        const unsigned long key = encoder.first;
        m_keys[i] = {static_cast<unsigned char>(key), static_cast<unsigned char>(key >> 8),
                     static_cast<unsigned char>(key >> 16), static_cast<unsigned char>(key >> 24)};
        m_iovs[3 * i + 1] = {m_keys[i].data(), m_keys[i].size()};
        mmsghdr m;
        memset(&m, 0, sizeof(m));
        m.msg_hdr.msg_name = &encoder.second;
        m.msg_hdr.msg_namelen = sizeof(encoder.second);
        m.msg_hdr.msg_iov = &m_iovs[3 * i];
        m.msg_hdr.msg_iovlen = 3;
        m_msgs[i] = m;
        const bool same_to = run_to != nullptr && memcmp(run_to, &encoder.second, sizeof(*run_to)) == 0;
        if (same_to && m_runs.back().msg_hdr.msg_iovlen < 3 * CUdpSocket::MAX_SEGMENTS) {
            m_runs.back().msg_hdr.msg_iovlen += 3;
        } else {
            m_runs.push_back(m);
            m_run_first.push_back(i);
            run_to = &encoder.second;
        }
        ++i;
    }
    // The datagram iovecs are filled in by the first datagram.
    m_table_data = nullptr;
    m_table_len = 0;
    m_table_stale = false;
}

void CInstr::point_table_at(unsigned char* data, unsigned short len)
{
    for (size_t i = 0; i < m_msgs.size(); ++i) {
        m_iovs[3 * i] = {data, SSRC_AT};
        m_iovs[3 * i + 2] = {data + AFTER_SSRC, static_cast<size_t>(len) - AFTER_SSRC};
    }
    m_table_data = data;
    m_table_len = len;
}

void CInstr::send_copies(unsigned char* data, unsigned short len)
{
    // Built by start(); here only for a caller that feeds the relay without its thread.
    if (m_table_stale)
        build_table();
    if (m_msgs.empty())
        return;
    m_failed = 0;
    if (!m_send_log) {
        send_table(data, len);
    } else {
        // Logged before the copies leave, so that a reflector faster than this thread still
        // finds them; then again with the time the sends took, the bound of the error.
        const uint16_t seq = static_cast<uint16_t>(data[2] << 8 | data[3]);
        const uint32_t ts = static_cast<uint32_t>(data[4]) << 24 | data[5] << 16 | data[6] << 8 | data[7];
        const int64_t first = realtime_ns();
        m_send_log->sent(seq, ts, first, first);
        send_table(data, len);
        m_send_log->sent(seq, ts, first, realtime_ns());
    }
    m_copies_sent.fetch_add(m_msgs.size() - m_failed, std::memory_order_relaxed);
    if (m_failed != 0)
        m_send_errors.fetch_add(m_failed, std::memory_order_relaxed);
}

void CInstr::send_table(unsigned char* data, unsigned short len)
{
    if (!m_batched) {
        send_one_by_one(data, len, 0);
        return;
    }
    // The server's buffer stays put for the thread's life, so this is normally one compare.
    if (data != m_table_data || len != m_table_len)
        point_table_at(data, len);
    size_t next = 0;
    if (m_segmenting && len < m_segment_limit)
        next = send_segmented(len);
    next = send_batched(next);
    if (m_batched) {
        memcpy(data + SSRC_AT, m_keys.back().data(), m_keys.back().size());
    } else {
        // The kernel has no batched send: the rest go one by one.
        send_one_by_one(data, len, next);
    }
}

size_t CInstr::send_segmented(unsigned short len)
{
    size_t run = 0;
    while (run < m_runs.size()) {
        const int sent = m_socket.write_segmented(&m_runs[run], static_cast<unsigned int>(m_runs.size() - run), len);
        if (sent <= 0) {
            // Refused (the route's MTU, no checksum offload, or a failed copy): this length
            // and longer ones go unsegmented from now on; the copies of this run too.
            m_segment_limit = len;
            return m_run_first[run];
        }
        run += static_cast<size_t>(sent);
    }
    return m_msgs.size();
}

size_t CInstr::send_batched(size_t next)
{
    const size_t count = m_msgs.size();
    while (next < count) {
        const int sent = m_socket.write_many(&m_msgs[next], static_cast<unsigned int>(count - next));
        if (sent > 0) {
            next += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && m_socket.get_last_err() == ENOSYS) {
            m_batched = false;
            m_segmenting = false;
            return next;
        }
        // This copy failed and its error is recorded; like a failed single send, it is
        // skipped and the rest still go.
        ++next;
        ++m_failed;
    }
    return next;
}

void CInstr::send_one_by_one(unsigned char* data, unsigned short len, size_t first)
{
    for (size_t i = first; i < m_msgs.size(); ++i) {
        memcpy(data + SSRC_AT, m_keys[i].data(), m_keys[i].size());
        if (m_socket.write(data, len, *static_cast<const sockaddr_in*>(m_msgs[i].msg_hdr.msg_name)) < 0)
            ++m_failed;
    }
}
