// Online state of a relayed stream: receiving threads mark it, the console checks it for silence.
#include "CStreamState.h"

CStreamState::CStreamState(time_t now) : m_last_rx(now), m_online(false) {}

bool CStreamState::received(time_t now)
{
    // The time goes first so that the console never sees a fresh flag with a stale time.
    m_last_rx = now;
    return !m_online.exchange(true);
}

bool CStreamState::check_offline(time_t now)
{
    if (now - m_last_rx.load() > OFFLINE_AFTER && m_online.load())
        return m_online.exchange(false);
    return false;
}

void CStreamState::reset(time_t now)
{
    m_last_rx = now;
    m_online = false;
}
