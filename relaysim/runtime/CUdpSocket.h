// UDP transport of the socket family: datagram reads and writes and socket options.
#pragma once

#include "CSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>

class CUdpSocket : public CSocket {
public:
    CUdpSocket();
    ~CUdpSocket() override;

    int read(unsigned char* buf, unsigned short size) override;
    int read(unsigned char* buf, unsigned short size, sockaddr_in& from) override;
    int write(const unsigned char* data, unsigned short len) override;
    int write(const unsigned char* data, unsigned short len, const sockaddr_in& to) override;
    int get_socket_type() const override;
    int get_protocol() const override;

    bool set_sock_option_linger();
    bool set_sock_option_buffer_size(int size);
    bool set_sock_option_broadcost();
    bool set_sock_option_tos(unsigned short tos);
    // Have the kernel stamp each datagram's arrival (SO_TIMESTAMPNS), for the read below.
    bool set_sock_option_timestamps();

    // read(buf, size, from), also giving the datagram's arrival time on the realtime clock:
    // the kernel's stamp where set_sock_option_timestamps() is on, the time of the read
    // otherwise. One system call, nothing allocated.
    int read(unsigned char* buf, unsigned short size, sockaddr_in& from, timespec& arrival) override;

    // Room for read_many(): up to capacity datagrams of at most size bytes each, with their
    // senders and arrival times; allocated once and reused for every batch. Only the pages
    // that datagrams reach become resident.
    class Batch {
    public:
        Batch(unsigned int capacity, unsigned short size);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        unsigned int capacity() const { return m_capacity; }
        unsigned char* data(unsigned int i) { return &m_data[static_cast<size_t>(i) * m_size]; }
        int length(unsigned int i) const { return static_cast<int>(m_msgs[i].msg_len); }
        const sockaddr_in& from(unsigned int i) const { return m_from[i]; }
        const timespec& arrival(unsigned int i) const { return m_arrival[i]; }

    private:
        friend class CUdpSocket;
        struct Control;
        unsigned int m_capacity;
        unsigned short m_size;
        unsigned int m_filled = 0;  // by the last read: the headers the kernel changed
        std::unique_ptr<unsigned char[]> m_data;
        std::unique_ptr<mmsghdr[]> m_msgs;
        std::unique_ptr<iovec[]> m_iov;
        std::unique_ptr<sockaddr_in[]> m_from;
        std::unique_ptr<timespec[]> m_arrival;
        std::unique_ptr<Control[]> m_control;
    };

    // What is queued, up to the batch's capacity, in one system call that does not wait:
    // the count (arrival times as read() gives them), 0 when nothing is queued, or -1 with
    // errno kept as last error.
    int read_many(Batch& batch);

    // The kernel's count of datagrams dropped on arrival at this socket, for want of room in
    // its receive buffer (SO_MEMINFO), asked when wanted rather than carried by every
    // datagram; from any thread. The last count known when the socket can't be asked.
    unsigned long long dropped() const;
    // The kernel's count is 32 bits and wraps: total, the count so far, moved to reported.
    static unsigned long long widen_drop_count(unsigned long long total, uint32_t reported)
    {
        return total + static_cast<uint32_t>(reported - static_cast<uint32_t>(total));
    }

    // The receive buffer the kernel grants (SO_RCVBUF as read back), or -1.
    int get_sock_option_buffer_size();

    // Most messages one write_many() hands to the system (the kernel's UIO_MAXIOV).
    static constexpr unsigned int MAX_BATCH = 1024;

    // Sends up to MAX_BATCH of the count messages in one system call, each to the
    // destination it names. Result: how many went, which may be fewer than count (the
    // caller goes on with the rest), or -1 with errno kept as last error when the first
    // one failed; ENOSYS there means the kernel has no batched send.
    int write_many(mmsghdr* msgs, unsigned int count);

    // Copies of one length that a segmented write may carry in one message (the kernel's
    // limit on older kernels), and the longest copy for which that many fit a datagram.
    static constexpr unsigned int MAX_SEGMENTS = 64;
    static constexpr unsigned short MAX_SEGMENT_SIZE = (65535 - 20 - 8) / MAX_SEGMENTS;

    // A probe: whether the kernel splits one send into datagrams of equal size (UDP
    // segmentation offload). Keeps no error.
    bool can_segment();

    // Like write_many, but the kernel splits each message's bytes, at most MAX_SEGMENTS
    // times segment_size, into datagrams of segment_size bytes to the message's destination.
    // Only where can_segment() said yes: elsewhere a message would leave as one datagram.
    int write_segmented(mmsghdr* msgs, unsigned int count, unsigned short segment_size);

    // Default destination of the two-argument write.
    void set_remote_addr(const sockaddr_in& to) { m_remote_addr = to; }

protected:
    // setsockopt, failure kept as last error.
    bool set_option(int level, int name, const void* value, socklen_t len);
    // Result of a system read or write: the count, or -1 with errno kept as last error.
    int io_result(long n);
    // The arrival stamp of one received message's control data.
    void take_control(msghdr& m, timespec& arrival);

    sockaddr_in m_remote_addr;
    // Widened by whichever thread asks.
    mutable std::atomic<unsigned long long> m_dropped{0};
};
