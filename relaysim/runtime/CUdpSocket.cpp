// UDP transport of the socket family: datagram reads and writes and socket options.
#include "CUdpSocket.h"

#include <linux/sock_diag.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

CUdpSocket::CUdpSocket()
{
    memset(&m_remote_addr, 0, sizeof(m_remote_addr));
}

CUdpSocket::~CUdpSocket()
{
    close();
}

int CUdpSocket::io_result(long n)
{
    if (n < 0)
        return failed(errno);
    return static_cast<int>(n);
}

int CUdpSocket::read(unsigned char* buf, unsigned short size)
{
    return io_result(::recv(fd(), buf, size, 0));
}

int CUdpSocket::read(unsigned char* buf, unsigned short size, sockaddr_in& from)
{
    memset(&from, 0, sizeof(from));
    socklen_t len = sizeof(from);
    return io_result(::recvfrom(fd(), buf, size, 0, reinterpret_cast<sockaddr*>(&from), &len));
}

int CUdpSocket::write(const unsigned char* data, unsigned short len)
{
    return write(data, len, m_remote_addr);
}

int CUdpSocket::write(const unsigned char* data, unsigned short len, const sockaddr_in& to)
{
    return io_result(::sendto(fd(), data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)));
}

static_assert(CUdpSocket::MAX_BATCH == UIO_MAXIOV, "one batch is what the kernel takes in a call");

int CUdpSocket::write_many(mmsghdr* msgs, unsigned int count)
{
    return io_result(::sendmmsg(fd(), msgs, count < MAX_BATCH ? count : MAX_BATCH, 0));
}

bool CUdpSocket::can_segment()
{
    // Size 0 leaves every send as it is; only a kernel without the option refuses it.
    const int none = 0;
    return setsockopt(fd(), SOL_UDP, UDP_SEGMENT, &none, sizeof(none)) == 0;
}

int CUdpSocket::write_segmented(mmsghdr* msgs, unsigned int count, unsigned short segment_size)
{
    // Per message, not a socket option: that would hold every other send of the socket to
    // the segmentation rules too.
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint16_t))];
    memset(control, 0, sizeof(control));
    cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t size = segment_size;
    memcpy(CMSG_DATA(c), &size, sizeof(size));
    const unsigned int n = count < MAX_BATCH ? count : MAX_BATCH;
    for (unsigned int i = 0; i < n; ++i) {
        msgs[i].msg_hdr.msg_control = control;
        msgs[i].msg_hdr.msg_controllen = sizeof(control);
    }
    const int sent = ::sendmmsg(fd(), msgs, n, 0);
    const int err = errno;
    // The caller's table must not keep a pointer to this frame.
    for (unsigned int i = 0; i < n; ++i) {
        msgs[i].msg_hdr.msg_control = nullptr;
        msgs[i].msg_hdr.msg_controllen = 0;
    }
    errno = err;
    return io_result(sent);
}

int CUdpSocket::get_socket_type() const
{
    return SOCK_DGRAM;
}

int CUdpSocket::get_protocol() const
{
    return IPPROTO_UDP;
}

bool CUdpSocket::set_option(int level, int name, const void* value, socklen_t len)
{
    if (setsockopt(fd(), level, name, value, len) == 0)
        return true;
    failed(errno);
    return false;
}

bool CUdpSocket::set_sock_option_linger()
{
    const linger l{1, 0};
    return set_option(SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

bool CUdpSocket::set_sock_option_buffer_size(int size)
{
    return set_option(SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

bool CUdpSocket::set_sock_option_broadcost()
{
    const int on = 1;
    return set_option(SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
}

bool CUdpSocket::set_sock_option_tos(unsigned short tos)
{
    // A 2-byte option: Linux takes a short option as its first byte, the low one here.
    const uint16_t value = tos;
    return set_option(IPPROTO_IP, IP_TOS, &value, sizeof(value));
}

bool CUdpSocket::set_sock_option_timestamps()
{
    const int on = 1;
    return set_option(SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
}

// Control data of one message: its arrival stamp.
struct CUdpSocket::Batch::Control {
    alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(timespec))];
};

void CUdpSocket::take_control(msghdr& m, timespec& arrival)
{
    bool stamped = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            memcpy(&arrival, CMSG_DATA(c), sizeof(arrival));
            stamped = true;
        }
    }
    // Without the option (or its message) the stamp is now, on the kernel's clock.
    if (!stamped)
        clock_gettime(CLOCK_REALTIME, &arrival);
}

int CUdpSocket::read(unsigned char* buf, unsigned short size, sockaddr_in& from, timespec& arrival)
{
    memset(&from, 0, sizeof(from));
    iovec iov{buf, size};
    Batch::Control control;
    msghdr m;
    memset(&m, 0, sizeof(m));
    m.msg_name = &from;
    m.msg_namelen = sizeof(from);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof(control.bytes);
    const int n = io_result(::recvmsg(fd(), &m, 0));
    if (n >= 0)
        take_control(m, arrival);
    return n;
}

CUdpSocket::Batch::Batch(unsigned int capacity, unsigned short size)
    : m_capacity(capacity),
      m_size(size),
      m_data(new unsigned char[static_cast<size_t>(capacity) * size]),
      m_msgs(new mmsghdr[capacity]),
      m_iov(new iovec[capacity]),
      m_from(new sockaddr_in[capacity]),
      m_arrival(new timespec[capacity]),
      m_control(new Control[capacity])
{
    for (unsigned int i = 0; i < capacity; ++i) {
        m_iov[i].iov_base = data(i);
        m_iov[i].iov_len = size;
        memset(&m_msgs[i], 0, sizeof(m_msgs[i]));
        msghdr& m = m_msgs[i].msg_hdr;
        m.msg_iov = &m_iov[i];
        m.msg_iovlen = 1;
        m.msg_name = &m_from[i];
    }
}

CUdpSocket::Batch::~Batch() = default;

int CUdpSocket::read_many(Batch& batch)
{
    // On a connected socket every datagram comes from the peer: the kernel need not copy
    // out a sender per datagram.
    const bool named = peer().sin_family == 0;
    for (unsigned int i = 0; i < batch.m_capacity; ++i) {
        msghdr& m = batch.m_msgs[i].msg_hdr;
        // The kernel shortens both lengths of the headers it filled; the others are as set.
        if (i < batch.m_filled || m.msg_control == nullptr || (m.msg_name != nullptr) != named) {
            m.msg_name = named ? &batch.m_from[i] : nullptr;
            m.msg_namelen = named ? sizeof(sockaddr_in) : 0;
            m.msg_control = batch.m_control[i].bytes;
            m.msg_controllen = sizeof(batch.m_control[i].bytes);
        }
    }
    const int n = ::recvmmsg(fd(), batch.m_msgs.get(), batch.m_capacity, MSG_DONTWAIT, nullptr);
    batch.m_filled = n > 0 ? static_cast<unsigned int>(n) : 0;
    if (n < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return 0;
        // A reader that never polls meets a refusal of its requests here instead.
        if (err != EINTR && err != EBADF)
            owe_to_send(err);
        return failed(err);
    }
    for (int i = 0; i < n; ++i) {
        if (!named)
            batch.m_from[i] = peer();
        take_control(batch.m_msgs[i].msg_hdr, batch.m_arrival[i]);
    }
    return n;
}

unsigned long long CUdpSocket::dropped() const
{
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof(info);
    unsigned long long known = m_dropped.load(std::memory_order_relaxed);
    if (getsockopt(fd(), SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
        len <= SK_MEMINFO_DROPS * sizeof(uint32_t))
        return known;
    // Two askers may race: the count only grows, so the larger widening stands.
    const unsigned long long now = widen_drop_count(known, info[SK_MEMINFO_DROPS]);
    while (now > known && !m_dropped.compare_exchange_weak(known, now, std::memory_order_relaxed)) {
    }
    return now > known ? now : known;
}

int CUdpSocket::get_sock_option_buffer_size()
{
    int size = 0;
    socklen_t len = sizeof(size);
    if (getsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &size, &len) == 0)
        return size;
    return failed(errno);
}
