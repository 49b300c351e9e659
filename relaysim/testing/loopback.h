// Loopback UDP helpers for relaysim's tests: ephemeral sockets and a peer socket.
#pragma once

#include "CUdpSocket.h"
#include "utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace loopback {

constexpr unsigned int LOOPBACK = 0x7F000001;  // 127.0.0.1, host order, as CSocket takes it

inline sockaddr_in address(unsigned short port)
{
    return utils::make_address(LOOPBACK, port);
}

inline unsigned short local_port(int fd)
{
    sockaddr_in a;
    socklen_t len = sizeof(a);
    memset(&a, 0, sizeof(a));
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Opens the socket on an ephemeral loopback port (open(0, ...) does not bind).
inline unsigned short open_ephemeral(CUdpSocket& s)
{
    EXPECT_TRUE(s.open(0, LOOPBACK));
    sockaddr_in a = address(0);
    EXPECT_EQ(0, ::bind(s.get_socket_fd(), reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    return local_port(s.get_socket_fd());
}

inline unsigned short open_ephemeral(CUdpSocket& s, unsigned short poll_ms)
{
    const unsigned short port = open_ephemeral(s);
    s.set_poll_timeout(poll_ms);
    return port;
}

// A socket bound to 127.0.0.1 on a port the system picks.
class Peer {
public:
    Peer()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = address(0);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        m_port = local_port(m_fd);
    }
    ~Peer() { close(m_fd); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    unsigned short port() const { return m_port; }
    int fd() const { return m_fd; }

    void send_to(const std::vector<unsigned char>& data, const sockaddr_in& to) const
    {
        sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }

    // One datagram within timeout_ms, or false.
    bool receive(std::vector<unsigned char>& data, sockaddr_in& from, int timeout_ms) const
    {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return false;
        data.resize(65536);
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return false;
        data.resize(static_cast<size_t>(n));
        return true;
    }

private:
    int m_fd;
    unsigned short m_port;
};

// A port that was free a moment ago, for code that binds a port it is given.
inline unsigned short free_port()
{
    Peer p;
    return p.port();
}

}  // namespace loopback
