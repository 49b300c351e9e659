// Local-stream relay: re-sends each local RTP datagram once per emulated encoder.
#pragma once

#include "CRtpStats.h"
#include "CStreamState.h"
#include "CUdpServer.h"
#include "CUdpSocket.h"
#include "ISocketHandler.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <array>
#include <atomic>
#include <map>
#include <vector>

class CSendLog;

class CInstr : public ISocketHandler {
public:
    CInstr();
    ~CInstr() override;

    CInstr(const CInstr&) = delete;
    CInstr& operator=(const CInstr&) = delete;

    // Key of an encoder: written lowest byte first into bytes 8-11 it makes the
    // SSRC equal to the low 32 bits of the device address.
    static unsigned long key_of(unsigned long address);

    // The SSRCs of the copies of encoders with these addresses, in the order they are sent.
    static std::vector<uint32_t> ssrcs_in_send_order(const std::vector<unsigned long>& addresses);
    // Before start(): where the send time of each datagram's copies is kept.
    void set_send_log(CSendLog* log) { m_send_log = log; }

    // Registration, before start(): copies for this encoder go to address:port.
    void add_encoder(unsigned long address, unsigned int address_ip, unsigned short port);

    // Binds the local port, so that a port already taken is known before anything starts.
    bool open(unsigned short local_port);
    // Binds the local port unless open() did, and starts the receiving thread. segment: send
    // runs of copies as one segmented message where the kernel offers it (UDP_SEGMENT).
    bool start(unsigned short local_port, bool segment = true);

    // Runs on the server thread only; changes data in place. arrival: the kernel's receive
    // stamp, as the decoders measure theirs; without it, the time of the call.
    void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len,
                     const timespec& arrival) override;
    void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len) override;

    // Ends the receiving thread (its poll waits 1 s).
    void stop() { m_server.deinit(); }

    // True once, when the stream was online and silent for more than 5 s; clears the flag.
    bool check_offline(time_t now) { return m_state.check_offline(now); }
    CStreamState& state() { return m_state; }

    size_t encoder_count() const { return m_encoders.size(); }
    // The local stream as received (datagrams under 50 bytes are not), and its copies.
    const CRtpStats& stats() const { return m_stats; }
    CRtpStats& stats() { return m_stats; }
    unsigned long long copies_sent() const { return m_copies_sent.load(std::memory_order_relaxed); }
    unsigned long long send_errors() const { return m_send_errors.load(std::memory_order_relaxed); }
    CUdpSocket& socket() { return m_socket; }
    // Before start(), or while nothing calls on_raw_data: how copies leave. Without
    // batches every copy is one write; segments need batches and the kernel's support.
    void use_batches(bool on) { m_batched = on; }
    void use_segments(bool on) { m_segmenting = on && m_batched; }
    bool batched() const { return m_batched; }

private:
    // All copies of one datagram, in ascending key order, from the local port; counts them.
    void send_copies(unsigned char* data, unsigned short len);
    void send_table(unsigned char* data, unsigned short len);
    // Sends what it can segmented; returns the index of the first copy it did not send.
    size_t send_segmented(unsigned short len);
    // Copies first.. of the table, one batch per system call; returns the index of the
    // first copy it did not send, which is short of the end only without batched sends.
    size_t send_batched(size_t first);
    // Copies first.. of the table, one write each, the key written into the datagram.
    void send_one_by_one(unsigned char* data, unsigned short len, size_t first);
    // The tables below, from m_encoders, once the encoders are registered.
    void build_table();
    // Points the table's datagram iovecs at data; cheap, and done only when the buffer
    // or the length differs from the last datagram's.
    void point_table_at(unsigned char* data, unsigned short len);

    // Per copy i, in key order: iovecs 3i..3i+2 are bytes 0-7 of the datagram, m_keys[i],
    // the bytes from 12 on; message i's destination is the map entry (map nodes never move).
    std::vector<std::array<unsigned char, 4>> m_keys;
    std::vector<iovec> m_iovs;
    std::vector<mmsghdr> m_msgs;
    // The same iovecs as runs of copies to one destination, each run one segmented message
    // whose first copy is m_run_first[j].
    std::vector<mmsghdr> m_runs;
    std::vector<size_t> m_run_first;
    bool m_table_stale;
    const unsigned char* m_table_data;
    unsigned short m_table_len;
    // Datagrams this long or longer are not segmented (too long for a full run, or refused).
    unsigned short m_segment_limit;

    std::map<unsigned long, sockaddr_in> m_encoders;
    CUdpSocket m_socket;
    CStreamState m_state;
    CUdpServer m_server;
    // Batched sends, one system call for up to CUdpSocket::MAX_BATCH copies; cleared for
    // good when the kernel turns out to lack them.
    bool m_batched;
    // Segmented sends (UDP_SEGMENT), up to CUdpSocket::MAX_SEGMENTS copies a message: set by
    // start() when asked for and the kernel takes them (an older kernel would send a whole
    // run as one datagram). Both flags belong to the thread of on_raw_data.
    bool m_segmenting;
    bool m_opened = false;
    CSendLog* m_send_log = nullptr;
    // Copies of the current datagram that failed; the thread of on_raw_data's alone.
    size_t m_failed;
    CRtpStats m_stats;
    std::atomic<unsigned long long> m_copies_sent;
    std::atomic<unsigned long long> m_send_errors;
};
