// Emulated decoder: asks the reflector for a stream every 4 s and tracks what it sends back.
#include "CExtr.h"

#include "utils.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

std::atomic<int> CExtr::online_ext(0);

CExtr::CExtr(const std::string& name, unsigned long address, ISocketHandler* player)
    : CThread(name),
      m_mac(utils::mac_big_endian(address)),
      m_name(name),
      m_last_rx(0),
      m_selected(false),
      m_player(player),
      m_poll_timeout(POLL_TIMEOUT),
      m_next_send(0)
{
}

CExtr::~CExtr()
{
    // The body must be gone before the socket it polls; a pass lasts one poll timeout.
    stop_before_destroy(static_cast<unsigned int>(m_poll_timeout) + 1000);
}

bool CExtr::open(unsigned int reflector, unsigned short decoder_port, unsigned short poll_timeout)
{
    bool ok = m_socket.open();
    // The kernel's arrival stamps keep this process's own scheduling out of the jitter.
    m_socket.set_sock_option_timestamps();
    m_poll_timeout = poll_timeout;
    m_socket.set_poll_timeout(poll_timeout);
    return m_socket.connect(reflector, decoder_port) && ok;
}

void CExtr::make_request(unsigned long mac, unsigned char* request)
{
    request[0] = 'Q';
    request[1] = 'V';
    request[2] = 'L';
    request[3] = ' ';
    for (int i = 0; i < 6; ++i)
        request[4 + i] = static_cast<unsigned char>(mac >> (8 * i));
    request[10] = 0;
    request[11] = 0;
}

unsigned int CExtr::ssrc_of(const unsigned char* data, int len)
{
    unsigned int ssrc = 0;
    for (int i = 8; i < 12; ++i)
        ssrc = (ssrc << 8) | (i < len ? data[i] : 0u);
    return ssrc;
}

unsigned short CExtr::local_port() const
{
    return m_socket.local_port();
}

void CExtr::begin(time_t now)
{
    m_next_send = now - REQUEST_PERIOD;
}

void CExtr::on_datagram(const sockaddr_in& from, unsigned char* data, int len, const timespec& arrival)
{
    m_stats.on_datagram(data, static_cast<size_t>(len), arrival);
    if (m_last_rx == 0) {
        const int total = online_ext.fetch_add(1) + 1;
        printf("\n[SSRC: %x] %s : Online [Total online: %d]", ssrc_of(data, len), m_name.c_str(), total);
        fflush(stdout);
    }
    m_last_rx = arrival.tv_sec;
    if (m_selected)
        m_player->on_raw_data(from, data, static_cast<unsigned short>(len));
}

int CExtr::end_pass(bool received, time_t now)
{
    int actions = PASS_NOTHING;
    const time_t last = m_last_rx.load(std::memory_order_relaxed);
    if (!received && last != 0 && now > last + OFFLINE_AFTER) {
        m_last_rx = 0;
        m_stats.set_offline();
        const int total = online_ext.fetch_sub(1) - 1;
        printf("\n%s : Offline [Total online: %d]", m_name.c_str(), total);
        fflush(stdout);
        actions |= PASS_OFFLINE;
    }
    // A late pass sends one request and advances one period: it catches up pass by pass.
    if (now > m_next_send) {
        m_next_send += REQUEST_PERIOD;
        actions |= PASS_SEND_REQUEST;
    }
    return actions;
}

int CExtr::execute(void*)
{
    using clock = std::chrono::steady_clock;
    unsigned char request[REQUEST_SIZE];
    make_request(m_mac, request);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[BUFFER_SIZE]);
    begin(time(nullptr));

    while (m_keep_running && m_socket.is_valid()) {
        const clock::time_point pass_start = clock::now();
        bool received = false;
        if (m_socket.poll()) {
            sockaddr_in from;
            timespec arrival;
            const int len = m_socket.read(buffer.get(), BUFFER_SIZE, from, arrival);
            // A failed read delivered nothing: not forwarded, not activity.
            if (len >= 0) {
                received = true;
                on_datagram(from, buffer.get(), len, arrival);
            }
        } else {
            // A pending socket error (an ICMP refusal on the connected socket) makes
            // poll return at once; sleep out the rest of the pass instead of spinning.
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                clock::now() - pass_start).count();
            if (spent + 50 < m_poll_timeout && m_keep_running)
                suspend(static_cast<unsigned long>(m_poll_timeout - spent));
        }
        if (end_pass(received, time(nullptr)) & PASS_SEND_REQUEST)
            m_socket.send(request, REQUEST_SIZE);
    }
    return 0;
}
