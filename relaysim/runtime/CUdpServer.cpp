// Thread that reads datagrams from one socket and hands each to a handler.
#include "CUdpServer.h"

#include "CLogger.h"

#include <cstring>
#include <memory>

CUdpServer::CUdpServer(ISocketIO& io, ISocketHandler& handler) : CThread(), m_io(io), m_handler(handler) {}

CUdpServer::~CUdpServer()
{
    // Stop here, while execute() and m_name are still ours to run and read.
    stop_before_destroy(100);
}

void CUdpServer::init(const std::string& name)
{
    m_name = name;
    init();
}

void CUdpServer::init()
{
    const int rc = start(nullptr);
    if (rc != 0)
        CLogger::m_logger->log_msg("CUdpServer::init():Creating Thread failed(%d),name=%s\n", rc, m_name.c_str());
}

void CUdpServer::deinit()
{
    stop(1500);
}

int CUdpServer::execute(void*)
{
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[BUFFER_SIZE]);
    sockaddr_in from;
    while (m_keep_running) {
        if (!m_io.is_valid())
            break;
        if (!m_io.poll())
            continue;
        memset(&from, 0, sizeof(from));
        timespec arrival;
        const int n = m_io.read(buffer.get(), BUFFER_SIZE, from, arrival);
        // A failed read has no bytes to hand on; its errno stays in the socket's last error.
        if (n < 0)
            continue;
        m_handler.on_raw_data(from, buffer.get(), static_cast<unsigned short>(n), arrival);
    }
    CLogger::m_logger->log_msg("Exiting udp server thread:%s\n", m_name.c_str());
    return 0;
}
