// Emulated decoder: asks the reflector for a stream every 4 s and tracks what it sends back.
#include "CExtr.h"

#include "CSendLog.h"
#include "console_text.h"
#include "utils.h"

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

std::atomic<int> CExtr::online_ext(0);

namespace {

// Batches shared by all decoders: a drain holds one for a few microseconds, so a handful
// serve thousands of decoders and their pages stay few and warm. Slots are claimed with an
// atomic exchange: thousands of threads that wake together never queue on a lock. A batch is
// made only when every slot is taken, and freed when it finds no slot to go back to.
class BatchPool {
public:
    enum { SLOTS = 64 };

    // hint spreads the decoders over the slots.
    CUdpSocket::Batch* take(size_t hint)
    {
        for (size_t i = 0; i < SLOTS; ++i) {
            CUdpSocket::Batch* b = m_slots[(hint + i) % SLOTS].exchange(nullptr, std::memory_order_acquire);
            if (b)
                return b;
        }
        return new CUdpSocket::Batch(CExtr::BATCH, CExtr::BUFFER_SIZE);
    }
    void give(CUdpSocket::Batch* b, size_t hint)
    {
        for (size_t i = 0; i < SLOTS; ++i) {
            CUdpSocket::Batch* empty = nullptr;
            if (m_slots[(hint + i) % SLOTS].compare_exchange_strong(empty, b, std::memory_order_release,
                                                                    std::memory_order_relaxed))
                return;
        }
        delete b;
    }

private:
    std::atomic<CUdpSocket::Batch*> m_slots[SLOTS] = {};
};

BatchPool& batch_pool()
{
    // Never destroyed: decoder threads may still drain while the process exits.
    static BatchPool* pool = new BatchPool();
    return *pool;
}

long long ns_of(const timespec& t)
{
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

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
    // Thousands of decoders at the system's default (often 8 MiB) would reserve tens of GiB.
    set_stack_size(STACK_SIZE);
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
    if (m_interval_ms != 0) {
        // Queued datagrams wait for the next batch: a buffer larger than the system's usual
        // one, as far as net.core.rmem_max allows. It costs memory only while it holds data.
        m_socket.set_sock_option_buffer_size(RECEIVE_BUFFER);
        const int granted = m_socket.get_sock_option_buffer_size();
        m_capacity = granted > 0 ? static_cast<unsigned int>(granted) / CHARGE_PER_DATAGRAM : 0;
    }
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
    if (m_send_log && len >= 12) {
        const uint32_t ssrc = ssrc_of(data, len);
        if (!m_log_ssrc_known || ssrc != m_log_ssrc) {
            m_log_ssrc = ssrc;
            m_log_copy = m_send_log->copy_of(ssrc);
            m_log_ssrc_known = true;
        }
        int64_t sent_ns = 0;
        if (m_log_copy != CSendLog::NO_COPY &&
            m_send_log->sent_at_copy(m_log_copy, static_cast<uint16_t>(data[2] << 8 | data[3]),
                                     static_cast<uint32_t>(data[4]) << 24 | data[5] << 16 | data[6] << 8 | data[7],
                                     sent_ns))
            m_delay.add(static_cast<int64_t>(arrival.tv_sec) * 1000000000 + arrival.tv_nsec - sent_ns);
    }
    if (m_last_rx == 0) {
        const int total = online_ext.fetch_add(1) + 1;
        console_text::decoder_online(ssrc_of(data, len), m_name, total);
    }
    m_last_rx = arrival.tv_sec;
    m_last_arrival_ns = ns_of(arrival);
    // A batch taken after the selection may hold datagrams queued before it: counted, not
    // played, or the player would hear them late and in a burst.
    if (m_selected.load(std::memory_order_acquire) &&
        m_last_arrival_ns >= m_selected_since.load(std::memory_order_relaxed))
        m_player->on_raw_data(from, data, static_cast<unsigned short>(len));
}

int CExtr::end_pass(bool received, const timespec& now)
{
    int actions = PASS_NOTHING;
    if (!received && m_last_rx.load(std::memory_order_relaxed) != 0 &&
        ns_of(now) - m_last_arrival_ns >= OFFLINE_AFTER_MS * 1000000LL) {
        m_last_rx = 0;
        m_stats.set_offline();
        const int total = online_ext.fetch_sub(1) - 1;
        console_text::decoder_offline(m_name, total);
        actions |= PASS_OFFLINE;
    }
    // A late pass sends one request and advances one period: it catches up pass by pass.
    if (now.tv_sec > m_next_send) {
        m_next_send += REQUEST_PERIOD;
        actions |= PASS_SEND_REQUEST;
    }
    return actions;
}

void CExtr::select(bool on)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    select(on, now);
}

void CExtr::select(bool on, const timespec& at)
{
    if (!on) {
        m_selected = false;
        return;
    }
    m_selected_since.store(ns_of(at), std::memory_order_relaxed);
    m_selected.store(true, std::memory_order_release);
    // A decoder asleep between batches starts forwarding at once.
    nudge();
}

unsigned int CExtr::batch_wait_ms(unsigned int interval_ms, unsigned int n, double elapsed_ms,
                                  unsigned int capacity)
{
    if (n == 0)
        return interval_ms;
    // Half the buffer at the rate just seen: room for a burst or a late wake-up. A stream
    // just started may be a fast one: the whole interval could overflow a small buffer.
    const double fill_half_ms = elapsed_ms > 0 ? capacity / 2.0 * elapsed_ms / n
                                               : capacity / 2.0 * 1000.0 / FAST_STREAM;
    if (fill_half_ms >= interval_ms)
        return interval_ms;
    return fill_half_ms < 1 ? 1 : static_cast<unsigned int>(fill_half_ms);
}

void CExtr::rest_of_pass(std::chrono::steady_clock::time_point pass_start)
{
    // A pending socket error (an ICMP refusal on the connected socket) makes poll return at
    // once; sleep out the rest of the pass instead of spinning.
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - pass_start).count();
    if (spent + 50 < m_poll_timeout && m_keep_running)
        suspend(static_cast<unsigned long>(m_poll_timeout - spent));
}

unsigned int CExtr::drain()
{
    const size_t hint = reinterpret_cast<uintptr_t>(this) / alignof(std::max_align_t);
    CUdpSocket::Batch& batch = *batch_pool().take(hint);
    unsigned int total = 0;
    for (int taken = 0; taken < MAX_BATCHES_PER_PASS; ++taken) {
        const int n = m_socket.read_many(batch);
        // A failed read delivered nothing: not forwarded, not activity.
        for (int i = 0; i < n; ++i)
            on_datagram(batch.from(i), batch.data(i), batch.length(i), batch.arrival(i));
        if (n > 0)
            total += static_cast<unsigned int>(n);
        if (n < static_cast<int>(batch.capacity()))
            break;
    }
    batch_pool().give(&batch, hint);
    return total;
}

int CExtr::execute(void*)
{
    return m_interval_ms == 0 ? execute_per_datagram() : execute_batched();
}

int CExtr::execute_batched()
{
    using clock = std::chrono::steady_clock;
    unsigned char request[REQUEST_SIZE];
    make_request(m_mac, request);
    begin(time(nullptr));
    // Thousands of decoders that may each wake an eighth of their wait late share timer
    // interrupts and wake-ups: a third less CPU for the same datagrams.
    set_timer_slack(m_interval_ms / 8 * 1000000UL);

    // Each pass costs one system call to wait, the drain, and the request when it is due.
    // The first pass waits a whole poll timeout, as the per-datagram loop's first poll does
    // (nothing can arrive before the first request): the first request leaves after it.
    unsigned int wait_ms = m_poll_timeout;
    timespec deadline = monotonic_after(wait_ms);
    clock::time_point period_start = clock::now();
    unsigned int period_n = 0;  // datagrams since period_start, for the stream's rate
    while (m_keep_running && m_socket.is_valid()) {
        // A selected decoder forwards each datagram as it arrives.
        if (m_selected.load(std::memory_order_relaxed))
            m_socket.poll_until(deadline);
        else
            nap_until(deadline);
        const unsigned int n = drain();
        period_n += n;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (end_pass(n != 0, now) & PASS_SEND_REQUEST)
            m_socket.send(request, REQUEST_SIZE);
        const clock::time_point t = clock::now();
        if (t < period_start + std::chrono::milliseconds(wait_ms) && n < MAX_BATCHES_PER_PASS * BATCH)
            continue;  // woken early by input or a selection: the same deadline
        wait_ms = batch_wait_ms(m_interval_ms, period_n,
                                std::chrono::duration<double, std::milli>(t - period_start).count(), m_capacity);
        period_start = t;
        period_n = 0;
        deadline = monotonic_after(wait_ms);
    }
    return 0;
}

int CExtr::execute_per_datagram()
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
            rest_of_pass(pass_start);
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (end_pass(received, now) & PASS_SEND_REQUEST)
            m_socket.send(request, REQUEST_SIZE);
    }
    return 0;
}
