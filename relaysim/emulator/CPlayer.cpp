// Player relay: forwards the selected decoder's stream unchanged to the local RTP player.
#include "CPlayer.h"

#include "console_text.h"
#include "utils.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

CPlayer::CPlayer(unsigned int address, unsigned short port)
    : m_addr(utils::make_address(address, port)), m_state(time(nullptr))
{
}

bool CPlayer::open()
{
    bool ok = m_socket.open();
    m_state.reset(time(nullptr));
    return ok;
}

void CPlayer::on_raw_data(const sockaddr_in&, unsigned char* data, unsigned short len)
{
    m_socket.write(data, len, m_addr);
    // Two forwarding threads may race here; only the one that flips the flag reports.
    if (m_state.received(time(nullptr))) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &m_addr.sin_addr, text, sizeof(text));
        console_text::player_online(text, ntohs(m_addr.sin_port));
    }
}
