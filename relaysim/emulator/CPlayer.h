// Player relay: forwards the selected decoder's stream unchanged to the local RTP player.
#pragma once

#include "CStreamState.h"
#include "CUdpSocket.h"
#include "ISocketHandler.h"

#include <netinet/in.h>
#include <time.h>


class CPlayer : public ISocketHandler {
public:
    CPlayer(unsigned int address, unsigned short port);

    // Opens the sending socket on a random local port; the relay starts offline.
    bool open();

    // Called on decoder threads, by two at once during a change of selection.
    void on_raw_data(const sockaddr_in& from, unsigned char* data, unsigned short len) override;

    // True once, when the stream was online and silent for more than 5 s; clears the flag.
    bool check_offline(time_t now) { return m_state.check_offline(now); }
    CStreamState& state() { return m_state; }

private:
    sockaddr_in m_addr;
    CUdpSocket m_socket;
    CStreamState m_state;
};
