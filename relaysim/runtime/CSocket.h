// Transport-neutral IPv4 socket: owns the descriptor; open, bind, connect, send, poll, close.
#pragma once

#include "ISocket.h"

#include <netinet/in.h>
#include <poll.h>
#include <time.h>

#include <atomic>

class CSocket : public ISocket {
public:
    // Last error stored when poll() finds the descriptor invalid.
    static constexpr int ERR_POLL_INVALID = 0x7F01;

    CSocket();
    ~CSocket() override;

    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    bool is_valid() const override;
    bool poll() override;
    // poll(), waiting until deadline on the monotonic clock instead of the poll timeout.
    bool poll_until(const timespec& deadline);
    int get_last_err() const override;

    bool open(unsigned short port, unsigned int address) override;
    bool open() override;
    bool close() override;
    int get_socket_fd() override;
    void set_poll_timeout(unsigned short timeout) override;
    void disconnected() override;

    bool bind(unsigned int address);
    bool connect(unsigned int address, unsigned short port);
    int send(unsigned char* data, int len);
    // The port the system bound the socket to (host order); 0 when it has none.
    unsigned short local_port() const;

protected:
    // The one way a failed call is reported: err kept as the last error and, when line is
    // given, one printf-style line through the logger. Result -1, for a count to pass on.
    int failed(int err, const char* line = nullptr, ...) __attribute__((format(printf, 3, 4)));
    // Stores a result that is no failure (0 before a wait, an error fetched off the socket).
    void set_last_err(int err) { m_last_err.store(err, std::memory_order_relaxed); }
    // A read took a pending error off the socket (an ICMP refusal of a request): kept as
    // the last error and owed to the next send(), which would have reported it.
    void owe_to_send(int err);
    // For the transports: the descriptor stays private to the socket classes.
    int fd() const { return m_fd.load(std::memory_order_relaxed); }
    // The peer of the last successful connect (family 0 before one): the only sender the
    // kernel lets through, so a read need not ask it for each datagram's sender.
    const sockaddr_in& peer() const { return m_peer; }

private:
    // What a wait for input returned (rc) and found: true when input can be read.
    bool input_after_wait(int rc);

    // Atomic: the owner may close the socket while a server thread tests it.
    std::atomic<int> m_fd;
    sockaddr_in m_local_addr;
    // Several threads may write one socket, each storing its failure here.
    std::atomic<int> m_last_err;
    std::atomic<bool> m_connected;
    unsigned short m_poll_timeout;
    unsigned short m_port;
    pollfd m_pollfd;
    // An error poll() fetched and cleared, still owed to the next send().
    std::atomic<int> m_refusal;
    sockaddr_in m_peer;
};
