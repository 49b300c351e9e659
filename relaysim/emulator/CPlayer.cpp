// Player relay: forwards the selected decoder's stream unchanged to the local RTP player.
#include "CPlayer.h"

#include "utils.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

CPlayer::CPlayer(unsigned int address, unsigned short port)
    : m_addr(utils::make_address(address, port)), m_last_rx(time(nullptr)), m_online(false)
{
}

bool CPlayer::open()
{
    bool ok = m_socket.open();
    m_last_rx = time(nullptr);
    m_online = false;
    return ok;
}

void CPlayer::on_raw_data(const sockaddr_in&, unsigned char* data, unsigned short len)
{
    m_socket.write(data, len, m_addr);
    m_last_rx = time(nullptr);
    // Two forwarding threads may race here; only the one that flips the flag reports.
    if (!m_online.exchange(true)) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &m_addr.sin_addr, text, sizeof(text));
        printf("\nreflector stream online. streaming to %s:%d\n", text, ntohs(m_addr.sin_port));
        fflush(stdout);
    }
}

bool CPlayer::check_offline(time_t now)
{
    if (now - m_last_rx.load() > 5 && m_online.load())
        return m_online.exchange(false);
    return false;
}
