// Byte-moving interface of a socket: validity, reads, writes, waiting for input.
#pragma once

#include <netinet/in.h>
#include <time.h>

class ISocketIO {
public:
    virtual ~ISocketIO() {}

    virtual bool is_valid() const = 0;
    virtual int read(unsigned char* buf, unsigned short size) = 0;
    virtual int read(unsigned char* buf, unsigned short size, sockaddr_in& from) = 0;
    // The same, also giving the datagram's arrival on the realtime clock: the time of the
    // read, unless the transport has the kernel's stamp.
    virtual int read(unsigned char* buf, unsigned short size, sockaddr_in& from, timespec& arrival)
    {
        const int n = read(buf, size, from);
        clock_gettime(CLOCK_REALTIME, &arrival);
        return n;
    }
    virtual int write(const unsigned char* data, unsigned short len) = 0;
    virtual int write(const unsigned char* data, unsigned short len, const sockaddr_in& to) = 0;
    virtual bool poll() = 0;
    virtual int get_last_err() const = 0;
};
