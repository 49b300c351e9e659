// Online state of a relayed stream: receiving threads mark it, the console checks it for silence.
#pragma once

#include <time.h>

#include <atomic>

// Usage: received(now) on every datagram (any thread), check_offline(now) once a pass
// on the console's thread; each transition is reported by exactly one caller.
class CStreamState {
public:
    enum { OFFLINE_AFTER = 5 };

    explicit CStreamState(time_t now);

    // True when this datagram made the stream online.
    bool received(time_t now);
    // True once, when the stream was online and silent for more than OFFLINE_AFTER s.
    bool check_offline(time_t now);
    // Offline, with now as the last activity.
    void reset(time_t now);

    bool online() const { return m_online.load(); }
    time_t last_rx() const { return m_last_rx.load(); }

private:
    std::atomic<time_t> m_last_rx;
    std::atomic<bool> m_online;
};
