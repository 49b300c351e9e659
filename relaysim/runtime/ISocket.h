// Socket management interface: open, close, type and protocol, descriptor, poll time-out.
#pragma once

#include "ISocketIO.h"

class ISocket : public ISocketIO {
public:
    virtual int get_socket_type() const = 0;
    virtual int get_protocol() const = 0;
    virtual bool open(unsigned short port, unsigned int address) = 0;
    virtual bool open() = 0;
    virtual bool close() = 0;
    virtual int get_socket_fd() = 0;
    virtual void set_poll_timeout(unsigned short timeout) = 0;
    virtual void disconnected() = 0;
};
