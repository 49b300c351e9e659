// Loopback UDP helpers for the emulator's tests: ephemeral sockets and bounded waits.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace loopback {

inline sockaddr_in address(unsigned short port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A socket bound to 127.0.0.1 on a port the system picks.
class Peer {
public:
    Peer()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = address(0);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
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

inline bool wait_for(const std::function<bool()>& condition, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace loopback
