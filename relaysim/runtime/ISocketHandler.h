// Receiver of datagrams handed over by a reading thread.
#pragma once

#include <netinet/in.h>
#include <time.h>

class ISocketHandler {
public:
    virtual ~ISocketHandler() {}

    // data is valid only during the call; the handler may change it in place.
    virtual void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len) = 0;
    // The same with the datagram's arrival time (realtime clock), for a handler that measures.
    virtual void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len,
                             const timespec& arrival)
    {
        (void)arrival;
        on_raw_data(from, data, len);
    }
};
