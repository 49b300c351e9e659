// Transport-neutral IPv4 socket: owns the descriptor; open, bind, connect, send, poll, close.
#include "CSocket.h"

#include "CLogger.h"
#include "utils.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr short POLL_EVENTS = POLLIN | POLLRDNORM;
constexpr int OPEN_ATTEMPTS = 99;

}  // namespace

CSocket::CSocket()
    : m_fd(-1), m_last_err(0), m_connected(false), m_poll_timeout(1000), m_port(0), m_refusal(0)
{
    memset(&m_local_addr, 0, sizeof(m_local_addr));
    memset(&m_peer, 0, sizeof(m_peer));
    m_pollfd.fd = -1;
    m_pollfd.events = POLL_EVENTS;
    m_pollfd.revents = 0;
}

CSocket::~CSocket()
{
    CSocket::close();
}

bool CSocket::is_valid() const
{
    return m_fd != -1;
}

int CSocket::get_last_err() const
{
    return m_last_err.load(std::memory_order_relaxed);
}

bool CSocket::open(unsigned short port, unsigned int address)
{
    bool ok = true;
    close();  // never leak a descriptor opened earlier
    m_refusal = 0;
    memset(&m_peer, 0, sizeof(m_peer));
    m_port = port;
    memset(&m_local_addr, 0, sizeof(m_local_addr));
    m_fd = ::socket(AF_INET, get_socket_type(), get_protocol());
    if (m_fd == -1) {
        const int err = errno;
        failed(err, "CSocket::open():failed: error=%d\n", err);
        ok = false;
    } else if (port != 0) {
        ok = bind(address);
    }
    m_pollfd.fd = m_fd;
    m_pollfd.events = POLL_EVENTS;
    m_pollfd.revents = 0;
    return ok;
}

bool CSocket::open()
{
    if (is_valid())
        return true;
    for (int i = 0; i < OPEN_ATTEMPTS && !is_valid(); ++i)
        open(0, 0);
    // Port 0: the kernel picks a port nobody holds. A drawn one could be this process's own
    // local port, or the one another process seeded in the same second drew too.
    if (!is_valid() || bind(0))
        return is_valid();
    close();
    return false;
}

bool CSocket::bind(unsigned int address)
{
    m_local_addr = utils::make_address(address, m_port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&m_local_addr), sizeof(m_local_addr)) == 0)
        return true;
    const int err = errno;
    failed(err, "CSocket::bind() to address %lu failed:%s\n", static_cast<unsigned long>(address), strerror(err));
    return false;
}

bool CSocket::connect(unsigned int address, unsigned short port)
{
    if (!is_valid())
        return m_connected;
    const sockaddr_in peer = utils::make_address(address, port);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) {
        m_connected = true;
        m_peer = peer;
    } else {
        const int err = errno;
        m_connected = false;
        failed(err, "CSocket::connect():Could not connect to remote %lu:%u", static_cast<unsigned long>(address),
               static_cast<unsigned int>(port));
    }
    return m_connected;
}

int CSocket::send(unsigned char* data, int len)
{
    if (!m_connected)
        return 0;
    // poll() took a refusal off the socket to keep it from waking at once for ever; the
    // send it would have failed reports it, as the kernel would have.
    const int refused = m_refusal.exchange(0, std::memory_order_relaxed);
    if (refused != 0)
        return failed(refused, "CSocket::send():ERR:%s", strerror(refused));
    const ssize_t n = ::send(m_fd, data, static_cast<size_t>(len), 0);
    if (n < 0) {
        const int err = errno;
        return failed(err, "CSocket::send():ERR:%s", strerror(err));
    }
    return static_cast<int>(n);
}

bool CSocket::poll()
{
    set_last_err(0);
    m_pollfd.revents = 0;
    return input_after_wait(::poll(&m_pollfd, 1, m_poll_timeout));
}

bool CSocket::poll_until(const timespec& deadline)
{
    set_last_err(0);
    m_pollfd.revents = 0;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0)
        left = timespec{0, 0};
    return input_after_wait(::ppoll(&m_pollfd, 1, &left, nullptr));
}

bool CSocket::input_after_wait(int rc)
{
    if (rc < 0) {
        const int err = errno;
        if (err != EINTR && err != EAGAIN)
            failed(err);
        return false;
    }
    const short ev = m_pollfd.revents;
    if (ev & (POLLPRI | POLLRDNORM | POLLRDBAND))
        return true;
    if (ev & POLLHUP)
        disconnected();
    if (ev & POLLNVAL)
        set_last_err(ERR_POLL_INVALID);
    if ((ev & POLLERR) && !(ev & POLLNVAL)) {
        // A pending error (an ICMP port unreachable on a connected UDP socket) keeps
        // POLLERR raised until it is fetched; fetching clears it, so the next poll
        // waits its time-out again instead of returning at once for ever.
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        else if (err != 0)
            m_refusal.store(err, std::memory_order_relaxed);
        set_last_err(err);
    }
    return false;
}

unsigned short CSocket::local_port() const
{
    sockaddr_in a;
    socklen_t len = sizeof(a);
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

void CSocket::owe_to_send(int err)
{
    m_refusal.store(err, std::memory_order_relaxed);
    set_last_err(err);
}

int CSocket::failed(int err, const char* line, ...)
{
    set_last_err(err);
    if (line != nullptr) {
        // The logger takes a format and its values; this one has them as a list already.
        char text[256];
        va_list args;
        va_start(args, line);
        vsnprintf(text, sizeof(text), line, args);
        va_end(args);
        CLogger::m_logger->log_msg("%s", text);
    }
    return -1;
}

bool CSocket::close()
{
    const int fd = m_fd.exchange(-1);
    if (fd != -1)
        ::close(fd);
    return true;
}

int CSocket::get_socket_fd()
{
    return m_fd;
}

void CSocket::set_poll_timeout(unsigned short timeout)
{
    m_poll_timeout = timeout;
}

void CSocket::disconnected()
{
    m_connected = false;
}
