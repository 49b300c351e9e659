// Local-stream relay: re-sends each local RTP datagram once per emulated encoder.
#include "CInstr.h"

#include "utils.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {
const unsigned short MIN_DATAGRAM = 50;
}

CInstr::CInstr() : m_last_rx(time(nullptr)), m_server(m_socket, *this), m_online(false) {}

CInstr::~CInstr()
{
    // Let the receiver end by itself (its poll waits 1 s) before the socket goes.
    m_server.deinit();
}

unsigned long CInstr::key_of(unsigned long address)
{
    return utils::mac_big_endian(address) >> 16;
}

void CInstr::add_encoder(unsigned long address, unsigned int address_ip, unsigned short port)
{
    sockaddr_in& to = m_encoders[key_of(address)];
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address_ip);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &to.sin_addr, text, sizeof(text));
    printf("Adding encoder 0x%012llx. stream audio to - %s:%d\n",
           static_cast<unsigned long long>(address), text, port);
}

bool CInstr::start(unsigned short local_port)
{
    bool ok = m_socket.open(local_port, 0);
    m_server.init();
    return ok;
}

void CInstr::on_raw_data(const sockaddr_in&, unsigned char* data, unsigned short len)
{
    if (len < MIN_DATAGRAM)
        return;
    // The time goes first so that the console never sees a fresh flag with a stale time.
    m_last_rx = time(nullptr);
    if (!m_online.exchange(true)) {
        printf("local stream online\n");
        fflush(stdout);
    }
    send_copies(data, len);
}

void CInstr::send_copies(unsigned char* data, unsigned short len)
{
    for (const auto& encoder : m_encoders) {
        const unsigned long key = encoder.first;
        data[8] = static_cast<unsigned char>(key);
        data[9] = static_cast<unsigned char>(key >> 8);
        data[10] = static_cast<unsigned char>(key >> 16);
        data[11] = static_cast<unsigned char>(key >> 24);
        m_socket.write(data, len, encoder.second);
    }
}

bool CInstr::check_offline(time_t now)
{
    if (now - m_last_rx.load() > 5 && m_online.load())
        return m_online.exchange(false);
    return false;
}
