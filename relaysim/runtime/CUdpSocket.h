// UDP transport of the socket family: datagram reads and writes and socket options.
#pragma once

#include "CSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

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

    sockaddr_in m_remote_addr;
};
