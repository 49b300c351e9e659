// UDP transport of the socket family: datagram reads and writes and socket options.
#include "CUdpSocket.h"

#include <netinet/ip.h>
#include <sys/socket.h>

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
    if (n < 0) {
        set_last_err(errno);
        return -1;
    }
    return static_cast<int>(n);
}

int CUdpSocket::read(unsigned char* buf, unsigned short size)
{
    return io_result(::recv(m_fd, buf, size, 0));
}

int CUdpSocket::read(unsigned char* buf, unsigned short size, sockaddr_in& from)
{
    memset(&from, 0, sizeof(from));
    socklen_t len = sizeof(from);
    return io_result(::recvfrom(m_fd, buf, size, 0, reinterpret_cast<sockaddr*>(&from), &len));
}

int CUdpSocket::write(const unsigned char* data, unsigned short len)
{
    return write(data, len, m_remote_addr);
}

int CUdpSocket::write(const unsigned char* data, unsigned short len, const sockaddr_in& to)
{
    return io_result(::sendto(m_fd, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)));
}

int CUdpSocket::get_socket_type() const
{
    return SOCK_DGRAM;
}

int CUdpSocket::get_protocol() const
{
    return IPPROTO_UDP;
}

namespace {
bool set_option(int fd, int level, int name, const void* value, socklen_t len, int& err)
{
    if (setsockopt(fd, level, name, value, len) == 0)
        return true;
    err = errno;
    return false;
}
}  // namespace

bool CUdpSocket::set_sock_option_linger()
{
    const linger l{1, 0};
    int err = 0;
    if (set_option(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l), err))
        return true;
    set_last_err(err);
    return false;
}

bool CUdpSocket::set_sock_option_buffer_size(int size)
{
    int err = 0;
    if (set_option(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size), err))
        return true;
    set_last_err(err);
    return false;
}

bool CUdpSocket::set_sock_option_broadcost()
{
    const int on = 1;
    int err = 0;
    if (set_option(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on), err))
        return true;
    set_last_err(err);
    return false;
}

bool CUdpSocket::set_sock_option_tos(unsigned short tos)
{
    // A 2-byte option: Linux takes a short option as its first byte, the low one here.
    const uint16_t value = tos;
    int err = 0;
    if (set_option(m_fd, IPPROTO_IP, IP_TOS, &value, sizeof(value), err))
        return true;
    set_last_err(err);
    return false;
}
