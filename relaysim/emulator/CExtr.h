// Emulated decoder: asks the reflector for a stream every 4 s and tracks what it sends back.
#pragma once

#include "CThread.h"
#include "CUdpSocket.h"
#include "ISocketHandler.h"

#include <time.h>

#include <atomic>
#include <string>

class CExtr : public CThread {
public:
    enum { REQUEST_SIZE = 12, BUFFER_SIZE = 1500, POLL_TIMEOUT = 2000, REQUEST_PERIOD = 4 };

    CExtr(const std::string& name, unsigned long address, ISocketHandler* player);
    ~CExtr() override;

    // Opens the socket on a random port and connects it to the reflector's decoder port.
    bool open(unsigned int reflector, unsigned short decoder_port,
              unsigned short poll_timeout = POLL_TIMEOUT);

    int execute(void* arg) override;

    // "QVL ", the six octets of mac (wire order in memory), two zero bytes.
    static void make_request(unsigned long mac, unsigned char* request);
    // Bytes 8-11 big-endian; bytes the datagram does not have count as zero.
    static unsigned int ssrc_of(const unsigned char* data, int len);

    // Number of emulated decoders that are online.
    static std::atomic<int> online_ext;

    unsigned long m_mac;
    CUdpSocket m_socket;
    std::string m_name;
    time_t m_last_rx;
    std::atomic<bool> m_selected;
    ISocketHandler* m_player;

private:
    unsigned short m_poll_timeout;
};
