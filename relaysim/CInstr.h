// Local-stream relay: re-sends each local RTP datagram once per emulated encoder.
#pragma once

#include "CUdpServer.h"
#include "CUdpSocket.h"
#include "ISocketHandler.h"

#include <netinet/in.h>
#include <time.h>

#include <atomic>
#include <map>

class CInstr : public ISocketHandler {
public:
    CInstr();
    ~CInstr() override;

    CInstr(const CInstr&) = delete;
    CInstr& operator=(const CInstr&) = delete;

    // Key of an encoder: written lowest byte first into bytes 8-11 it makes the
    // SSRC equal to the low 32 bits of the device address.
    static unsigned long key_of(unsigned long address);

    // Registration, before start(): copies for this encoder go to address:port.
    void add_encoder(unsigned long address, unsigned int address_ip, unsigned short port);

    // Binds the local port and starts the receiving thread.
    bool start(unsigned short local_port);

    // Runs on the server thread only; changes data in place.
    void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len) override;

    // True once, when the stream was online and silent for more than 5 s; clears the flag.
    bool check_offline(time_t now);

    std::map<unsigned long, sockaddr_in> m_encoders;
    CUdpSocket m_socket;
    std::atomic<time_t> m_last_rx;
    CUdpServer m_server;
    std::atomic<bool> m_online;

private:
    // All copies of one datagram, in ascending key order, from the local port.
    void send_copies(unsigned char* data, unsigned short len);
};
