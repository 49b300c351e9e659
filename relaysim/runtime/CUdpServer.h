// Thread that reads datagrams from one socket and hands each to a handler.
#pragma once

#include "CThread.h"
#include "ISocketHandler.h"
#include "ISocketIO.h"

#include <string>

class CUdpServer : public CThread {
public:
    static constexpr unsigned short BUFFER_SIZE = 1500;

    CUdpServer(ISocketIO& io, ISocketHandler& handler);
    ~CUdpServer() override;

    void init(const std::string& name);
    void init();
    void deinit();

    int execute(void* arg) override;

protected:
    ISocketIO& m_io;
    ISocketHandler& m_handler;
    std::string m_name;
};
