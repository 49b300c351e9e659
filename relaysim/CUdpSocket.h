// UDP transport of the socket family: datagram reads and writes and socket options.
#pragma once

#include "CSocket.h"

#include <netinet/in.h>

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

    // Default destination of the two-argument write.
    void set_remote_addr(const sockaddr_in& to) { m_remote_addr = to; }

protected:
    // Result of a system read or write: the count, or -1 with errno kept as last error.
    int io_result(long n);

    sockaddr_in m_remote_addr;
};
